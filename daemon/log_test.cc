#include "log.h"

#include <sys/stat.h>

#include <regex>

#include "test_util.h"

namespace {

TEST(LogTimePrefix, Format)
{
	char buf[64];
	size_t n = log_time_prefix(buf, sizeof(buf));
	ASSERT_GT(n, 0u);
	EXPECT_TRUE(std::regex_match(buf, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.[1-9]?\d* )")))
		<< buf;
}

long file_size(const std::string &p)
{
	struct stat st;
	return stat(p.c_str(), &st) ? -1 : st.st_size;
}

TEST(LogRotate, AtThresholdAndWhenRemoved)
{
	TempDir dir;
	const std::string path = dir.path() + "/d.log";
	Status st;
	std::unique_ptr<FileSink> log = FileSink::open(path, &st);
	ASSERT_TRUE(log) << st.message();
	log_attach(log.get());
	ASSERT_EQ(truncate(path.c_str(), kLogRotateSize - 1), 0);
	log_err("still here\n");
	EXPECT_EQ(file_size(path + ".bak"), -1);
	log_err("one more\n"); // the file has reached the threshold now
	EXPECT_GE(file_size(path + ".bak"), kLogRotateSize);
	EXPECT_GT(file_size(path), 0) << "the message starts the new log";

	unlink(path.c_str());
	log_err("recreated\n");
	EXPECT_GT(file_size(path), 0);
	log_attach(nullptr);
}

// Root writes the logs: a link planted where one will be must not choose
// the file, and what users ran is not for everyone to read.
TEST(LogOpen, RefusesLinksAndCreates0640)
{
	TempDir dir;
	const std::string path = dir.path() + "/b.log", target = dir.file("t", "");
	mode_t old = umask(0);
	Status st;
	EXPECT_TRUE(FileSink::open(path, &st));
	struct stat sb;
	ASSERT_EQ(stat(path.c_str(), &sb), 0);
	EXPECT_EQ(sb.st_mode & 07777, 0640u);
	umask(old);
	ASSERT_EQ(symlink(target.c_str(), (path + ".l").c_str()), 0);
	EXPECT_FALSE(FileSink::open(path + ".l", &st));
	EXPECT_NE(st.message().find("Unable to open " + path + ".l for writing"), std::string::npos);
}

} // namespace
