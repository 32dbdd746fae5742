// The INI configuration and the rule list files it names.
#ifndef ZENTROPED_CONFIG_H
#define ZENTROPED_CONFIG_H

#include <optional>
#include <string>
#include <vector>

// Entries of a main list file and its "usr" file, main file first.
struct rule_list {
	std::vector<std::string> items;
};

using opt_path = std::optional<std::string>;

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

#endif
