// File hashing and the file marks in the guest, through the test-only
// driver zt_hashtest.ko (debugfs zt_hashtest/), on every file system under
// test: digests against sha1sum for sizes around page boundaries, both
// transform paths, the size limit, the marks as stored (decoded by the
// module's own codec), reused while a file is unchanged and ignored once it
// changed (also by a write racing with the hashing), once the store changed
// or when copied from another file, marks on the real file beneath an
// overlay, and none written on a read-only mount.
//
// The file systems under test are the mount points in ZT_HASH_DIRS (space
// separated): a tmpfs in the hashing suite, two ext4 layouts in
// hashing_ext4. The tests remount them read-only, and ext4 ones also
// unmount and mount again (same device). The driver does not hide the
// marks from user space, so the tests read and write them with the
// ordinary attribute calls.
#include <gtest/gtest.h>

#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "hashtest_client.h"

// Last: its kernel-style shim defines macros (min, max, ...).
extern "C" {
#include "mark_codec.h"
}

namespace {

using namespace zt_hashtest;

const std::string kOtherDigest = "00112233445566778899aabbccddeeff00112233";

std::vector<std::string> Dirs()
{
	const char *env = getenv("ZT_HASH_DIRS");
	return Fields(env ? env : "");
}

long FsType(const std::string &dir)
{
	struct statfs s = {};
	return statfs(dir.c_str(), &s) ? 0 : (long)s.f_type;
}

std::vector<std::string> DirsOf(long type)
{
	std::vector<std::string> out;
	for (const std::string &d : Dirs())
		if (FsType(d) == type)
			out.push_back(d);
	return out;
}

// A misnamed or missing ZT_HASH_DIRS would leave every case below without
// an instance, and the suite green.
TEST(HashingDirs, EachIsAFileSystemUnderTest)
{
	ASSERT_FALSE(Dirs().empty()) << "ZT_HASH_DIRS names no directory";
	for (const std::string &d : Dirs()) {
		long t = FsType(d);
		EXPECT_TRUE(t == TMPFS_MAGIC || t == EXT4_SUPER_MAGIC)
			<< d << ": file system type 0x" << std::hex << t;
	}
}

// The value of attribute @name of @path; empty with @err set on failure.
std::vector<uint8_t> GetMark(const std::string &path, const char *name,
			     int *err = nullptr)
{
	std::vector<uint8_t> v(4096);
	ssize_t n = getxattr(path.c_str(), name, v.data(), v.size());
	if (err)
		*err = n < 0 ? errno : 0;
	v.resize(n < 0 ? 0 : n);
	return v;
}

int MarkErrno(const std::string &path, const char *name)
{
	int err = 0;
	GetMark(path, name, &err);
	return err;
}

struct stat Stat(const std::string &path)
{
	struct stat st = {};
	EXPECT_EQ(stat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
	return st;
}

void SetMtime(const std::string &path, struct timespec t)
{
	struct timespec ts[2] = { t, t };
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0) << path;
}

// The file @st as the module identifies it in a mark.
zt_file_id FileId(const struct stat &st)
{
	zt_file_id id = {};
	// The device number as the kernel keeps it in the super block.
	id.dev = major(st.st_dev) << 20 | minor(st.st_dev);
	id.ino = st.st_ino;
	id.size = st.st_size;
	id.mtime_sec = st.st_mtim.tv_sec;
	id.mtime_nsec = st.st_mtim.tv_nsec;
	return id;
}

// The digest in cached-hash mark @rec, in hex, when the mark is intact and
// describes the file @st; "" otherwise.
std::string MarkDigest(std::vector<uint8_t> rec, const struct stat &st)
{
	zt_file_id id = FileId(st);
	if (zt_mark_open(rec.data(), ZT_HASH_MARK_SIZE, rec.size(), &id) !=
	    ZT_HASH_MARK_SIZE)
		return "";
	zt_hash_info info;
	zt_hash_mark_decode(rec.data(), &info);
	std::string hex;
	char b[3];
	for (uint32_t i = 0; i < std::min<uint32_t>(info.digest_len, ZT_MARK_DIGEST_MAX); i++) {
		snprintf(b, sizeof(b), "%02x", info.digest[i]);
		hex += b;
	}
	return hex;
}

std::string MountSource(const std::string &dir)
{
	FILE *f = fopen("/proc/self/mounts", "r");
	if (!f)
		return "";
	char src[512], mnt[512], rest[1024];
	std::string found;
	while (fscanf(f, "%511s %511s %1023[^\n]", src, mnt, rest) == 3)
		if (dir == mnt)
			found = src;
	fclose(f);
	return found;
}

class Hashing : public testing::TestWithParam<std::string> {
protected:
	void SetUp() override
	{
		ASSERT_EQ(access((kDir + "run").c_str(), W_OK), 0)
			<< "zt_hashtest.ko not loaded or debugfs not mounted";
		ASSERT_TRUE(SetMaxsize(33554432));
		ASSERT_TRUE(SetAhashMinsize(0));
		ASSERT_EQ(Fields(Cmd("clear")).at(0), "0");
		work_ = GetParam() + "/work";
		mkdir(work_.c_str(), 0755);
		settle_us_ = CoarseSeconds() ? 1100000 : 30000;
	}
	void TearDown() override
	{
		system(("rm -rf '" + work_ + "'").c_str());
	}

	// Whether the file system keeps whole seconds only (128-byte inodes).
	bool CoarseSeconds()
	{
		std::string probe = work_ + "/.probe";
		bool coarse = true;
		for (int i = 0; i < 4 && coarse; i++) {
			EXPECT_TRUE(MakeFileAt(probe, 1, i, 0));
			coarse = Stat(probe).st_mtim.tv_nsec == 0;
			usleep(3000);
		}
		unlink(probe.c_str());
		return coarse;
	}

	// A mark is trusted only when written strictly after the file's last
	// change in the file system's own clock: let that clock pass a change.
	void Settle() { usleep(settle_us_); }

	// A file of @size pseudo-random bytes, distinct per @seed, last
	// changed well in the past.
	std::string File(const std::string &name, size_t size, unsigned seed)
	{
		std::string path = work_ + "/" + name;
		EXPECT_TRUE(MakeFileAt(path, size, seed)) << path;
		return path;
	}

	// The driver's answer to "hash PATH"; a failure when it does not parse.
	static Hashed HashOf(const std::string &path)
	{
		Hashed h = Hash(path);
		if (!h.ok())
			ADD_FAILURE() << "hash " << path << ": " << h.raw;
		return h;
	}

	std::string work_;
	useconds_t settle_us_ = 30000;
};

// Cases that only one kind of file system can run, instantiated on those
// directories only.
class OnTmpfs : public Hashing {};
class OnExt4 : public Hashing {};

TEST_P(Hashing, DigestsMatchSha1sumAndMarksDescribeTheFile)
{
	const size_t sizes[] = { 1, 2, 63, 64, 4095, 4096, 4097, 8191, 8192,
				 8193, 12288, 65537, 1048576 + 3, (3u << 20) + 5 };
	unsigned seed = 1;
	for (size_t size : sizes) {
		SCOPED_TRACE("size " + std::to_string(size));
		std::string path = File("d" + std::to_string(size), size, seed++);
		const struct timespec mtime = Stat(path).st_mtim;
		const std::string want = Sha1sum(path);
		ASSERT_EQ(want.size(), 40u);

		auto s0 = Stats();
		Hashed h = HashOf(path);
		EXPECT_EQ(h.from_mark, 0);
		EXPECT_EQ(h.get, want);
		EXPECT_EQ(h.calc, want);
		EXPECT_EQ(Stats()["count_cal_file_hash"], s0["count_cal_file_hash"] + 1);

		struct stat st = Stat(path);
		std::vector<uint8_t> rec = GetMark(path, ZT_XATTR_HASH_NAME);
		ASSERT_EQ(rec.size(), (size_t)ZT_HASH_MARK_SIZE);
		EXPECT_EQ(MarkDigest(rec, st), want);
		// Writing the mark is no modification of the file.
		EXPECT_EQ(st.st_mtim.tv_sec, mtime.tv_sec);
		EXPECT_EQ(st.st_mtim.tv_nsec, mtime.tv_nsec);

		auto s1 = Stats();
		Hashed again = HashOf(path);
		EXPECT_EQ(again.from_mark, 1);
		EXPECT_EQ(again.get, want);
		auto s2 = Stats();
		EXPECT_EQ(s2["count_get_file_hash_from_xattr"],
			  s1["count_get_file_hash_from_xattr"] + 1);
		EXPECT_EQ(s2["count_cal_file_hash"], s1["count_cal_file_hash"]);

		// Both transform paths alone give the same digest.
		EXPECT_EQ(Cmd("shash " + path), "0 " + want);
		EXPECT_EQ(Cmd("ahash " + path), "0 " + want);
		unlink(path.c_str());
	}
}

TEST_P(Hashing, AsyncPathServesFilesFromItsMinimumSize)
{
	ASSERT_TRUE(SetAhashMinsize(4096));
	unsigned seed = 100;
	for (size_t size : { 1, 4095, 4096, 4097, 8193, 300000 }) {
		std::string path = File("a" + std::to_string(size), size, seed++);
		Hashed h = HashOf(path);
		EXPECT_EQ(h.get, Sha1sum(path)) << size;
		EXPECT_EQ(h.calc, h.get) << size;
		unlink(path.c_str());
	}
}

TEST_P(Hashing, EmptyUnreadableAndMissingFilesHaveNoDigest)
{
	std::string empty = File("empty", 0, 0);
	auto before = Stats();
	Hashed h = HashOf(empty);
	EXPECT_EQ(h.get, kNone);
	EXPECT_EQ(h.calc, kNone);
	EXPECT_EQ(h.from_mark, 0);
	// No mark after the attempt: the next try computes again.
	EXPECT_EQ(MarkErrno(empty, ZT_XATTR_HASH_NAME), ENODATA);
	EXPECT_EQ(HashOf(empty).from_mark, 0);
	EXPECT_EQ(Stats()["num_lost_hash"], before["num_lost_hash"]);

	std::string file = File("wronly", 100, 7);
	EXPECT_EQ(Cmd("wronly " + file), kNone);

	EXPECT_EQ(Cmd("name " + work_ + "/does-not-exist"), "- 0");
	EXPECT_EQ(Cmd("hash " + work_ + "/does-not-exist"), "ERR 2");

	// A FIFO neither blocks the open nor yields a digest.
	std::string fifo = work_ + "/fifo";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
	EXPECT_EQ(Cmd("name " + fifo), "- 0");

	EXPECT_EQ(Cmd("name " + file), Sha1sum(file) + " 0");
	EXPECT_EQ(Cmd("name " + file), Sha1sum(file) + " 1");
}

TEST_P(Hashing, SizeLimitCountsLostFiles)
{
	const long long limit = 100000;
	ASSERT_TRUE(SetMaxsize(limit));
	std::string at = File("at_limit", limit, 11);
	std::string over = File("over_limit", limit + 1, 12);

	long long lost = Stats()["num_lost_hash"];
	EXPECT_EQ(HashOf(at).get, Sha1sum(at));
	EXPECT_EQ(Stats()["num_lost_hash"], lost);

	Hashed h = HashOf(over); // get_file_hash and calc_file_hash both refuse
	EXPECT_EQ(h.get, kNone);
	EXPECT_EQ(h.calc, kNone);
	EXPECT_EQ(Stats()["num_lost_hash"], lost + 2);

	// A mark written under a larger limit stays valid.
	ASSERT_TRUE(SetMaxsize(limit + 1));
	EXPECT_EQ(HashOf(over).get, Sha1sum(over));
	ASSERT_TRUE(SetMaxsize(limit));
	h = HashOf(over);
	EXPECT_EQ(h.from_mark, 1);
	EXPECT_EQ(h.get, Sha1sum(over));
}

// The ext4 images hold 32 MiB only.
TEST_P(OnTmpfs, SixtyFourMegabytes)
{
	const size_t size = 64u << 20;
	ASSERT_TRUE(SetMaxsize(size));
	std::string path = File("big", size, 64);
	std::string want = Sha1sum(path);
	Hashed h = HashOf(path);
	EXPECT_EQ(h.get, want);
	EXPECT_EQ(h.calc, want);
	ASSERT_TRUE(SetAhashMinsize(1));
	EXPECT_EQ(Cmd("ahash " + path), "0 " + want);
	unlink(path.c_str());
}

// The marks are on disk: after the file system was unmounted and mounted
// again (inodes read back from the device) they are still trusted. A tmpfs
// keeps nothing across that.
TEST_P(OnExt4, MarksOutliveARemount)
{
	std::string path = File("persist", 70000, 11);
	const std::string want = Sha1sum(path);
	ASSERT_EQ(Cmd("add " + kOtherDigest), "0 1");
	EXPECT_EQ(Cmd("verdict " + path), "0 " + want + " 0");
	ASSERT_EQ(GetMark(path, ZT_XATTR_EXIST_NAME).size(), (size_t)ZT_EXIST_MARK_SIZE);

	const std::string dir = GetParam(), dev = MountSource(dir);
	ASSERT_FALSE(dev.empty()) << dir << " is not mounted";
	ASSERT_EQ(umount(dir.c_str()), 0) << dir << ": " << strerror(errno);
	ASSERT_EQ(mount(dev.c_str(), dir.c_str(), "ext4", 0, nullptr), 0)
		<< dev << " on " << dir << ": " << strerror(errno);
	auto s0 = Stats();
	EXPECT_EQ(Cmd("verdict " + path), "0 " + want + " 1");
	auto s1 = Stats();
	EXPECT_EQ(s1["count_cal_file_hash"], s0["count_cal_file_hash"]);
	EXPECT_EQ(s1["count_exist_block_hash_from_xattr"],
		  s0["count_exist_block_hash_from_xattr"] + 1);
}

// Every change of the file that the identity in the mark (size, time of
// last modification) can see makes the mark untrusted; the fresh mark
// written then is trusted again once the file system's clock has moved
// past the change (never, while the modification time is in the future:
// then it is rewritten on every use).
TEST_P(Hashing, MarkIgnoredAfterTheFileChanges)
{
	struct Change {
		const char *what;
		std::function<void(const std::string &)> apply;
		bool trusted_after;
	};
	const Change changes[] = {
		{ "same-size content rewrite",
		  [](const std::string &p) {
			  int fd = open(p.c_str(), O_WRONLY | O_CLOEXEC);
			  ASSERT_GE(fd, 0);
			  ASSERT_EQ(pwrite(fd, "changed", 7, 5000), 7);
			  close(fd);
		  },
		  true },
		{ "shrunk by one byte",
		  [](const std::string &p) { ASSERT_EQ(truncate(p.c_str(), 9999), 0); },
		  true },
		{ "extended by appending",
		  [](const std::string &p) {
			  int fd = open(p.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
			  ASSERT_GE(fd, 0);
			  ASSERT_EQ(write(fd, "tail", 4), 4);
			  close(fd);
		  },
		  true },
		{ "touched to a later time in the past",
		  [](const std::string &p) { SetMtime(p, { time(nullptr) - 500, 0 }); },
		  true },
		{ "touched to an earlier time",
		  [](const std::string &p) { SetMtime(p, { 1000000000, 0 }); },
		  true },
		{ "touched to now",
		  [](const std::string &p) { SetMtime(p, { 0, UTIME_NOW }); },
		  true },
		{ "touched to the future",
		  [](const std::string &p) { SetMtime(p, { time(nullptr) + 100000, 0 }); },
		  false },
	};
	unsigned seed = 20;
	for (const Change &c : changes) {
		SCOPED_TRACE(c.what);
		std::string path = File("change", 10000, seed++);
		EXPECT_EQ(HashOf(path).from_mark, 0);
		EXPECT_EQ(HashOf(path).from_mark, 1);
		c.apply(path);
		Settle();
		const std::string want = Sha1sum(path);
		Hashed h = HashOf(path);
		EXPECT_EQ(h.from_mark, 0);
		EXPECT_EQ(h.get, want);
		for (int i = 0; i < 2; i++) {
			h = HashOf(path);
			EXPECT_EQ(h.from_mark, c.trusted_after ? 1 : 0) << i;
			EXPECT_EQ(h.get, want) << i;
		}
		unlink(path.c_str());
	}
}

// A write that lands while the file is being hashed: the mark written for
// that hashing must not be trusted afterwards, or it would serve a digest
// of content the file no longer has. The write goes to the first byte,
// which the hashing has already read, after delays that spread it over the
// hashing's run.
TEST_P(Hashing, WriteDuringHashingLeavesNoTrustedMark)
{
	const size_t size = 8u << 20;
	std::string path = File("race", size, 41);
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
}

// The verdict mark holds for one state of the digest store: any change of
// the store makes the next judgement look the digest up again, and that
// lookup's answer is what counts, not the remembered one.
TEST_P(Hashing, VerdictMarkIgnoredAfterTheStoreChanges)
{
	std::string path = File("verdict", 5000, 31);
	std::string other = File("unlisted", 2000, 32);
	const std::string d = Sha1sum(path), od = Sha1sum(other);

	// Empty store: no hashing at all.
	auto s0 = Stats();
	EXPECT_EQ(Cmd("verdict " + path), "0 - 0");
	EXPECT_EQ(Stats()["count_cal_file_hash"], s0["count_cal_file_hash"]);

	ASSERT_EQ(Cmd("add " + kOtherDigest), "0 1");
	EXPECT_EQ(Cmd("verdict " + path), "0 " + d + " 0");
	EXPECT_EQ(Cmd("verdict " + other), "0 " + od + " 0");
	EXPECT_EQ(GetMark(path, ZT_XATTR_HASH_NAME).size(), (size_t)ZT_HASH_MARK_SIZE);
	EXPECT_EQ(GetMark(path, ZT_XATTR_EXIST_NAME).size(), (size_t)ZT_EXIST_MARK_SIZE);

	// Unchanged files and store: both answers come from the marks.
	auto from_verdict_mark = [] { return Stats()["count_exist_block_hash_from_xattr"]; };
	long long n = from_verdict_mark();
	EXPECT_EQ(Cmd("verdict " + path), "0 " + d + " 1");
	EXPECT_EQ(Cmd("verdict " + other), "0 " + od + " 1");
	EXPECT_EQ(from_verdict_mark(), n + 2);

	struct Step {
		std::string cmd, answer, verdict;
	};
	// The store never goes empty: with no digest at all nothing is judged.
	const Step steps[] = {
		{ "add " + d, "0 2", "1" },
		{ "del " + d, "0 1", "0" },
		{ "add " + d, "0 2", "1" },
		{ "del " + kOtherDigest, "0 1", "1" },
	};
	for (const Step &s : steps) {
		SCOPED_TRACE(s.cmd);
		ASSERT_EQ(Cmd(s.cmd), s.answer);
		n = from_verdict_mark();
		// The digest still comes from its mark; the verdict is new.
		EXPECT_EQ(Cmd("verdict " + path), s.verdict + " " + d + " 1");
		EXPECT_EQ(from_verdict_mark(), n);
		EXPECT_EQ(Cmd("verdict " + path), s.verdict + " " + d + " 1");
		EXPECT_EQ(from_verdict_mark(), n + 1);
	}
}

// Marks copied by hand onto another file describe the file they came from
// and must not be trusted there; the original keeps its own. On the same
// file system the copy gets the same size and modification time, so only
// the inode number tells them apart.
TEST_P(Hashing, MarkCopiedToAnotherFileIsNotTrusted)
{
	std::string a = File("orig", 8192, 41);
	std::string b = File("copy", 8192, 42);
	SetMtime(b, Stat(a).st_mtim);
	const std::string da = Sha1sum(a), db = Sha1sum(b);
	ASSERT_NE(da, db);
	ASSERT_EQ(Cmd("add " + da), "0 1");
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 0");
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 1");

	for (const char *name : { ZT_XATTR_HASH_NAME, ZT_XATTR_EXIST_NAME }) {
		std::vector<uint8_t> rec = GetMark(a, name);
		ASSERT_FALSE(rec.empty()) << name;
		ASSERT_EQ(setxattr(b.c_str(), name, rec.data(), rec.size(), 0), 0)
			<< name << ": " << strerror(errno);
	}
	Hashed h = HashOf(b);
	EXPECT_EQ(h.from_mark, 0);
	EXPECT_EQ(h.get, db);
	EXPECT_EQ(Cmd("verdict " + b), "0 " + db + " 1");
	h = HashOf(a);
	EXPECT_EQ(h.from_mark, 1);
	EXPECT_EQ(h.get, da);
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 1");
}

// The file's own mark from before a change, put back after it: the
// identity no longer matches.
TEST_P(Hashing, OldMarkPutBackAfterAChangeIsNotTrusted)
{
	std::string path = File("replay", 6000, 51);
	EXPECT_EQ(HashOf(path).from_mark, 0);
	std::vector<uint8_t> old = GetMark(path, ZT_XATTR_HASH_NAME);
	ASSERT_EQ(old.size(), (size_t)ZT_HASH_MARK_SIZE);
	int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(pwrite(fd, "new", 3, 0), 3);
	close(fd);
	Settle();
	ASSERT_EQ(setxattr(path.c_str(), ZT_XATTR_HASH_NAME, old.data(), old.size(), 0), 0);
	Hashed h = HashOf(path);
	EXPECT_EQ(h.from_mark, 0);
	EXPECT_EQ(h.get, Sha1sum(path));
}

// Changes of the content that leave size and modification time as the
// mark recorded them. A writer can do this without any privilege: the
// owner may set the modification time back (touch -r, tar -x and rsync -t
// do it as a matter of course), and stores through a shared writable
// mapping update the time only at the first write fault, not at later
// stores to the same, still writable, page. A mark trusted afterwards
// hands out the digest of content the file no longer has.
//
// Known fault, reported: both changes are served the old digest from the
// mark on 6.1 and 6.12. Disabled until the module handles them; the suite
// runs it when the guest's kernel command line has zt_known_faults=1.
TEST_P(Hashing, DISABLED_ContentChangeThatKeepsTheRecordedIdentity)
{
	struct Change {
		const char *what;
		// Called after the first write (at @fd) and the hashing that
		// wrote the mark.
		std::function<void(const std::string &, int, char *)> apply;
	};
	const Change changes[] = {
		{ "same-size rewrite with the modification time put back",
		  [](const std::string &p, int fd, char *) {
			  struct timespec old = Stat(p).st_mtim;
			  ASSERT_EQ(pwrite(fd, "evil", 4, 100), 4);
			  SetMtime(p, old);
		  } },
		{ "store through a shared writable mapping",
		  [](const std::string &, int, char *map) { memcpy(map + 100, "evil", 4); } },
	};
	for (const Change &c : changes) {
		SCOPED_TRACE(c.what);
		std::string path = File("keep", 8192, 91);
		int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
		ASSERT_GE(fd, 0);
		char *map = (char *)mmap(nullptr, 8192, PROT_READ | PROT_WRITE,
					 MAP_SHARED, fd, 0);
		ASSERT_NE(map, MAP_FAILED);
		map[0] ^= 1; // the write fault that moves the modification time
		Settle();
		const std::string before = Sha1sum(path);
		Hashed h = HashOf(path);
		EXPECT_EQ(h.get, before);
		EXPECT_EQ(h.from_mark, 0);
		c.apply(path, fd, map);
		const std::string after = Sha1sum(path);
		ASSERT_NE(after, before);
		h = HashOf(path);
		EXPECT_EQ(h.get, after) << "from_mark " << h.from_mark;
		munmap(map, 8192);
		close(fd);
		h = HashOf(path);
		EXPECT_EQ(h.get, after) << "after close, from_mark " << h.from_mark;
		unlink(path.c_str());
	}
}

// Read-only, either the whole file system or only the mount the file is
// opened through: files are still hashed, without error and without a
// mark; marks written before are still used.
TEST_P(Hashing, ReadOnlyMountsHashWithoutWritingMarks)
{
	const std::string dir = GetParam();
	const std::string bind = "/tmp/zt_hashing_ro_bind";
	mkdir(bind.c_str(), 0755);
	struct Mode {
		const char *what;
		std::function<std::string()> enter; // the work directory to use
		std::function<void()> leave;
	};
	const Mode modes[] = {
		{ "file system remounted read-only",
		  [&] {
			  EXPECT_EQ(mount(nullptr, dir.c_str(), nullptr,
					  MS_REMOUNT | MS_RDONLY, nullptr), 0)
				  << strerror(errno);
			  return work_;
		  },
		  [&] {
			  EXPECT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT,
					  nullptr), 0)
				  << strerror(errno);
		  } },
		{ "read-only bind mount",
		  [&] {
			  EXPECT_EQ(mount(dir.c_str(), bind.c_str(), nullptr, MS_BIND,
					  nullptr), 0)
				  << strerror(errno);
			  EXPECT_EQ(mount(nullptr, bind.c_str(), nullptr,
					  MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
				  << strerror(errno);
			  return bind + "/work";
		  },
		  [&] { EXPECT_EQ(umount(bind.c_str()), 0) << strerror(errno); } },
	};
	ASSERT_EQ(Cmd("add " + kOtherDigest), "0 1");
	unsigned seed = 60;
	for (const Mode &m : modes) {
		SCOPED_TRACE(m.what);
		std::string marked = File("marked", 12000, seed++);
		std::string plain = File("plain", 12000, seed++);
		const std::string dm = Sha1sum(marked), dp = Sha1sum(plain);
		EXPECT_EQ(Cmd("verdict " + marked), "0 " + dm + " 0");

		std::string w = m.enter();
		std::string ro_marked = w + "/marked", ro_plain = w + "/plain";
		EXPECT_EQ(access(ro_plain.c_str(), W_OK), -1);
		EXPECT_EQ(errno, EROFS);
		for (int i = 0; i < 2; i++) {
			Hashed h = HashOf(ro_plain);
			EXPECT_EQ(h.from_mark, 0) << i;
			EXPECT_EQ(h.get, dp) << i;
			EXPECT_EQ(h.calc, dp) << i;
			EXPECT_EQ(Cmd("verdict " + ro_plain), "0 " + dp + " 0") << i;
		}
		EXPECT_EQ(MarkErrno(ro_plain, ZT_XATTR_HASH_NAME), ENODATA);
		EXPECT_EQ(MarkErrno(ro_plain, ZT_XATTR_EXIST_NAME), ENODATA);
		EXPECT_EQ(Cmd("verdict " + ro_marked), "0 " + dm + " 1");
		m.leave();

		EXPECT_EQ(HashOf(plain).from_mark, 0);
		EXPECT_EQ(HashOf(plain).from_mark, 1);
		unlink(marked.c_str());
		unlink(plain.c_str());
	}
	rmdir(bind.c_str());
}

// On an overlay the marks go to the real file underneath: the lower file
// while it is only read, the upper one after a copy-up, which copies the
// lower file's mark along but not its identity.
TEST_P(Hashing, StackedFileMarksLiveOnTheRealFile)
{
	const std::string top = work_ + "/ovl";
	mkdir(top.c_str(), 0755);
	for (const char *d : { "/l", "/u", "/w", "/m" })
		mkdir((top + d).c_str(), 0755);
	const std::string lower = top + "/l/file";
	ASSERT_TRUE(MakeFileAt(lower, 10000, 61));
	const std::string merged = top + "/m/file", upper = top + "/u/file";
	const std::string opts = "lowerdir=" + top + "/l,upperdir=" + top +
				 "/u,workdir=" + top + "/w";
	if (mount("overlay", (top + "/m").c_str(), "overlay", 0, opts.c_str()))
		GTEST_SKIP() << "no overlay file system: " << strerror(errno);
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
}

// No room left for a mark (the attribute space of the inode and its block
// filled with other attributes): the digest is still right, each time. A
// tmpfs has no such bound (and before 6.6 no user attributes).
TEST_P(OnExt4, NoRoomForAMark)
{
	std::string path = File("full", 20000, 71);
	const std::string want = Sha1sum(path);
	std::string value(2048, 'v');
	int n = 0;
	for (size_t len : { 2048, 512, 128, 32, 8, 1 }) {
		while (setxattr(path.c_str(), ("user.f" + std::to_string(n)).c_str(),
				value.data(), len, XATTR_CREATE) == 0)
			n++;
		ASSERT_EQ(errno, ENOSPC) << len;
	}
	ASSERT_GT(n, 0);
	for (int i = 0; i < 2; i++) {
		Hashed h = HashOf(path);
		EXPECT_EQ(h.from_mark, 0) << i;
		EXPECT_EQ(h.get, want) << i;
	}
	EXPECT_EQ(MarkErrno(path, ZT_XATTR_HASH_NAME), ENODATA);
}

std::string DirName(const testing::TestParamInfo<std::string> &p)
{
	std::string n = p.param.substr(p.param.rfind('/') + 1);
	for (char &c : n)
		if (!isalnum((unsigned char)c))
			c = '_';
	return n;
}

INSTANTIATE_TEST_SUITE_P(Fs, Hashing, testing::ValuesIn(Dirs()), DirName);
INSTANTIATE_TEST_SUITE_P(Fs, OnTmpfs, testing::ValuesIn(DirsOf(TMPFS_MAGIC)), DirName);
INSTANTIATE_TEST_SUITE_P(Fs, OnExt4, testing::ValuesIn(DirsOf(EXT4_SUPER_MAGIC)), DirName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Hashing);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(OnTmpfs);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(OnExt4);

// Same inode number, size and modification time on two file systems: only
// the device in the mark tells the files apart. Needs two ext4 file
// systems under test (hashing_ext4).
TEST(HashingAcrossDevices, MarkCopiedToTheSameInodeElsewhereIsNotTrusted)
{
	auto dirs = DirsOf(EXT4_SUPER_MAGIC);
	if (dirs.empty())
		GTEST_SKIP() << "no ext4 file system under test";
	ASSERT_GE(dirs.size(), 2u) << "ZT_HASH_DIRS names fewer than two ext4 file systems";
	ASSERT_EQ(Fields(Cmd("clear")).at(0), "0");
	std::string b = dirs[1] + "/twin";
	ASSERT_TRUE(MakeFileAt(b, 4000, 81));
	const ino_t ino = Stat(b).st_ino;
	// Inode numbers are handed out in order: create files on the first
	// file system until one gets the same number.
	std::string a;
	std::vector<std::string> spare;
	for (int i = 0; i < 200 && a.empty(); i++) {
		std::string p = dirs[0] + "/twin" + std::to_string(i);
		ASSERT_TRUE(MakeFileAt(p, 4000, 82));
		if (Stat(p).st_ino == ino)
			a = p;
		else
			spare.push_back(p);
	}
	for (const std::string &p : spare)
		unlink(p.c_str());
	if (a.empty()) {
		unlink(b.c_str());
		GTEST_SKIP() << "no file with inode " << ino << " on " << dirs[0];
	}
	SetMtime(b, Stat(a).st_mtim);
	const std::string da = Sha1sum(a), db = Sha1sum(b);
	ASSERT_NE(da, db);
	EXPECT_EQ(Hash(a).from_mark, 0);
	std::vector<uint8_t> rec = GetMark(a, ZT_XATTR_HASH_NAME);
	ASSERT_EQ(rec.size(), (size_t)ZT_HASH_MARK_SIZE);
	ASSERT_EQ(setxattr(b.c_str(), ZT_XATTR_HASH_NAME, rec.data(), rec.size(), 0), 0)
		<< strerror(errno);
	Hashed h = Hash(b);
	EXPECT_EQ(h.from_mark, 0);
	EXPECT_EQ(h.get, db);
	EXPECT_EQ(Hash(a).from_mark, 1);
	unlink(a.c_str());
	unlink(b.c_str());
}

} // namespace
