// File hashing and the file marks in the guest, through the test-only
// driver zt_hashtest.ko (debugfs zt_hashtest/): digests against sha1sum
// for sizes around page boundaries and up to 64 MiB, both transform paths,
// the size limit, cached-hash marks reused while a file is unchanged and
// ignored once it changed (also by a write racing with the hashing), verdict
// marks against the block-hash store, marks on the real file beneath an
// overlay, and marks that are never written on a read-only mount.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hashtest_client.h"

namespace {

using namespace zt_hashtest;

const std::string kWork = "/tmp/zt_hashing";

// The driver's answer to "hash PATH"; a failure when it does not parse.
Hashed HashOf(const std::string &path)
{
	Hashed h = Hash(path);
	if (!h.ok())
		ADD_FAILURE() << "hash " << path << ": " << h.raw;
	return h;
}

void SetMtime(const std::string &path, time_t sec, long nsec)
{
	struct timespec ts[2] = { { sec, nsec }, { sec, nsec } };
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0) << path;
}

// A mark is trusted only when written strictly after the last change, in
// the file system's coarse clock: let that clock pass a change before the
// hashing whose mark a test expects to be reused.
void Settle()
{
	usleep(30000);
}

// A file of @size pseudo-random bytes, distinct per @seed, last changed
// well in the past.
std::string MakeAt(const std::string &path, size_t size, unsigned seed)
{
	EXPECT_TRUE(MakeFileAt(path, size, seed)) << path;
	return path;
}

std::string MakeFile(const std::string &name, size_t size, unsigned seed)
{
	return MakeAt(kWork + "/" + name, size, seed);
}

class Hashing : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		mkdir(kWork.c_str(), 0755);
	}
	void SetUp() override
	{
		ASSERT_EQ(access((kDir + "run").c_str(), W_OK), 0)
			<< "zt_hashtest.ko not loaded or debugfs not mounted";
		SetMaxsize(33554432);
		SetAhash(0);
		ASSERT_EQ(Fields(Cmd("clear")).at(0), "0");
	}
	static void SetMaxsize(long long v)
	{
		ASSERT_TRUE(zt_hashtest::SetMaxsize(v));
	}
	static void SetAhash(unsigned long v)
	{
		ASSERT_TRUE(SetAhashMinsize(v));
	}
};

TEST_F(Hashing, DigestsMatchSha1sumAroundPageBoundaries)
{
	const size_t sizes[] = { 1, 2, 63, 64, 4095, 4096, 4097, 8191, 8192,
				 8193, 12288, 65537, 1048576 + 3 };
	unsigned seed = 1;
	for (size_t size : sizes) {
		std::string path = MakeFile("p" + std::to_string(size), size, seed++);
		std::string want = Sha1sum(path);
		ASSERT_EQ(want.size(), 40u);
		Hashed h = HashOf(path);
		EXPECT_EQ(h.calc, want) << size;
		EXPECT_EQ(h.get, want) << size;
		EXPECT_EQ(h.from_mark, 0) << size;
		// Both transform paths alone give the same digest.
		EXPECT_EQ(Cmd("shash " + path), "0 " + want) << size;
		EXPECT_EQ(Cmd("ahash " + path), "0 " + want) << size;
		unlink(path.c_str());
	}
}

TEST_F(Hashing, AsyncPathServesFilesFromItsMinimumSize)
{
	SetAhash(4096);
	unsigned seed = 100;
	for (size_t size : { 1, 4095, 4096, 4097, 8193, 300000 }) {
		std::string path = MakeFile("a" + std::to_string(size), size, seed++);
		Hashed h = HashOf(path);
		EXPECT_EQ(h.get, Sha1sum(path)) << size;
		EXPECT_EQ(h.calc, h.get) << size;
		unlink(path.c_str());
	}
}

TEST_F(Hashing, EmptyUnreadableAndMissingFilesHaveNoDigest)
{
	std::string empty = MakeFile("empty", 0, 0);
	auto before = Stats();
	Hashed h = HashOf(empty);
	EXPECT_EQ(h.get, kNone);
	EXPECT_EQ(h.calc, kNone);
	EXPECT_EQ(h.from_mark, 0);
	// Still no mark after the attempt: the next try computes again.
	EXPECT_EQ(HashOf(empty).from_mark, 0);
	EXPECT_EQ(Stats()["num_lost_hash"], before["num_lost_hash"]);

	std::string file = MakeFile("wronly", 100, 7);
	EXPECT_EQ(Cmd("wronly " + file), kNone);

	EXPECT_EQ(Cmd("name " + kWork + "/does-not-exist"), "- 0");
	EXPECT_EQ(Cmd("hash " + kWork + "/does-not-exist"), "ERR 2");

	// A FIFO neither blocks the open nor yields a digest.
	std::string fifo = kWork + "/fifo";
	unlink(fifo.c_str());
	ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
	EXPECT_EQ(Cmd("name " + fifo), "- 0");
	unlink(fifo.c_str());

	EXPECT_EQ(Cmd("name " + file), Sha1sum(file) + " 0");
	EXPECT_EQ(Cmd("name " + file), Sha1sum(file) + " 1");
}

TEST_F(Hashing, SizeLimitCountsLostFiles)
{
	const long long limit = 100000;
	SetMaxsize(limit);
	std::string at = MakeFile("at_limit", limit, 11);
	std::string over = MakeFile("over_limit", limit + 1, 12);

	long long lost = Stats()["num_lost_hash"];
	EXPECT_EQ(HashOf(at).get, Sha1sum(at));
	EXPECT_EQ(Stats()["num_lost_hash"], lost);

	Hashed h = HashOf(over); // get_file_hash and calc_file_hash both refuse
	EXPECT_EQ(h.get, kNone);
	EXPECT_EQ(h.calc, kNone);
	EXPECT_EQ(Stats()["num_lost_hash"], lost + 2);

	// A mark written under a larger limit stays valid.
	SetMaxsize(limit + 1);
	EXPECT_EQ(HashOf(over).get, Sha1sum(over));
	SetMaxsize(limit);
	h = HashOf(over);
	EXPECT_EQ(h.from_mark, 1);
	EXPECT_EQ(h.get, Sha1sum(over));
	unlink(at.c_str());
	unlink(over.c_str());
}

TEST_F(Hashing, SixtyFourMegabytes)
{
	const size_t size = 64u << 20;
	SetMaxsize(size);
	std::string path = MakeFile("big", size, 64);
	std::string want = Sha1sum(path);
	Hashed h = HashOf(path);
	EXPECT_EQ(h.get, want);
	EXPECT_EQ(h.calc, want);
	SetAhash(1);
	EXPECT_EQ(Cmd("ahash " + path), "0 " + want);
	unlink(path.c_str());
}

TEST_F(Hashing, MarkIsReusedUntilTheFileChanges)
{
	std::string path = MakeFile("reuse", 5000, 21);
	std::string first = Sha1sum(path);

	auto s0 = Stats();
	EXPECT_EQ(HashOf(path).from_mark, 0);
	auto s1 = Stats();
	EXPECT_EQ(s1["count_cal_file_hash"], s0["count_cal_file_hash"] + 1);

	Hashed again = HashOf(path);
	EXPECT_EQ(again.from_mark, 1);
	EXPECT_EQ(again.get, first);
	auto s2 = Stats();
	EXPECT_EQ(s2["count_get_file_hash_from_xattr"],
		  s1["count_get_file_hash_from_xattr"] + 1);
	EXPECT_EQ(s2["count_cal_file_hash"], s1["count_cal_file_hash"]);

	// Same size, new content: the modification time moves on.
	int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(pwrite(fd, "changed", 7, 100), 7);
	close(fd);
	Settle();
	Hashed changed = HashOf(path);
	EXPECT_EQ(changed.from_mark, 0);
	EXPECT_EQ(changed.get, Sha1sum(path));
	EXPECT_NE(changed.get, first);
	EXPECT_EQ(HashOf(path).from_mark, 1);

	// A size change alone.
	ASSERT_EQ(truncate(path.c_str(), 4999), 0);
	Settle();
	EXPECT_EQ(HashOf(path).from_mark, 0);
	EXPECT_EQ(HashOf(path).get, Sha1sum(path));

	// Timestamps set back explicitly: the identity no longer matches.
	SetMtime(path, 1000000000, 0);
	EXPECT_EQ(HashOf(path).from_mark, 0);
	EXPECT_EQ(HashOf(path).from_mark, 1);
	unlink(path.c_str());
}

// A mark is only trusted when it was written after the last modification:
// with a modification time in the future it is rewritten on every use.
TEST_F(Hashing, MarkOlderThanTheModificationTimeIsNotTrusted)
{
	std::string path = MakeFile("future", 3000, 31);
	EXPECT_EQ(HashOf(path).from_mark, 0);
	SetMtime(path, time(nullptr) + 100000, 0);
	for (int i = 0; i < 3; i++) {
		Hashed h = HashOf(path);
		EXPECT_EQ(h.from_mark, 0) << i;
		EXPECT_EQ(h.get, Sha1sum(path)) << i;
	}
	unlink(path.c_str());
}

// A write that lands while the file is being hashed: the mark written for
// that hashing must not be trusted afterwards, or it would serve a digest
// of content the file no longer has. The write goes to the first byte,
// which the hashing has already read, after delays that spread it over the
// hashing's run.
TEST_F(Hashing, WriteDuringHashingLeavesNoTrustedMark)
{
	const size_t size = 8u << 20;
	std::string path = MakeFile("race", size, 41);
	int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
	ASSERT_GE(fd, 0);
	int trusted = 0;
	for (int delay_ms : { 5, 20, 50, 100, 200, 400, 800 }) {
		char b = (char)delay_ms;
		ASSERT_EQ(pwrite(fd, &b, 1, 1), 1);
		Settle();
		std::thread hasher([&] { HashOf(path); });
		usleep(delay_ms * 1000);
		ASSERT_EQ(pwrite(fd, &b, 1, 0), 1);
		hasher.join();
		Hashed h = HashOf(path);
		EXPECT_EQ(h.get, Sha1sum(path))
			<< "delay " << delay_ms << " ms, from_mark " << h.from_mark;
		trusted += h.from_mark;
	}
	close(fd);
	printf("hashing: %d of 7 rounds served from a mark\n", trusted);
	unlink(path.c_str());
}

TEST_F(Hashing, VerdictMarksFollowTheStore)
{
	std::string a = MakeFile("va", 2000, 51);
	std::string b = MakeFile("vb", 2000, 52);
	const std::string da = Sha1sum(a);

	// Empty store: no hashing at all.
	auto s0 = Stats();
	EXPECT_EQ(Cmd("verdict " + a), "0 - 0");
	EXPECT_EQ(Stats()["count_cal_file_hash"], s0["count_cal_file_hash"]);

	ASSERT_EQ(Cmd("add " + da), "0 1");
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 0");
	EXPECT_EQ(Cmd("verdict " + b), "0 " + Sha1sum(b) + " 0");

	// Unchanged file and store: both answers come from the marks.
	long long from_mark = Stats()["count_exist_block_hash_from_xattr"];
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 1");
	EXPECT_EQ(Cmd("verdict " + b), "0 " + Sha1sum(b) + " 1");
	EXPECT_EQ(Stats()["count_exist_block_hash_from_xattr"], from_mark + 2);

	// Any store change outdates every verdict mark once.
	ASSERT_EQ(Cmd("add 00112233445566778899aabbccddeeff00112233"), "0 2");
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 1");
	EXPECT_EQ(Stats()["count_exist_block_hash_from_xattr"], from_mark + 2);
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 1");
	EXPECT_EQ(Stats()["count_exist_block_hash_from_xattr"], from_mark + 3);

	ASSERT_EQ(Cmd("del " + da), "0 1");
	EXPECT_EQ(Cmd("verdict " + a), "0 " + da + " 1");
	EXPECT_EQ(Cmd("verdict " + a), "0 " + da + " 1");
	EXPECT_EQ(Stats()["count_exist_block_hash_from_xattr"], from_mark + 4);
	unlink(a.c_str());
	unlink(b.c_str());
}

TEST_F(Hashing, ReadOnlyMountGetsNoMarks)
{
	const std::string ro = kWork + "/ro";
	mkdir(ro.c_str(), 0755);
	ASSERT_EQ(mount("tmpfs", ro.c_str(), "tmpfs", 0, "size=1m"), 0)
		<< strerror(errno);
	std::string path = ro + "/file";
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(write(fd, "read-only\n", 10), 10);
	close(fd);
	ASSERT_EQ(mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_RDONLY,
			nullptr), 0) << strerror(errno);

	for (int i = 0; i < 2; i++) {
		Hashed h = HashOf(path);
		EXPECT_EQ(h.from_mark, 0) << i;
		EXPECT_EQ(h.get, Sha1sum(path)) << i;
	}
	EXPECT_EQ(umount(ro.c_str()), 0);
}

// On an overlay the marks go to the real file underneath: the lower file
// while it is only read, the upper one after a copy-up, which copies the
// lower file's mark along but not its identity.
TEST_F(Hashing, StackedFileMarksLiveOnTheRealFile)
{
	const std::string top = kWork + "/ovl";
	mkdir(top.c_str(), 0755);
	ASSERT_EQ(mount("tmpfs", top.c_str(), "tmpfs", 0, "size=4m"), 0)
		<< strerror(errno);
	for (const char *d : { "/l", "/u", "/w", "/m" })
		mkdir((top + d).c_str(), 0755);
	const std::string lower = MakeAt(top + "/l/file", 10000, 61);
	const std::string merged = top + "/m/file", upper = top + "/u/file";
	const std::string opts = "lowerdir=" + top + "/l,upperdir=" + top +
				 "/u,workdir=" + top + "/w";
	if (mount("overlay", (top + "/m").c_str(), "overlay", 0, opts.c_str())) {
		int err = errno;
		umount(top.c_str());
		GTEST_SKIP() << "no overlay file system: " << strerror(err);
	}
	const std::string old_digest = Sha1sum(lower);

	EXPECT_EQ(HashOf(merged).from_mark, 0);
	Hashed h = HashOf(merged);
	EXPECT_EQ(h.from_mark, 1);
	EXPECT_EQ(h.get, old_digest);
	EXPECT_EQ(HashOf(lower).from_mark, 1);

	int fd = open(merged.c_str(), O_WRONLY | O_CLOEXEC);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(pwrite(fd, "up", 2, 0), 2);
	close(fd);
	Settle();
	h = HashOf(merged);
	EXPECT_EQ(h.from_mark, 0);
	EXPECT_EQ(h.get, Sha1sum(merged));
	EXPECT_NE(h.get, old_digest);
	EXPECT_EQ(HashOf(merged).from_mark, 1);
	EXPECT_EQ(HashOf(upper).from_mark, 1);
	h = HashOf(lower);
	EXPECT_EQ(h.from_mark, 1);
	EXPECT_EQ(h.get, old_digest);

	EXPECT_EQ(umount((top + "/m").c_str()), 0);
	EXPECT_EQ(umount(top.c_str()), 0);
}

} // namespace
