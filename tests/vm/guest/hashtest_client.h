// Client side of the test-only hashing driver zt_hashtest.ko (debugfs
// zt_hashtest/), shared by the guest programs that talk to it. No GoogleTest
// here: benchmarks use it too.
#ifndef ZT_GUEST_HASHTEST_CLIENT_H
#define ZT_GUEST_HASHTEST_CLIENT_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ctl.h"

namespace zt_hashtest {

inline const std::string kDir = "/sys/kernel/debug/zt_hashtest/";
inline const std::string kNone = "-";

// One command to the driver's run file; its answer, or "ERR <errno>".
inline std::string Cmd(const std::string &cmd)
{
	int fd = open((kDir + "run").c_str(), O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return "ERR open " + std::to_string(errno);
	std::string out;
	if (write(fd, cmd.data(), cmd.size()) != (ssize_t)cmd.size()) {
		out = "ERR " + std::to_string(errno);
	} else {
		char buf[512];
		ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
		out = n < 0 ? "ERR read" : std::string(buf, n);
		while (!out.empty() && out.back() == '\n')
			out.pop_back();
	}
	close(fd);
	return out;
}

inline std::vector<std::string> Fields(const std::string &s)
{
	std::istringstream in(s);
	std::vector<std::string> f;
	for (std::string w; in >> w;)
		f.push_back(w);
	return f;
}

// The answer to "hash PATH": get_file_hash, whether it came from the mark,
// and calc_file_hash. @raw keeps the answer when it did not parse.
struct Hashed {
	std::string get;
	int from_mark = -1;
	std::string calc;
	std::string raw;
	bool ok() const { return from_mark >= 0; }
};

inline Hashed Hash(const std::string &path)
{
	Hashed h;
	h.raw = Cmd("hash " + path);
	auto f = Fields(h.raw);
	if (f.size() == 3 && (f[1] == "0" || f[1] == "1")) {
		h.get = f[0];
		h.from_mark = f[1][0] - '0';
		h.calc = f[2];
	}
	return h;
}

inline std::map<std::string, long long> Stats()
{
	std::map<std::string, long long> m;
	FILE *f = fopen((kDir + "stats").c_str(), "r");
	if (!f)
		return m;
	char name[64];
	long long v;
	while (fscanf(f, "%63s %lld", name, &v) == 2)
		m[name] = v;
	fclose(f);
	return m;
}

inline bool SetMaxsize(long long v)
{
	return zt::Write(kDir + "hash_max_filesize", std::to_string(v)) == 0;
}

// Files of at least @v bytes take the asynchronous transform; 0 turns it off.
inline bool SetAhashMinsize(unsigned long v)
{
	return zt::Write("/sys/module/zt_hashtest/parameters/ahash_minsize",
			 std::to_string(v)) == 0;
}

// busybox sha1sum of @path, the reference digest.
inline std::string Sha1sum(const std::string &path)
{
	FILE *p = popen(("sha1sum '" + path + "'").c_str(), "r");
	if (!p)
		return "popen failed";
	char buf[256] = {};
	if (!fgets(buf, sizeof(buf), p))
		buf[0] = '\0';
	pclose(p);
	auto f = Fields(buf);
	return f.empty() ? "" : f[0];
}

// Writes @size pseudo-random bytes, distinct per @seed, to @path and sets
// its times @age seconds into the past. False on any error.
inline bool MakeFileAt(const std::string &path, size_t size, unsigned seed,
		       time_t age = 1000)
{
	std::mt19937_64 rng(seed);
	std::vector<char> buf(1 << 20);
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0)
		return false;
	bool ok = true;
	for (size_t done = 0; ok && done < size;) {
		size_t n = std::min(buf.size(), size - done);
		for (size_t i = 0; i < n; i += 8) {
			uint64_t r = rng();
			memcpy(&buf[i], &r, std::min<size_t>(8, n - i));
		}
		ok = write(fd, buf.data(), n) == (ssize_t)n;
		done += n;
	}
	close(fd);
	if (ok && age) {
		struct timespec ts[2] = { { time(nullptr) - age, 0 },
					  { time(nullptr) - age, 0 } };
		ok = utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
	}
	return ok;
}

} // namespace zt_hashtest

#endif
