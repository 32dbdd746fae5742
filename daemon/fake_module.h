// Test double of the module's control files, over the module's own list
// logic (fake_kmod.h): the lists take their commands through the real
// parser, the digest feed fills the real store. The switches are modelled
// (0 or 1), and a list may be given a smaller limit than the module's.
// Other paths reach the real file system.
#ifndef ZENTROPED_FAKE_MODULE_H
#define ZENTROPED_FAKE_MODULE_H

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fake_kmod.h"
#include "kernel_io.h"
#include "push.h"

class FakeModule : public KernelIo {
public:
	std::map<std::string, std::string> flags;
	std::vector<std::string> commands; // "<path> <command>"
	size_t limit = 10000;		    // elements per list
	std::function<void()> after_write; // runs after every command

	FakeModule()
	{
		fake_kmod::start();
		g_kio = this;
	}
	~FakeModule() override
	{
		g_kio = system_io();
		fake_kmod::stop();
	}

	// The lines the list @c reads as, newest first.
	std::vector<std::string> list(const ctl_file &c)
	{
		std::vector<std::string> lines;
		std::string text = fake_kmod::read(entry(c.path));
		for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
			if (nl > at)
				lines.push_back(text.substr(at, nl - at));
		return lines;
	}
	bool has(const ctl_file &c, const std::string &item)
	{
		for (const std::string &l : list(c))
			if (l == item)
				return true;
		return false;
	}
	std::string store() { return fake_kmod::store(); }

	int open(const char *path, int flags_) override
	{
		if (strncmp(path, "/proc/", 6))
			return system_io()->open(path, flags_);
		fds_[next_] = { path, 0 };
		return next_++;
	}
	ssize_t read(int fd, void *buf, size_t len) override
	{
		if (!fds_.count(fd))
			return system_io()->read(fd, buf, len);
		const std::string &path = fds_[fd].path;
		std::string text = path == kHashBinPath ? store() : fake_kmod::read(entry(path));
		size_t &pos = fds_[fd].pos;
		size_t n = std::min(len, text.size() - std::min(pos, text.size()));
		memcpy(buf, text.data() + pos, n);
		pos += n;
		return (ssize_t)n;
	}
	ssize_t write(int fd, const void *buf, size_t len) override
	{
		if (!fds_.count(fd))
			return system_io()->write(fd, buf, len);
		std::string path = fds_[fd].path, text((const char *)buf, len);
		commands.push_back(path + " " + text);
		ssize_t r = apply(path, text);
		if (after_write)
			after_write();
		return r;
	}
	int close(int fd) override
	{
		if (!fds_.erase(fd))
			return system_io()->close(fd);
		return 0;
	}

private:
	struct open_file {
		std::string path;
		size_t pos;
	};
	std::map<int, open_file> fds_;
	int next_ = 1000;

	static std::string entry(const std::string &path)
	{
		return path.substr(path.rfind('/') + 1);
	}

	ssize_t fail(long err)
	{
		errno = (int)err;
		return -1;
	}

	ssize_t apply(const std::string &path, const std::string &text)
	{
		if (path == kHashBinPath) {
			long r = fake_kmod::feed(text);
			return r < 0 ? fail(-r) : r;
		}
		const std::string name = entry(path);
		if (!fake_kmod::is_list(name)) {
			if (text != "0" && text != "1")
				return fail(EINVAL);
			flags[path] = text;
			return (ssize_t)text.size();
		}
		if (!strncasecmp(text.c_str(), "ADD ", 4) && fake_kmod::count(name) >= limit)
			return fail(ENOSPC);
		int r = fake_kmod::command(name, text);
		return r < 0 ? fail(-r) : (ssize_t)text.size();
	}
};

#endif
