// Guest-side helpers for the module's control files: each command is one
// open, one write() call and one close, as the entries take only the first
// line of a single write at position 0; reads collect a whole file.
// Results are errno values (0 for success), so tests can compare them with
// EXPECT_EQ and print them with strerror().
#ifndef ZT_VM_GUEST_CTL_H
#define ZT_VM_GUEST_CTL_H

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace zt {

inline const std::string kSysctlDir = "/proc/sys/kernel/zentrope/";
inline const std::string kProcDir = "/proc/zentrope/";

// Path of a control entry under /proc/sys/kernel/zentrope/.
inline std::string Entry(const std::string &name)
{
	return kSysctlDir + name;
}

// Opens @path for writing (with @flags added: tracefs files act on O_TRUNC
// and O_APPEND), issues exactly one write() of @len bytes and closes.
// Returns the write's result: the byte count, or -errno (also for a failed
// open).
inline ssize_t WriteCall(const std::string &path, const void *data, size_t len, int flags)
{
	int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | flags);
	if (fd < 0)
		return -errno;
	ssize_t n = write(fd, data, len);
	int err = errno;
	close(fd);
	return n < 0 ? -err : n;
}

inline ssize_t WriteCall(const std::string &path, const void *data, size_t len)
{
	return WriteCall(path, data, len, 0);
}

// One command in one write() call. 0 when the whole text was taken,
// the errno otherwise; a short write counts as EIO.
inline int Write(const std::string &path, const std::string &text, int flags)
{
	ssize_t n = WriteCall(path, text.data(), text.size(), flags);
	if (n < 0)
		return static_cast<int>(-n);
	return static_cast<size_t>(n) == text.size() ? 0 : EIO;
}

inline int Write(const std::string &path, const std::string &text)
{
	return Write(path, text, 0);
}

// A command to the control entry @name.
inline int Cmd(const std::string &name, const std::string &text)
{
	return Write(Entry(name), text);
}

// "ADD" commands to the entry @name for all of @tokens, as many
// space-separated tokens in each write as fit in @max bytes (a command is
// at most one line of 131071 characters). 0 or the errno of the first
// write refused.
inline int AddAll(const std::string &name, const std::vector<std::string> &tokens,
		  size_t max = 65536)
{
	std::string cmd;
	for (size_t i = 0; i < tokens.size(); i++) {
		cmd += (cmd.empty() ? "ADD " : " ") + tokens[i];
		if (i + 1 == tokens.size() || cmd.size() + 1 + tokens[i + 1].size() > max) {
			if (int err = Cmd(name, cmd))
				return err;
			cmd.clear();
		}
	}
	return 0;
}

// Reads @fd to end of file in read() calls of at most @chunk bytes.
// Returns 0 or the errno of the failing read; @out holds what was read.
inline int ReadFd(int fd, std::string *out, size_t chunk = 1 << 20)
{
	std::vector<char> buf(chunk);
	out->clear();
	for (;;) {
		ssize_t n = read(fd, buf.data(), buf.size());
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return errno;
		}
		if (n == 0)
			return 0;
		out->append(buf.data(), static_cast<size_t>(n));
	}
}

// Opens @path read-only and reads all of it. 0 or an errno.
inline int ReadAll(const std::string &path, std::string *out,
		   size_t chunk = 1 << 20)
{
	out->clear();
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return errno;
	int err = ReadFd(fd, out, chunk);
	close(fd);
	return err;
}

// The contents of @path, or "<errno text>" in angle brackets when it cannot
// be read: handy inside EXPECT_EQ, where a failure then shows why.
inline std::string Slurp(const std::string &path, size_t chunk = 1 << 20)
{
	std::string s;
	int err = ReadAll(path, &s, chunk);
	if (err)
		return "<" + std::string(strerror(err)) + ">";
	return s;
}

// What one read() call of up to @max bytes returns at position 0. A list
// entry rebuilds its text on every read call, so only a single call gives
// a snapshot of a list that others are changing: a second call continues
// at its position in a text that may have changed since.
inline std::string Snapshot(const std::string &path, size_t max = 1 << 20)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return "<" + std::string(strerror(errno)) + ">";
	std::string s(max, '\0');
	ssize_t n = read(fd, &s[0], max);
	int err = errno;
	close(fd);
	if (n < 0)
		return "<" + std::string(strerror(err)) + ">";
	s.resize(static_cast<size_t>(n));
	return s;
}

// The text of the control entry @name.
inline std::string Read(const std::string &name)
{
	return Slurp(Entry(name));
}

// Splits @text at newlines; a final newline does not start another line.
inline std::vector<std::string> Lines(const std::string &text)
{
	std::vector<std::string> out;
	size_t start = 0;
	while (start < text.size()) {
		size_t nl = text.find('\n', start);
		if (nl == std::string::npos) {
			out.push_back(text.substr(start));
			break;
		}
		out.push_back(text.substr(start, nl - start));
		start = nl + 1;
	}
	return out;
}

// Value of "key:value" in debug_data, or -1 when the key is missing.
inline long DebugCount(const std::string &key)
{
	for (const std::string &line : Lines(Read("debug_data"))) {
		if (line.compare(0, key.size() + 1, key + ":") == 0)
			return strtol(line.c_str() + key.size() + 1, nullptr, 10);
	}
	return -1;
}

} // namespace zt

#endif // ZT_VM_GUEST_CTL_H
