#include "config.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <strings.h>

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
// end of the file. *ended: the line's newline was met (not the size cap).
bool read_line(FILE *f, std::string *line, bool *ended)
{
	line->clear();
	*ended = false;
	int c = EOF;
	while (line->size() < kLineMax && (c = getc(f)) != EOF) {
		if (c == '\n') {
			*ended = true;
			return true;
		}
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

opt_path get_path(dictionary *ini, const std::string &key)
{
	opt_path v = get_string(ini, key.c_str());
	if (v)
		*v = resolve_path(*v);
	return v;
}

int read_lists(daemon_config *c)
{
	for (const list_keys &k : kListKeys) {
		if (!k.list)
			continue;
		rule_list *list = &(c->*k.list);
		// Addresses are checked file by file, as soon as each is read.
		bool addresses = k.list == &daemon_config::ip;
		const opt_path &main = c->*k.main, &usr = c->*k.usr;
		if ((main && read_list_file(*main, list)) ||
		    (addresses && validate_addresses(*list)) ||
		    (usr_file_present(usr) && read_list_file(*usr, list)) ||
		    (addresses && validate_addresses(*list)))
			return -1;
	}
	return 0;
}

const char *const kGlobalKeys[] = {
	"strict", "daemon", "verbose", "quite", "log_file", "block_log_file",
	"block_log_format", "metrics_file",
};

} // namespace

std::vector<std::string> split(const std::string &s, char sep)
{
	std::vector<std::string> out;
	size_t b = 0;
	for (size_t e; (e = s.find(sep, b)) != std::string::npos; b = e + 1)
		if (e > b)
			out.push_back(s.substr(b, e - b));
	if (b < s.size())
		out.push_back(s.substr(b));
	return out;
}

std::string resolve_path(const std::string &path)
{
	if (!path.empty() && path[0] == '/')
		return path;
	std::string r = g_path_startup + "/" + path;
	if (r.size() > kPathMax - 1)
		r.resize(kPathMax - 1);
	return r;
}

bool usr_file_present(const opt_path &path)
{
	return path && access(path->c_str(), F_OK) == 0;
}

bool config_knows(const std::string &section, const std::string &key)
{
	if (section == "global")
		return key.empty() || std::find(std::begin(kGlobalKeys), std::end(kGlobalKeys),
						key) != std::end(kGlobalKeys);
	for (const list_keys &k : kListKeys)
		if (section == k.section &&
		    (key.empty() || key == k.main_key || key == k.usr_key))
			return true;
	return false;
}

int read_list_lines(const std::string &path,
		    const std::function<void(list_line &&)> &fn)
{
	FILE *f = fopen(path.c_str(), "r");
	if (!f)
		return -1;
	std::string text;
	unsigned n = 1;
	bool ended, cut = false;
	for (; read_line(f, &text, &ended); n += ended) {
		list_line l;
		l.text = trim(text);
		l.line = n;
		l.cut = cut;
		cut = !ended;
		if (l.text.empty())
			continue;
		// A command cannot carry a NUL: such an entry would reach the
		// module cut short, as another rule.
		l.nul = l.text.find('\0') != std::string::npos;
		fn(std::move(l));
	}
	int err = ferror(f) ? (errno ? errno : EIO) : 0;
	fclose(f);
	errno = err;
	return err ? -2 : 0;
}

int read_list_file(const std::string &path, rule_list *list)
{
	int r = read_list_lines(path, [&](list_line &&l) {
		if (!l.nul)
			list->items.push_back(std::move(l.text));
		else
			log_err("%s:%u: NUL byte in entry, skipped\n", path.c_str(), l.line);
	});
	if (r == -1)
		log_err("fopen:%s err\n", path.c_str());
	return r ? -1 : 0;
}

bool is_address(const std::string &text)
{
	unsigned char buf[16];
	return inet_pton(AF_INET, text.c_str(), buf) == 1 ||
	       inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

int validate_addresses(const rule_list &list)
{
	for (const std::string &a : list.items) {
		if (is_address(a))
			continue;
		log_err("ip %s format err\n", a.c_str());
		return -1;
	}
	return 0;
}

std::vector<key_problem> config_read_keys(dictionary *ini, daemon_config *c)
{
	std::vector<key_problem> bad;
	c->strict = iniparser_getint(ini, "global:strict", 0);
	c->daemon = iniparser_getint(ini, "global:daemon", 0);
	c->verbose = iniparser_getint(ini, "global:verbose", 1);
	c->quite = iniparser_getint(ini, "global:quite", 0);
	c->log_file = get_string(ini, "global:log_file");
	c->block_log_file = get_string(ini, "global:block_log_file");
	if (c->daemon && (!c->log_file || !c->block_log_file))
		bad.push_back({ "global:daemon",
				"global:daemon is " + std::to_string(c->daemon) +
					" but no set global:log_file or set global:block_log_file" });
	opt_path format = get_string(ini, "global:block_log_format");
	if (format && !strcasecmp(format->c_str(), "json"))
		c->block_log_format = log_format::kJson;
	else if (format && strcasecmp(format->c_str(), "text"))
		bad.push_back({ "global:block_log_format", "global:block_log_format is " +
								   *format + ", not text or json" });
	opt_path metrics = get_string(ini, "global:metrics_file");
	if (metrics && !metrics->empty())
		c->metrics_file = resolve_path(*metrics);
	for (const list_keys &k : kListKeys) {
		std::string sec = std::string(k.section) + ":";
		c->*k.main = get_path(ini, sec + k.main_key);
		c->*k.usr = get_path(ini, sec + k.usr_key);
	}
	return bad;
}

int config_load(const std::string &path, daemon_config *c)
{
	dictionary *ini = iniparser_load(path.c_str());
	if (!ini) {
		fprintf(stderr, "cannot parse file: %s\n", path.c_str());
		return -1;
	}
	std::vector<key_problem> bad = config_read_keys(ini, c);
	iniparser_freedict(ini);
	for (const key_problem &p : bad)
		fprintf(stderr, "%s\n", p.text.c_str());
	return bad.empty() ? read_lists(c) : -1;
}
