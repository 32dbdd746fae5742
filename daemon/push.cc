#include "push.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kernel_io.h"
#include "log.h"

const ctl_file kCtlInterp = { "interp prog", ZT_CTL_DIR "interp_prog" };
const ctl_file kCtlProg = { "block prog", ZT_CTL_DIR "block_prog" };
const ctl_file kCtlHash = { "block hash", ZT_CTL_DIR "block_hash" };
const ctl_file kCtlUrl = { "block domain", ZT_CTL_DIR "block_url" };
const ctl_file kCtlPort = { "block port", ZT_CTL_DIR "block_port" };
const ctl_file kCtlIpv4 = { "block ipv4", ZT_CTL_DIR "block_ipv4" };
const ctl_file kCtlIpv6 = { "block ipv6", ZT_CTL_DIR "block_ipv6" };
const char kHashBinPath[] = "/proc/zentrope/block_hash_bin";
const char kStrictPath[] = ZT_CTL_DIR "strict";
const char kQuitePath[] = ZT_CTL_DIR "quite";
const char kUlogPath[] = ZT_CTL_DIR "ulog";

namespace {

constexpr size_t kCmdMax = 4100;
constexpr size_t kHashChunk = 20000;

// An open that failed, told apart from a failed write: the callers
// report only the latter.
constexpr ssize_t kNotOpened = -2;

// Writes buf with one call on a fresh descriptor: the written count, -1
// for a failed write (errno says why), or kNotOpened.
ssize_t write_once(const char *path, const void *buf, size_t len)
{
	int fd = g_kio->open(path, O_WRONLY);
	if (fd < 0)
		return kNotOpened;
	errno = 0;
	ssize_t n = g_kio->write(fd, buf, len);
	int err = errno;
	g_kio->close(fd);
	errno = err;
	return n;
}

bool file_exists(const opt_path &p)
{
	return p && access(p->c_str(), F_OK) == 0;
}

void copy_if_present(const opt_path &p)
{
	if (!file_exists(p))
		return;
	long n = copy_hash_file(*p);
	if (n >= 0)
		log_verbose("Write to %s %ld bytes from file %s SUCC\n",
			    kHashBinPath, n, p->c_str());
}

// Each address on its own, to the list of its family.
int push_addresses(rule_list *ips)
{
	int failed = 0, ret = 0;
	for (std::string &a : ips->items) {
		if (ret == kPushFull)
			continue;
		rule_list one;
		one.items.push_back(std::move(a));
		ret = push_list(is_ipv4_text(one.items[0]) ? kCtlIpv4 : kCtlIpv6, &one);
		if (ret < 0 && ret != kPushFull)
			failed++;
	}
	ips->items.clear();
	return ret == kPushFull || !failed ? 0 : -1;
}

} // namespace

bool is_ipv4_text(const std::string &addr)
{
	unsigned char buf[4];
	return inet_pton(AF_INET, addr.c_str(), buf) == 1;
}

int write_command(const ctl_file &ctl, const std::string &cmd, bool quiet_full)
{
	std::string text = cmd.substr(0, kCmdMax);
	ssize_t n = write_once(ctl.path, text.data(), text.size());
	if (n == kNotOpened)
		return -1;
	if (n == (ssize_t)text.size())
		return 0;
	int err = errno;
	if (err == ENOSPC && quiet_full)
		return kPushFull;
	log_err("write %s to %s fail!\n", text.c_str() + 4, ctl.path);
	if (err != ENOSPC)
		return -1;
	log_err("%s is full! Max num is 10000\n", ctl.path);
	return kPushFull;
}

int push_list(const ctl_file &ctl, rule_list *list)
{
	int ret = 0;
	for (std::string &entry : list->items) {
		if (ret == kPushFull)
			break;
		int r = write_command(ctl, "ADD " + entry);
		if (r)
			ret = r;
		else
			log_verbose("Add %s %s config SUCC\n", ctl.label, entry.c_str());
	}
	list->items.clear();
	return ret;
}

int push_all(daemon_config *cfg)
{
	struct step {
		const ctl_file &ctl;
		rule_list *list;
		const char *msg;
	};
	const step first[] = {
		{ kCtlInterp, &cfg->interp, "write interp prog to %s err!\n" },
		{ kCtlProg, &cfg->block_prog, "write block prog to %s err!\n" },
		{ kCtlHash, &cfg->block_hash, "write block hash to %s err!\n" },
	};
	const step second[] = {
		{ kCtlUrl, &cfg->url, "write block url to %s err!\n" },
		{ kCtlPort, &cfg->port, "write block port to %s err!\n" },
	};
	auto run = [](const step &s) {
		int r = push_list(s.ctl, s.list);
		if (r < 0 && r != kPushFull) {
			log_err(s.msg, s.ctl.path);
			return r;
		}
		return 0;
	};
	for (const step &s : first)
		if (int r = run(s))
			return r;
	copy_if_present(cfg->block_hash_bin_file);
	copy_if_present(cfg->usr_block_hash_bin_file);
	for (const step &s : second)
		if (int r = run(s))
			return r;
	return push_addresses(&cfg->ip);
}

long copy_hash_file(const std::string &path)
{
	int src = g_kio->open(path.c_str(), O_RDONLY);
	if (src < 0) {
		log_err("open read file:%s err!\n", path.c_str());
		return -1;
	}
	int dst = g_kio->open(kHashBinPath, O_WRONLY);
	if (dst < 0) {
		log_err("open write file:%s err!\n", kHashBinPath);
		g_kio->close(src);
		return -1;
	}
	static char buf[kHashChunk];
	long total = 0;
	ssize_t n;
	while ((n = g_kio->read(src, buf, sizeof(buf))) > 0) {
		ssize_t w = g_kio->write(dst, buf, (size_t)n);
		if (w > 0)
			total += w;
		if (w != n)
			break;
	}
	g_kio->close(dst);
	g_kio->close(src);
	return total;
}

int write_flag(const char *path, int value)
{
	char text[16];
	int len = snprintf(text, sizeof(text), "%d", value);
	ssize_t n = write_once(path, text, (size_t)len);
	if (n == kNotOpened)
		return -1;
	if (n != len) {
		log_err("write %d to %s fail!\n", value, path);
		return -1;
	}
	log_verbose("config %d to %s SUCC\n", value, path);
	return 0;
}

int clear_list(const ctl_file &ctl)
{
	ssize_t n = write_once(ctl.path, "CLEAR", 5);
	if (n == kNotOpened)
		return -1;
	if (n != 5) {
		log_err("Clear %s fail!\n", ctl.path);
		return -1;
	}
	log_verbose("Clear %s %s config SUCC\n", ctl.label, ctl.path);
	return 0;
}

int clear_all()
{
	for (const ctl_file *c : { &kCtlInterp, &kCtlProg, &kCtlHash, &kCtlUrl,
				   &kCtlPort, &kCtlIpv4, &kCtlIpv6 })
		if (int r = clear_list(*c))
			return r;
	return 0;
}
