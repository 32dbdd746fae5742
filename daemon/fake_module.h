// Test double of the module's control files: a model of the lists that
// takes ADD, DEL and CLEAR as the module does, with a size limit, and the
// digest feed. Other paths reach the real file system.
#ifndef ZENTROPED_FAKE_MODULE_H
#define ZENTROPED_FAKE_MODULE_H

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kernel_io.h"
#include "push.h"

class FakeModule : public KernelIo {
public:
	std::map<std::string, std::vector<std::string>> lists; // newest first
	std::string store;                                     // raw digests
	std::map<std::string, std::string> flags;
	std::vector<std::string> commands; // "<path> <command>"
	size_t limit = 10000;
	std::function<void()> after_write; // runs after every command

	FakeModule() { g_kio = this; }
	~FakeModule() override { g_kio = system_io(); }

	bool has(const ctl_file &c, const std::string &item)
	{
		auto &l = lists[c.path];
		return std::find(l.begin(), l.end(), item) != l.end();
	}

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
		std::string text = dump(fds_[fd].path);
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

	std::string dump(const std::string &path)
	{
		if (path == kHashBinPath)
			return store;
		std::string s;
		for (const std::string &e : lists[path])
			s += e + "\n";
		return s;
	}

	ssize_t fail(int err)
	{
		errno = err;
		return -1;
	}

	bool stored(const std::string &d)
	{
		for (size_t i = 0; i < store.size(); i += 20)
			if (!store.compare(i, 20, d))
				return true;
		return false;
	}

	static std::string unhex(const std::string &h)
	{
		std::string d;
		for (size_t i = 0; i + 1 < h.size() && d.size() < 20; i += 2)
			d += (char)std::stoi(h.substr(i, 2), nullptr, 16);
		return d;
	}

	ssize_t apply(const std::string &path, const std::string &text)
	{
		if (path == kHashBinPath) {
			for (size_t i = 0; i + 20 <= text.size(); i += 20)
				if (!stored(text.substr(i, 20)))
					store += text.substr(i, 20);
			return (ssize_t)(text.size() / 20 * 20);
		}
		if (path.find("/strict") != std::string::npos ||
		    path.find("/quite") != std::string::npos ||
		    path.find("/ulog") != std::string::npos) {
			if (text != "0" && text != "1")
				return fail(EINVAL);
			flags[path] = text;
			return (ssize_t)text.size();
		}
		auto &l = lists[path];
		if (text == "CLEAR") {
			l.clear();
			if (path == kCtlHash.path)
				store.clear();
			return 5;
		}
		bool add = !text.compare(0, 4, "ADD ");
		if (!add && text.compare(0, 4, "DEL "))
			return fail(EINVAL);
		std::istringstream toks(text.substr(4));
		for (std::string t; toks >> t;) {
			if (path == kCtlHash.path) {
				std::string d = unhex(t);
				if (add && !stored(d))
					store += d;
				for (size_t i = 0; !add && i < store.size(); i += 20)
					if (!store.compare(i, 20, d))
						store.erase(i, 20);
				continue;
			}
			if (t == "bad")
				return fail(EINVAL);
			auto it = std::find(l.begin(), l.end(), t);
			if (!add) {
				if (it != l.end())
					l.erase(it);
			} else if (it == l.end()) {
				if (l.size() >= limit)
					return fail(ENOSPC);
				l.insert(l.begin(), t);
			}
		}
		return (ssize_t)text.size();
	}
};

#endif
