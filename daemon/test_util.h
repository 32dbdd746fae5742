// Shared helpers of the daemon's host tests.
#ifndef ZENTROPED_TEST_UTIL_H
#define ZENTROPED_TEST_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

// A fresh directory under /tmp, removed with its files afterwards.
class TempDir {
public:
	TempDir()
	{
		char tmpl[] = "/tmp/zt-daemon-test.XXXXXX";
		path_ = mkdtemp(tmpl);
	}
	~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
	const std::string &path() const { return path_; }
	std::string file(const std::string &name, const std::string &text) const
	{
		std::string p = path_ + "/" + name;
		std::ofstream(p, std::ios::binary) << text;
		return p;
	}

private:
	std::string path_;
};

#endif
