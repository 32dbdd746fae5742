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
	g_log_path = dir.path() + "/d.log";
	g_log = log_open(g_log_path);
	ASSERT_TRUE(g_log);
	ASSERT_EQ(truncate(g_log_path.c_str(), kLogRotateSize - 1), 0);
	log_err("still here\n");
	EXPECT_EQ(file_size(g_log_path + ".bak"), -1);
	log_err("one more\n"); // the file has reached the threshold now
	EXPECT_GE(file_size(g_log_path + ".bak"), kLogRotateSize);
	EXPECT_GT(file_size(g_log_path), 0) << "the message starts the new log";

	unlink(g_log_path.c_str());
	log_err("recreated\n");
	EXPECT_GT(file_size(g_log_path), 0);
	log_close(&g_log);
	FILE *out = stdout;
	EXPECT_EQ(log_rotate_check(&out, "/nonexistent"), 0) << "stdout never rotates";
	FILE *none = nullptr;
	EXPECT_EQ(log_rotate_check(&none, g_log_path), -1);
}

} // namespace
