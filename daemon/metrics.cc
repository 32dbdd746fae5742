#include "metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "block_log.h"
#include "log.h"

namespace {

uint64_t digests_in(const opt_path &path)
{
	struct stat st;
	if (!path || stat(path->c_str(), &st) || !S_ISREG(st.st_mode))
		return 0;
	return (uint64_t)st.st_size / 20;
}

void family(std::string *out, const char *name, const char *type, const char *help)
{
	*out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " +
		type + "\n";
}

void sample(std::string *out, const char *name, const std::string &labels,
	    const std::string &value)
{
	*out += name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
}

std::string label(const char *name, const std::string &value)
{
	return std::string(name) + "=\"" + label_value(value) + "\"";
}

std::string seconds(uint64_t ns)
{
	char text[32];
	snprintf(text, sizeof(text), "%llu.%03llu", (unsigned long long)(ns / 1000000000ull),
		 (unsigned long long)(ns / 1000000 % 1000));
	return text;
}

// A temporary name left by a daemon that died mid-write is taken over;
// a link there is removed, never followed.
int create_temp(const std::string &tmp)
{
	const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
	int fd = open(tmp.c_str(), flags, 0644);
	if (fd < 0 && errno == EEXIST && !unlink(tmp.c_str()))
		fd = open(tmp.c_str(), flags, 0644);
	// The umask must not take the collector's read access away.
	if (fd >= 0 && fchmod(fd, 0644)) {
		int err = errno;
		close(fd);
		errno = err;
		return -1;
	}
	return fd;
}


} // namespace

std::map<std::string, uint64_t> count_list_entries(const daemon_config &cfg)
{
	std::map<std::string, uint64_t> out;
	for (const list_keys &k : kListKeys) {
		uint64_t &n = out[k.section];
		if (!k.list) {
			n += digests_in(cfg.*k.main) + digests_in(cfg.*k.usr);
			continue;
		}
		bool whole = k.list == &daemon_config::ip;
		for (const std::string &e : (cfg.*k.list).items)
			n += whole ? 1 : split(e, ' ').size();
	}
	return out;
}

std::string label_value(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size();) {
		size_t n = utf8_len(s, i);
		char c = s[i];
		if (!n) {
			char hex[8];
			snprintf(hex, sizeof(hex), "\\\\x%02x", (unsigned char)c);
			out += hex;
			i++;
			continue;
		}
		if (c == '\\' || c == '"')
			out += '\\';
		out += c == '\n' ? std::string("\\n") : s.substr(i, n);
		i += n;
	}
	return out;
}

std::string metrics_text(const daemon_metrics &m)
{
	std::string t;
	family(&t, "zentrope_refusals_total", "counter",
	       "Block events received, by operation and rule type.");
	for (const auto &[words, n] : m.refusals)
		sample(&t, "zentrope_refusals_total",
		       label("op", words.first) + "," + label("rule", words.second),
		       std::to_string(n));
	family(&t, "zentrope_events_lost_total", "counter",
	       "Block events the module sent that never reached the daemon.");
	sample(&t, "zentrope_events_lost_total", "", std::to_string(m.events_lost));
	family(&t, "zentrope_list_entries", "gauge",
	       "Entries of each rule list as last pushed into the module.");
	for (const auto &[list, n] : m.list_entries)
		sample(&t, "zentrope_list_entries", label("list", list), std::to_string(n));
	family(&t, "zentrope_reloads_total", "counter",
	       "Reloads of the rule lists, the failed ones included.");
	sample(&t, "zentrope_reloads_total", "", std::to_string(m.reloads));
	family(&t, "zentrope_reload_failures_total", "counter",
	       "Reloads of the rule lists that failed.");
	sample(&t, "zentrope_reload_failures_total", "", std::to_string(m.reload_failures));
	family(&t, "zentrope_last_reload_success_timestamp_seconds", "gauge",
	       "Unix time of the last successful push of the rule lists, at start-up or reload.");
	sample(&t, "zentrope_last_reload_success_timestamp_seconds", "",
	       seconds(m.last_success_ns));
	family(&t, "zentrope_module_build_info", "gauge",
	       "The module build in use and the kernel release it was chosen for.");
	const module_build &b = m.build;
	sample(&t, "zentrope_module_build_info",
	       label("platform", b.platform) + "," + label("kernel", b.kernel) + "," +
		       label("abi", b.abi) + "," + label("release", b.release),
	       "1");
	return t;
}

Status write_file_atomic(const std::string &path, const std::string &text)
{
	const std::string tmp = path + ".tmp";
	int fd = create_temp(tmp);
	if (fd < 0)
		return Status::Error("create %s: %s\n", tmp.c_str(), strerror(errno));
	int err = write_all(fd, text) ? errno : 0;
	if (close(fd) && !err)
		err = errno;
	if (!err && rename(tmp.c_str(), path.c_str()))
		err = errno;
	if (!err)
		return {};
	unlink(tmp.c_str());
	return Status::Error("write %s: %s\n", path.c_str(), strerror(err));
}
