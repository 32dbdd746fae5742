#include "config_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "config.h"

extern "C" {
#include <iniparser.h>
}

namespace {

// The module's limits: RULE_LIST_MAX, BLOCK_HASH_MAX, and what
// translate_url takes.
constexpr size_t kRuleMax = 10000;
constexpr size_t kHashMax = 10000000;
constexpr size_t kUrlMax = 256;
constexpr size_t kUrlEncodedMax = 255;
constexpr size_t kDigestSize = 20;

using problems = std::vector<config_problem>;

std::string trim(const std::string &s)
{
	size_t b = s.find_first_not_of(" \t\r\n\v\f");
	if (b == std::string::npos)
		return "";
	return s.substr(b, s.find_last_not_of(" \t\r\n\v\f") + 1 - b);
}

std::string lower(std::string s)
{
	for (char &c : s)
		c = (char)tolower((unsigned char)c);
	return s;
}

// A token as a message shows it: printable and of a readable length.
std::string shown(const std::string &tok)
{
	std::string s = tok.substr(0, 64);
	for (char &c : s)
		if (!isprint((unsigned char)c))
			c = '?';
	return tok.size() > 64 ? s + "..." : s;
}

// A FIFO or a device could block or never end: a check must not hang.
bool special_file(const std::string &path)
{
	struct stat st;
	return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
	       !S_ISDIR(st.st_mode);
}

std::vector<std::string> g_ini_messages;

// Takes iniparser's diagnostics instead of letting them reach stderr.
int keep_ini_message(const char *fmt, ...)
{
	va_list ap, again;
	va_start(ap, fmt);
	va_copy(again, ap);
	int n = vsnprintf(nullptr, 0, fmt, ap);
	va_end(ap);
	std::string m(n > 0 ? (size_t)n : 0, '\0');
	if (n > 0)
		vsnprintf(&m[0], m.size() + 1, fmt, again);
	va_end(again);
	g_ini_messages.push_back(m);
	return n;
}

// "iniparser: syntax error in PATH (7):\n-> LINE\n" as a problem at line 7.
config_problem ini_problem(const std::string &path, std::string m)
{
	const std::string prefix = "iniparser: ";
	if (m.compare(0, prefix.size(), prefix) == 0)
		m.erase(0, prefix.size());
	while (!m.empty() && m.back() == '\n')
		m.pop_back();
	config_problem p{ path, 0, m };
	const std::string at = " in " + path + " (";
	size_t i = m.find(at);
	if (i == std::string::npos)
		return p;
	char *end;
	unsigned long line = strtoul(m.c_str() + i + at.size(), &end, 10);
	if (*end != ')')
		return p;
	std::string rest = end + 1;
	if (rest.compare(0, 5, ":\n-> ") == 0)
		rest.erase(0, 5);
	p.line = (unsigned)line;
	p.text = m.substr(0, i) + (rest.empty() ? "" : ": " + rest);
	return p;
}

dictionary *load_ini(const std::string &path, problems *out)
{
	g_ini_messages.clear();
	iniparser_set_error_callback(keep_ini_message);
	dictionary *ini = iniparser_load(path.c_str());
	iniparser_set_error_callback(nullptr);
	for (const std::string &m : g_ini_messages)
		out->push_back(ini_problem(path, m));
	if (!ini && g_ini_messages.empty())
		out->push_back({ path, 0, "cannot parse the file" });
	g_ini_messages.clear();
	return ini;
}

// Finds the line of every key the way iniparser reads them: names trimmed
// and lowercased, a trailing backslash joins the next line. Notes the
// sections and keys the daemon does not read: a misspelt switch silently
// keeps its default. -1 (errno set) when the file cannot be read.
int scan_ini(const std::string &path, std::map<std::string, unsigned> *where,
	     problems *out)
{
	FILE *f = fopen(path.c_str(), "r");
	if (!f)
		return -1;
	char *buf = nullptr;
	size_t cap = 0;
	ssize_t len;
	std::string section;
	bool known = true, cont = false;
	for (unsigned n = 1; (len = getline(&buf, &cap, f)) >= 0; n++) {
		std::string t = trim(std::string(buf, (size_t)len));
		bool joined = cont;
		cont = !t.empty() && t.back() == '\\';
		if (joined || t.empty() || t[0] == ';' || t[0] == '#')
			continue;
		if (t[0] == '[') {
			section = lower(trim(t.substr(1, t.find(']') - 1)));
			known = config_knows(section, "");
			if (!known)
				out->push_back({ path, n, "unknown section [" + shown(section) + "]", false });
			continue;
		}
		size_t eq = t.find('=');
		if (eq == std::string::npos)
			continue;
		std::string key = lower(trim(t.substr(0, eq)));
		(*where)[section + ":" + key] = n;
		if (known && !config_knows(section, key))
			out->push_back({ path, n,
					 section.empty() ? "key " + shown(key) + " before any section"
							 : "unknown key " + shown(key) + " in [" +
								   section + "]",
					 false });
	}
	free(buf);
	int err = ferror(f) ? (errno ? errno : EIO) : 0;
	fclose(f);
	errno = err;
	return err ? -1 : 0;
}

// iniparser takes a switch with strtol: "yes" is 0, "1x" is 1.
void check_switches(dictionary *ini, const daemon_config &c,
		    const std::function<void(const char *, std::string, bool)> &report)
{
	const struct {
		const char *key;
		int value;
		bool flag; // the module takes only 0 or 1
	} switches[] = {
		{ "global:strict", c.strict, true },
		{ "global:quite", c.quite, true },
		{ "global:daemon", c.daemon, false },
		{ "global:verbose", c.verbose, false },
	};
	for (const auto &s : switches) {
		const char *v = iniparser_getstring(ini, s.key, nullptr);
		if (!v)
			continue;
		char *end;
		errno = 0;
		long l = strtol(v, &end, 0);
		bool number = *v && !*end && !errno && l == (int)l;
		std::string head = std::string(s.key) + " is " + shown(v);
		if (s.flag && s.value != 0 && s.value != 1)
			report(s.key, head + ", not 0 or 1", true);
		else if (!number)
			report(s.key, head + ", not a number: taken as " + std::to_string(s.value),
			       false);
	}
}

// What the module refuses of one token (an empty text: it takes it).
std::string hash_problem(const std::string &tok)
{
	// The module ignores what follows a colon (a file size).
	std::string hex = tok.substr(0, tok.find(':'));
	bool ok = hex.size() == 2 * kDigestSize;
	for (char c : hex)
		ok &= isxdigit((unsigned char)c) != 0;
	return ok ? "" : "hash " + shown(tok) + " is not 40 hex digits";
}

// translate_url: empty labels dropped, each label encoded behind its length.
std::string url_problem(const std::string &tok)
{
	if (tok.size() > kUrlMax)
		return "domain " + shown(tok) + " is over 256 bytes";
	const std::vector<std::string> labels = split(tok, '.');
	size_t encoded = 0;
	for (const std::string &l : labels)
		encoded += 1 + l.size();
	if (labels.empty())
		return "domain " + shown(tok) + " has no label";
	if (encoded > kUrlEncodedMax)
		return "domain " + shown(tok) + " is over 255 bytes encoded";
	return "";
}

// kstrtoll in base 10, then the module keeps the low 16 bits.
std::string port_problem(const std::string &tok)
{
	size_t b = tok[0] == '+';
	if (b == tok.size() ||
	    tok.find_first_not_of("0123456789", b) != std::string::npos)
		return "port " + shown(tok) + " is not a decimal number";
	unsigned long long v = 0;
	for (size_t i = b; i < tok.size() && v <= 65535; i++)
		v = v * 10 + (unsigned)(tok[i] - '0');
	if (v > 65535)
		return "port " + shown(tok) + " is above 65535";
	return v ? "" : "port 0 is refused by the module";
}

std::string address_problem(const std::string &entry)
{
	return is_address(entry) ? "" : shown(entry) + " is not an IPv4 or IPv6 address";
}

// One module list and what it refuses. Each token of a line is one entry,
// but an address line goes to the module whole.
struct kernel_list {
	rule_list daemon_config::*list;
	const char *name;
	std::string (*refused)(const std::string &);
	bool whole;
	size_t limit;
};

const kernel_list kKernelLists[] = {
	{ &daemon_config::interp, "interp", nullptr, false, kRuleMax },
	{ &daemon_config::block_prog, "block_prog", nullptr, false, kRuleMax },
	{ &daemon_config::block_hash, "block_hash", hash_problem, false, kHashMax },
	{ &daemon_config::url, "block_url", url_problem, false, kRuleMax },
	{ &daemon_config::ip, "block_ip", address_problem, true, kRuleMax },
	{ &daemon_config::port, "block_port", port_problem, false, kRuleMax },
};

struct list_count {
	const kernel_list *kl;
	std::set<std::string> seen;
	size_t binary = 0; // digests of the binary files
	bool full = false;

	// Whether the entry still fits the module's list.
	bool add(const std::string &tok)
	{
		if (!full && seen.insert(tok).second && seen.size() + binary > kl->limit)
			full = true;
		return !full;
	}
	std::string full_text() const
	{
		return kl->name + std::string(" reaches the module's limit of ") +
		       std::to_string(kl->limit) + " entries here: the rest is not pushed";
	}
};

// 0, or -1 (errno set) when the file cannot be read.
int check_entries(const std::string &path, list_count *count, problems *out)
{
	const kernel_list &kl = *count->kl;
	int r = read_list_lines(path, [&](list_line &&l) {
		if (l.cut)
			out->push_back({ path, l.line,
					 "line over 4095 bytes: the rest is read as another entry",
					 false });
		if (l.nul) {
			out->push_back({ path, l.line, "NUL byte in the entry: skipped", false });
			return;
		}
		for (const std::string &t : kl.whole ? std::vector<std::string>{ l.text }
						     : split(l.text, ' ')) {
			std::string why = kl.refused ? kl.refused(t) : "";
			if (!why.empty())
				out->push_back({ path, l.line, why });
			bool was_full = count->full;
			if (!count->add(t) && !was_full)
				out->push_back({ path, l.line, count->full_text(), false });
		}
	});
	return r ? -1 : 0;
}

// 0, or -1 (errno set) when the file cannot be read.
int check_binary(const std::string &path, list_count *count, problems *out)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	char buf[65536];
	ssize_t n = 0;
	size_t size = 0;
	while (fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0)
		size += (size_t)n;
	int err = errno;
	if (fd >= 0)
		close(fd);
	if (fd < 0 || n < 0) {
		errno = err;
		return -1;
	}
	if (size % kDigestSize)
		out->push_back({ path, 0,
				 "size " + std::to_string(size) +
					 " is not a multiple of 20: the last " +
					 std::to_string(size % kDigestSize) + " bytes are ignored",
				 false });
	bool was_full = count->full;
	count->binary += size / kDigestSize;
	count->full |= count->seen.size() + count->binary > count->kl->limit;
	if (count->full && !was_full)
		out->push_back({ path, 0, count->full_text(), false });
	return 0;
}

} // namespace

std::vector<config_problem> config_check(const std::string &path)
{
	problems out, names;
	std::map<std::string, unsigned> where;
	errno = 0; // stays 0 for a special file
	if (special_file(path) || scan_ini(path, &where, &names)) {
		out.push_back({ path, 0, std::string("cannot read: ") +
						 (errno ? strerror(errno) : "not a regular file") });
		return out;
	}
	// Names matter only once the file parses.
	dictionary *ini = load_ini(path, &out);
	if (!ini)
		return out;
	names.insert(names.end(), out.begin(), out.end());
	out = std::move(names);
	auto line_of = [&](const std::string &key) {
		auto it = where.find(key);
		return it == where.end() ? 0u : it->second;
	};
	auto report = [&](const std::string &key, std::string text, bool error) {
		out.push_back({ path, line_of(key), std::move(text), error });
	};
	daemon_config cfg;
	for (const key_problem &p : config_read_keys(ini, &cfg))
		report(p.key, p.text, true);
	check_switches(ini, cfg, report);
	iniparser_freedict(ini);
	std::stable_sort(out.begin(), out.end(), [](const config_problem &a,
						    const config_problem &b) {
		return a.line < b.line;
	});

	std::vector<list_count> counts;
	for (const kernel_list &kl : kKernelLists)
		counts.push_back({ &kl, {} });
	for (const list_keys &k : kListKeys) {
		// The binary digests go to the store of block_hash.
		auto target = k.list ? k.list : &daemon_config::block_hash;
		list_count *count = &counts[0];
		for (list_count &c : counts)
			if (c.kl->list == target)
				count = &c;
		const struct {
			const opt_path &path;
			const char *key;
			bool main;
		} files[] = { { cfg.*k.main, k.main_key, true }, { cfg.*k.usr, k.usr_key, false } };
		for (const auto &f : files) {
			// A start passes over a missing usr file or binary file.
			bool optional = !f.main || !k.list;
			if (!f.path || (optional && !usr_file_present(f.path)))
				continue;
			std::string key = std::string(k.section) + ":" + f.key;
			if (special_file(*f.path))
				report(key, *f.path + " (" + key + ") is not a regular file: not read",
				       false);
			else if (k.list ? check_entries(*f.path, count, &out)
					: check_binary(*f.path, count, &out))
				report(key, "cannot read " + *f.path + " (" + key + "): " + strerror(errno),
				       true);
		}
	}
	return out;
}

std::string problem_text(const config_problem &p)
{
	std::string s = p.file;
	if (p.line)
		s += ":" + std::to_string(p.line);
	return s + ": " + (p.error ? "" : "warning: ") + p.text;
}
