#include "config.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

extern "C" {
#include <iniparser.h>
}

#include "log.h"

std::string g_path_startup;

namespace {

constexpr size_t kPathMax = 4096;
constexpr size_t kLineMax = 4095;

bool is_space(int c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
	       c == '\r';
}

std::string trim(const std::string &s)
{
	size_t b = 0, e = s.size();
	while (b < e && is_space((unsigned char)s[b]))
		b++;
	while (e > b && is_space((unsigned char)s[e - 1]))
		e--;
	return s.substr(b, e - b);
}

// One line of at most kLineMax bytes, its newline consumed; false at the
// end of the file.
bool read_line(FILE *f, std::string *line)
{
	line->clear();
	int c = EOF;
	while (line->size() < kLineMax && (c = getc(f)) != EOF) {
		if (c == '\n')
			return true;
		line->push_back((char)c);
	}
	return c != EOF || !line->empty();
}

opt_path get_string(dictionary *ini, const char *key)
{
	const char *v = iniparser_getstring(ini, key, nullptr);
	if (!v)
		return std::nullopt;
	return std::string(v);
}

opt_path get_path(dictionary *ini, const char *key)
{
	opt_path v = get_string(ini, key);
	if (v)
		*v = resolve_path(*v);
	return v;
}

int read_main(const opt_path &path, rule_list *list)
{
	return path ? read_list_file(*path, list) : 0;
}

int read_usr(const opt_path &path, rule_list *list)
{
	if (!path || access(path->c_str(), F_OK))
		return 0;
	return read_list_file(*path, list);
}

int read_pair(const opt_path &main, const opt_path &usr, rule_list *list)
{
	if (read_main(main, list) || read_usr(usr, list))
		return -1;
	return 0;
}

int read_lists(daemon_config *c)
{
	if (read_pair(c->interp_file, c->usr_interp_file, &c->interp) ||
	    read_pair(c->block_prog_file, c->usr_block_prog_file, &c->block_prog) ||
	    read_pair(c->block_hash_file, c->usr_block_hash_file, &c->block_hash) ||
	    read_pair(c->block_url_file, c->usr_block_url_file, &c->url))
		return -1;
	if (read_main(c->block_ip_file, &c->ip) || validate_addresses(c->ip) ||
	    read_usr(c->usr_block_ip_file, &c->ip) || validate_addresses(c->ip))
		return -1;
	return read_pair(c->block_port_file, c->usr_block_port_file, &c->port);
}

void read_paths(dictionary *ini, daemon_config *c)
{
	c->interp_file = get_path(ini, "interp:interp_file");
	c->usr_interp_file = get_path(ini, "interp:usr_interp_file");
	c->block_prog_file = get_path(ini, "block_prog:block_prog_file");
	c->usr_block_prog_file = get_path(ini, "block_prog:usr_block_prog_file");
	c->block_hash_file = get_path(ini, "block_hash:block_hash_file");
	c->usr_block_hash_file = get_path(ini, "block_hash:usr_block_hash_file");
	c->block_hash_bin_file = get_path(ini, "block_hash:block_hash_bin_file");
	c->usr_block_hash_bin_file = get_path(ini, "block_hash:usr_block_hash_bin_file");
	c->block_url_file = get_path(ini, "block_url:block_url_file");
	c->usr_block_url_file = get_path(ini, "block_url:usr_block_url_file");
	c->block_ip_file = get_path(ini, "block_ip:block_ip_file");
	c->usr_block_ip_file = get_path(ini, "block_ip:usr_block_ip_file");
	c->block_port_file = get_path(ini, "block_port:block_port_file");
	c->usr_block_port_file = get_path(ini, "block_port:usr_block_port_file");
}

} // namespace

std::string resolve_path(const std::string &path)
{
	if (!path.empty() && path[0] == '/')
		return path;
	std::string r = g_path_startup + "/" + path;
	if (r.size() > kPathMax - 1)
		r.resize(kPathMax - 1);
	return r;
}

int read_list_file(const std::string &path, rule_list *list)
{
	FILE *f = fopen(path.c_str(), "r");
	if (!f) {
		log_err("fopen:%s err\n", path.c_str());
		return -1;
	}
	std::string line;
	for (unsigned n = 1; read_line(f, &line); n++) {
		std::string entry = trim(line);
		if (entry.empty())
			continue;
		// A command cannot carry a NUL: such an entry would reach the
		// module cut short, as another rule.
		if (entry.find('\0') != std::string::npos) {
			log_err("%s:%u: NUL byte in entry, skipped\n", path.c_str(), n);
			continue;
		}
		list->items.push_back(std::move(entry));
	}
	int err = ferror(f);
	fclose(f);
	return err ? -1 : 0;
}

int validate_addresses(const rule_list &list)
{
	unsigned char buf[16];
	for (const std::string &a : list.items) {
		if (inet_pton(AF_INET, a.c_str(), buf) == 1 ||
		    inet_pton(AF_INET6, a.c_str(), buf) == 1)
			continue;
		log_err("ip %s format err\n", a.c_str());
		return -1;
	}
	return 0;
}

int config_load(const std::string &path, daemon_config *c)
{
	dictionary *ini = iniparser_load(path.c_str());
	if (!ini) {
		fprintf(stderr, "cannot parse file: %s\n", path.c_str());
		return -1;
	}
	c->strict = iniparser_getint(ini, "global:strict", 0);
	c->daemon = iniparser_getint(ini, "global:daemon", 0);
	c->verbose = iniparser_getint(ini, "global:verbose", 1);
	c->quite = iniparser_getint(ini, "global:quite", 0);
	c->log_file = get_string(ini, "global:log_file");
	c->block_log_file = get_string(ini, "global:block_log_file");
	if (c->daemon && (!c->log_file || !c->block_log_file)) {
		fprintf(stderr,
			"global:daemon is %d but no set global:log_file or set global:block_log_file\n",
			c->daemon);
		iniparser_freedict(ini);
		return -1;
	}
	read_paths(ini, c);
	int ret = read_lists(c);
	iniparser_freedict(ini);
	return ret;
}
