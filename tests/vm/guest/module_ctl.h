// Guest-side helpers for loading and removing modules with the raw system
// calls (so a test sees the exact errno), reading small files, and reading
// the kernel log from a point on.
#ifndef ZT_VM_GUEST_MODULE_CTL_H
#define ZT_VM_GUEST_MODULE_CTL_H

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ctl.h"

namespace zt {

// finit_module() of the file @path with the parameter string @params.
// 0 or the errno; -1 when the file cannot be opened at all.
inline int LoadModule(const std::string &path, const std::string &params = "")
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	int err = syscall(SYS_finit_module, fd, params.c_str(), 0) ? errno : 0;
	close(fd);
	return err;
}

// delete_module(); 0 or the errno.
inline int UnloadModule(const std::string &name = "zentrope")
{
	return syscall(SYS_delete_module, name.c_str(), O_NONBLOCK) ? errno : 0;
}

inline bool PathExists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

// The whole file, or @fallback when it cannot be read.
inline std::string ReadText(const std::string &path, const std::string &fallback = "")
{
	std::ifstream in(path);
	if (!in)
		return fallback;
	std::ostringstream s;
	s << in.rdbuf();
	return s.str();
}

// Whether some line of @path starts with @prefix.
inline bool HasLineStarting(const std::string &path, const std::string &prefix)
{
	for (const auto &l : Lines(ReadText(path)))
		if (l.compare(0, prefix.size(), prefix) == 0)
			return true;
	return false;
}

inline bool ModuleListed(const std::string &name = "zentrope")
{
	return HasLineStarting("/proc/modules", name + " ");
}

// The "@key:" figure of /proc/meminfo in kB, -1 when missing.
inline long MeminfoKb(const std::string &key)
{
	for (const auto &l : Lines(ReadText("/proc/meminfo")))
		if (l.compare(0, key.size() + 1, key + ":") == 0)
			return strtol(l.c_str() + key.size() + 1, nullptr, 10);
	return -1;
}

// The kernel log from the moment of construction on, one record text per
// line, read from /dev/kmsg.
class KernelLog {
public:
	KernelLog()
	{
		fd_ = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
		if (fd_ >= 0)
			lseek(fd_, 0, SEEK_END);
	}
	~KernelLog()
	{
		if (fd_ >= 0)
			close(fd_);
	}
	KernelLog(const KernelLog &) = delete;
	KernelLog &operator=(const KernelLog &) = delete;

	bool ok() const { return fd_ >= 0; }

	// Every record logged since construction (accumulated over calls).
	const std::vector<std::string> &Records()
	{
		char buf[8192];
		for (;;) {
			ssize_t n = read(fd_, buf, sizeof(buf) - 1);
			if (n < 0) {
				if (errno == EPIPE)
					continue; // overwritten records: go on
				break;	  // EAGAIN: nothing more for now
			}
			// "prio,seq,usec,flags;text\n" then " KEY=value" lines.
			std::string rec(buf, static_cast<size_t>(n));
			size_t semi = rec.find(';');
			size_t end = rec.find('\n');
			if (semi != std::string::npos && end != std::string::npos && semi < end) {
				records_.push_back(rec.substr(semi + 1, end - semi - 1));
				levels_.push_back(atoi(rec.c_str()) & 7);
			}
		}
		return records_;
	}

	// "level;text" of every record so far that contains @needle.
	std::vector<std::string> Leveled(const std::string &needle)
	{
		std::vector<std::string> out;
		Records();
		for (size_t i = 0; i < records_.size(); i++)
			if (records_[i].find(needle) != std::string::npos)
				out.push_back(std::to_string(levels_[i]) + ";" + records_[i]);
		return out;
	}

	// How many records so far contain @needle.
	int Count(const std::string &needle)
	{
		int n = 0;
		for (const auto &r : Records())
			if (r.find(needle) != std::string::npos)
				n++;
		return n;
	}

	std::string Dump()
	{
		std::string s;
		for (const auto &r : Records())
			s += "  " + r + "\n";
		return s;
	}

private:
	int fd_ = -1;
	std::vector<std::string> records_;
	std::vector<int> levels_;
};

} // namespace zt

#endif
