// The INI configuration and the rule list files it names.
#ifndef ZENTROPED_CONFIG_H
#define ZENTROPED_CONFIG_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Entries of a main list file and its "usr" file, main file first.
struct rule_list {
	std::vector<std::string> items;
};

using opt_path = std::optional<std::string>;

enum class log_format { kText, kJson };

struct daemon_config {
	opt_path block_prog_file, usr_block_prog_file;
	opt_path block_hash_file, usr_block_hash_file;
	opt_path block_hash_bin_file, usr_block_hash_bin_file;
	opt_path interp_file, usr_interp_file;
	opt_path block_ip_file, usr_block_ip_file;
	opt_path block_url_file, usr_block_url_file;
	opt_path block_port_file, usr_block_port_file;
	rule_list block_prog, block_hash, interp, ip, url, port;
	int strict = 0;
	int verbose = 1;
	int quite = 0;
	int daemon = 0;
	opt_path log_file, block_log_file;
	log_format block_log_format = log_format::kText;
	std::string metrics_file; // resolved; empty: no metrics
};

// Absolute working directory right after the move into the installation
// directory; relative paths are taken against it.
extern std::string g_path_startup;

// "/abs" as it is, anything else as "<g_path_startup>/<path>", cut to 4095.
std::string resolve_path(const std::string &path);

// Loads the file and every list file it names into *cfg (a fresh record).
// 0 or -1; on failure *cfg may hold part of the configuration.
int config_load(const std::string &path, daemon_config *cfg);

// Appends the entries of one list file. 0, or -1 when it cannot be read.
int read_list_file(const std::string &path, rule_list *list);

// 0 when every entry is an IPv4 or IPv6 address, else -1 (logged).
int validate_addresses(const rule_list &list);

// ---- The pieces the loader shares with the check (config_check.h) ----

// The keys naming a main list file and its usr file, in the order a start
// reads them. The binary digest files have no list: they are copied as
// they are.
struct list_keys {
	const char *section, *main_key, *usr_key;
	opt_path daemon_config::*main, daemon_config::*usr;
	rule_list daemon_config::*list;
};
inline constexpr list_keys kListKeys[] = {
	{ "interp", "interp_file", "usr_interp_file", &daemon_config::interp_file,
	  &daemon_config::usr_interp_file, &daemon_config::interp },
	{ "block_prog", "block_prog_file", "usr_block_prog_file",
	  &daemon_config::block_prog_file, &daemon_config::usr_block_prog_file,
	  &daemon_config::block_prog },
	{ "block_hash", "block_hash_file", "usr_block_hash_file",
	  &daemon_config::block_hash_file, &daemon_config::usr_block_hash_file,
	  &daemon_config::block_hash },
	{ "block_url", "block_url_file", "usr_block_url_file",
	  &daemon_config::block_url_file, &daemon_config::usr_block_url_file,
	  &daemon_config::url },
	{ "block_ip", "block_ip_file", "usr_block_ip_file",
	  &daemon_config::block_ip_file, &daemon_config::usr_block_ip_file,
	  &daemon_config::ip },
	{ "block_port", "block_port_file", "usr_block_port_file",
	  &daemon_config::block_port_file, &daemon_config::usr_block_port_file,
	  &daemon_config::port },
	{ "block_hash", "block_hash_bin_file", "usr_block_hash_bin_file",
	  &daemon_config::block_hash_bin_file,
	  &daemon_config::usr_block_hash_bin_file, nullptr },
};

// Whether [section] (key empty) or section:key is one the daemon reads;
// both names lowercase.
bool config_knows(const std::string &section, const std::string &key);

// A key whose value a start refuses: "section:key" and why, no newline.
struct key_problem {
	std::string key, text;
};

// The parsed INI file (iniparser's dictionary).
typedef struct _dictionary_ dictionary;

// Reads every key of @ini into *c, list paths resolved; the lists stay
// unread. The values a start refuses, in the order it tells them.
std::vector<key_problem> config_read_keys(dictionary *ini, daemon_config *c);

// The usr file of a list is read only when it exists.
bool usr_file_present(const opt_path &path);

// One non-blank line of a list file, trimmed, as the loader takes it.
struct list_line {
	std::string text;
	unsigned line = 0; // 1-based
	bool nul = false;  // holds a NUL byte: the loader skips it
	bool cut = false;  // the rest of a line over 4095 bytes: another entry
};

// Hands every non-blank line of the file to @fn. 0; -1 when it cannot be
// opened, -2 when reading fails midway (errno says why in both cases).
int read_list_lines(const std::string &path,
		    const std::function<void(list_line &&)> &fn);

bool is_address(const std::string &text);

// The pieces of @s between @sep, empty ones left out: the entries of a
// list line, the labels of a name.
std::vector<std::string> split(const std::string &s, char sep);

#endif
