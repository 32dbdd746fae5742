// The module's file marks stay out of user space's reach, on tmpfs and on
// ext4: reads and removals answer ENODATA, sets EPERM, listings and their
// size queries leave them out, other attributes work as before; a
// timestamp change makes a cached digest stale; listings leak nothing.
//
//   ZT_PROTECT_DIRS="DIR..." zt_guest_protect   (loads the shipped module)
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <sstream>

#include "hashtest_client.h"
#include "module_ctl.h"
#include "spawn.h"

namespace {

using namespace zt;

// The directories to test in, one per file system.
std::vector<std::string> Dirs()
{
	std::vector<std::string> out;
	std::istringstream in(getenv("ZT_PROTECT_DIRS") ? getenv("ZT_PROTECT_DIRS") : "/tmp");
	for (std::string d; in >> d;)
		out.push_back(d);
	return out;
}
const char *const kMarks[] = { "security.zentrope_xattr", "security.zentrope_exist" };

int Errno(long r)
{
	return r < 0 ? errno : 0;
}

std::string List(const std::string &path)
{
	char buf[4096];
	ssize_t n = listxattr(path.c_str(), buf, sizeof(buf));
	return n < 0 ? "<" + std::to_string(errno) + ">" : std::string(buf, n);
}

void Backdate(const std::string &path)
{
	struct timespec ts[2] = { { 1000000000, 0 }, { 1000000000, 0 } };
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

class Protect : public testing::TestWithParam<std::string> {
protected:
	void SetUp() override
	{
		ASSERT_EQ(LoadModule("/lib/zentrope/zentrope.ko"), 0);
		file_ = GetParam() + "/judged";
		ASSERT_EQ(system(("cp /bin/zt_tool " + file_ + " && printf zt >> " + file_).c_str()), 0);
		Backdate(file_);
	}
	void TearDown() override
	{
		if (ModuleListed())
			EXPECT_EQ(UnloadModule(), 0);
		unlink(file_.c_str());
	}
	std::string file_;
};

TEST_P(Protect, MarksOutOfReach)
{
	// A strict exec leaves both marks: the digest and the store's verdict.
	ASSERT_EQ(Cmd("strict", "1"), 0);
	ASSERT_EQ(RunProg({ file_ }), 0);
	const char *f = file_.c_str();
	// trusted.*: tmpfs has user.* attributes only from 6.6 on.
	ASSERT_EQ(setxattr(f, "trusted.a", "1", 1, 0), 0);
	char v[256];
	for (const char *m : kMarks) {
		SCOPED_TRACE(m);
		EXPECT_EQ(Errno(getxattr(f, m, v, sizeof(v))), ENODATA);
		EXPECT_EQ(Errno(getxattr(f, m, nullptr, 0)), ENODATA);
		EXPECT_EQ(Errno(setxattr(f, m, "x", 1, 0)), EPERM);
		EXPECT_EQ(Errno(removexattr(f, m)), ENODATA);
	}
	const std::string kept("trusted.a\0", 10);
	EXPECT_EQ(listxattr(f, nullptr, 0), 10);
	EXPECT_EQ(List(file_), kept);
	char small[10];
	EXPECT_EQ(listxattr(f, small, sizeof(small)), 10) << "fits the filtered list";
	EXPECT_EQ(Errno(listxattr(f, small, 9)), ERANGE);
	// Other attributes, in "security." too, are the kernel's business.
	EXPECT_EQ(setxattr(f, "security.other", "2", 1, 0), 0);
	EXPECT_EQ(getxattr(f, "security.other", v, sizeof(v)), 1);
	EXPECT_EQ(removexattr(f, "security.other"), 0);
	EXPECT_EQ(Errno(getxattr(f, "trusted.none", v, sizeof(v))), ENODATA);

	// Without the module the marks were there all along.
	ASSERT_EQ(UnloadModule(), 0);
	const std::string raw = List(file_);
	for (const char *m : kMarks)
		EXPECT_NE(raw.find(m), std::string::npos) << m;
}

// Content changed, times set back: the old digest must not be served.
TEST_P(Protect, TimestampChangeMakesDigestStale)
{
	ASSERT_EQ(RunProg({ file_ }), 0); // digest of the first content cached
	const off_t size = [&] { struct stat st; stat(file_.c_str(), &st); return st.st_size; }();
	ASSERT_EQ(system(("printf ZT | dd of=" + file_ + " bs=1 seek=" +
			  std::to_string(size - 2) + " conv=notrunc 2>/dev/null").c_str()), 0);
	Backdate(file_);
	ASSERT_EQ(Cmd("block_hash", "ADD " + zt_hashtest::Sha1sum(file_)), 0);
	ASSERT_EQ(Cmd("strict", "1"), 0);
	EXPECT_EQ(RunProg({ file_ }), -EPERM) << "served the digest of the old content";
	ASSERT_EQ(Cmd("strict", "0"), 0);
	ASSERT_EQ(Cmd("block_hash", "CLEAR"), 0);
}

TEST_P(Protect, ListingsLeaveSlabFlat)
{
	const std::string bare = GetParam() + "/bare";
	int fd = open(bare.c_str(), O_CREAT | O_WRONLY, 0644);
	ASSERT_GE(fd, 0);
	close(fd);
	char buf[64];
	for (int i = 0; i < 1000; i++)
		listxattr(bare.c_str(), buf, sizeof(buf));
	const long before = MeminfoKb("Slab");
	for (int i = 0; i < 100000; i++)
		ASSERT_GE(listxattr(bare.c_str(), buf, sizeof(buf)), 0);
	const long after = MeminfoKb("Slab");
	printf("listxattr loop: Slab %ld kB before, %ld kB after 100000 calls\n", before, after);
	EXPECT_LT(after - before, 16 * 1024) << "kB";
	unlink(bare.c_str());
}

INSTANTIATE_TEST_SUITE_P(Dirs, Protect, testing::ValuesIn(Dirs()),
			 [](const testing::TestParamInfo<std::string> &i) {
				 return std::to_string(i.index);
			 });

} // namespace
