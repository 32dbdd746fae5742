// File marks on ext4, through the test-only driver zt_hashtest.ko: digests
// against sha1sum, the two marks as the file system stores them, their reuse
// across a remount, when they must be ignored (file changed, store changed,
// mark copied from elsewhere), and read-only mounts or a full attribute
// block that leave no room for a mark.
//
// The file systems under test are the mount points in ZT_EXT4_DIRS (space
// separated), each mounted from a block device; the tests unmount and mount
// them again (same device, same type) and remount them read-only. The
// driver does not hide the marks from user space, so the tests read and
// write them with the ordinary attribute calls.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <cstdlib>
#include <functional>

#include "hashtest_client.h"

namespace {

using namespace zt_hashtest;

const char kHashMark[] = "security.zentrope_xattr";
const char kExistMark[] = "security.zentrope_exist";
constexpr size_t kHashMarkSize = 144;
constexpr size_t kExistMarkSize = 80;
const std::string kOtherDigest = "00112233445566778899aabbccddeeff00112233";

std::vector<std::string> MountDirs()
{
	const char *env = getenv("ZT_EXT4_DIRS");
	return Fields(env ? env : "");
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

// A cached-hash mark as stored, unmasked and checked by an implementation
// of its layout independent of the module's: the digest it carries and
// the file it claims to describe.
struct HashMark {
	bool crc_ok = false;
	uint32_t digest_len = 0;
	std::string digest_hex;
	uint32_t dev = 0;
	uint64_t ino = 0, size = 0;
	int64_t mtime_sec = 0;
	uint32_t mtime_nsec = 0;
};

uint32_t Le32(const uint8_t *p)
{
	return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

uint64_t Le64(const uint8_t *p)
{
	return Le32(p) | (uint64_t)Le32(p + 4) << 32;
}

// Reflected CRC-32 (polynomial 0xedb88320) from all ones, not inverted.
uint32_t Crc32NoFinal(const uint8_t *p, size_t n)
{
	uint32_t crc = ~0u;
	for (size_t i = 0; i < n; i++) {
		crc ^= p[i];
		for (int b = 0; b < 8; b++)
			crc = crc >> 1 ^ (0xedb88320u & -(crc & 1));
	}
	return crc;
}

HashMark DecodeHashMark(std::vector<uint8_t> rec, uint64_t ino, uint64_t size)
{
	HashMark m;
	if (rec.size() != kHashMarkSize)
		return m;
	uint32_t key = (uint32_t)(ino << 16 | (size & 0xffff));
	if (!(key & 0xff)) {
		for (int s = 8; s < 32; s += 8) {
			if ((key >> s) & 0xff) {
				key |= (key >> s) & 0xff;
				break;
			}
		}
	}
	for (size_t o = 0; o + 4 <= rec.size(); o += 4)
		for (int i = 0; i < 4; i++)
			rec[o + i] ^= (uint8_t)(key >> (8 * (3 - i))) ^ (uint8_t)o;
	uint32_t stored = Le32(&rec[136]);
	memset(&rec[136], 0, 4);
	m.crc_ok = Crc32NoFinal(rec.data(), rec.size()) == stored;
	m.digest_len = Le32(&rec[28]);
	char hex[3];
	for (uint32_t i = 0; i < std::min<uint32_t>(m.digest_len, 64); i++) {
		snprintf(hex, sizeof(hex), "%02x", rec[32 + i]);
		m.digest_hex += hex;
	}
	m.dev = Le32(&rec[96]);
	m.ino = Le64(&rec[104]);
	m.size = Le64(&rec[112]);
	m.mtime_sec = (int64_t)Le64(&rec[120]);
	m.mtime_nsec = Le32(&rec[128]);
	return m;
}

// The device number as the kernel keeps it in the super block.
uint32_t KernelDev(dev_t d)
{
	return major(d) << 20 | minor(d);
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

void Remount(const std::string &dir)
{
	std::string dev = MountSource(dir);
	ASSERT_FALSE(dev.empty()) << dir << " is not mounted";
	ASSERT_EQ(umount(dir.c_str()), 0) << dir << ": " << strerror(errno);
	ASSERT_EQ(mount(dev.c_str(), dir.c_str(), "ext4", 0, nullptr), 0)
		<< dev << " on " << dir << ": " << strerror(errno);
}

class Ext4Marks : public testing::TestWithParam<std::string> {
protected:
	void SetUp() override
	{
		ASSERT_EQ(access((kDir + "run").c_str(), W_OK), 0)
			<< "zt_hashtest.ko not loaded or debugfs not mounted";
		ASSERT_TRUE(SetMaxsize(33554432));
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

	std::string File(const std::string &name, size_t size, unsigned seed)
	{
		std::string path = work_ + "/" + name;
		EXPECT_TRUE(MakeFileAt(path, size, seed)) << path;
		return path;
	}

	std::string work_;
	useconds_t settle_us_ = 30000;
};

TEST_P(Ext4Marks, DigestsMatchSha1sumAndMarksDescribeTheFile)
{
	const size_t sizes[] = { 0, 1, 4095, 4096, 4097, (3u << 20) + 5 };
	unsigned seed = 1;
	for (size_t size : sizes) {
		SCOPED_TRACE("size " + std::to_string(size));
		std::string path = File("d" + std::to_string(size), size, seed++);
		const struct timespec mtime = Stat(path).st_mtim;
		Hashed h = Hash(path);
		ASSERT_TRUE(h.ok()) << h.raw;
		EXPECT_EQ(h.from_mark, 0);
		if (size == 0) {
			// No digest and nothing to remember.
			EXPECT_EQ(h.get, kNone);
			EXPECT_EQ(h.calc, kNone);
			EXPECT_EQ(MarkErrno(path, kHashMark), ENODATA);
			EXPECT_EQ(Hash(path).from_mark, 0);
			continue;
		}
		const std::string want = Sha1sum(path);
		ASSERT_EQ(want.size(), 40u);
		EXPECT_EQ(h.get, want);
		EXPECT_EQ(h.calc, want);

		struct stat st = Stat(path);
		std::vector<uint8_t> rec = GetMark(path, kHashMark);
		ASSERT_EQ(rec.size(), kHashMarkSize);
		HashMark m = DecodeHashMark(rec, st.st_ino, st.st_size);
		EXPECT_TRUE(m.crc_ok);
		EXPECT_EQ(m.digest_len, 20u);
		EXPECT_EQ(m.digest_hex, want);
		EXPECT_EQ(m.dev, KernelDev(st.st_dev));
		EXPECT_EQ(m.ino, (uint64_t)st.st_ino);
		EXPECT_EQ(m.size, (uint64_t)st.st_size);
		EXPECT_EQ(m.mtime_sec, (int64_t)st.st_mtim.tv_sec);
		EXPECT_EQ(m.mtime_nsec, (uint32_t)st.st_mtim.tv_nsec);
		// Writing the mark is no modification of the file.
		EXPECT_EQ(st.st_mtim.tv_sec, mtime.tv_sec);
		EXPECT_EQ(st.st_mtim.tv_nsec, mtime.tv_nsec);

		auto s0 = Stats();
		Hashed again = Hash(path);
		EXPECT_EQ(again.from_mark, 1);
		EXPECT_EQ(again.get, want);
		auto s1 = Stats();
		EXPECT_EQ(s1["count_get_file_hash_from_xattr"],
			  s0["count_get_file_hash_from_xattr"] + 1);
		EXPECT_EQ(s1["count_cal_file_hash"], s0["count_cal_file_hash"]);
	}
}

// The marks are on disk: after the file system was unmounted and mounted
// again (inodes read back from the device) they are still trusted.
TEST_P(Ext4Marks, MarksOutliveARemount)
{
	std::string path = File("persist", 70000, 11);
	const std::string want = Sha1sum(path);
	ASSERT_EQ(Cmd("add " + kOtherDigest), "0 1");
	EXPECT_EQ(Cmd("verdict " + path), "0 " + want + " 0");
	ASSERT_EQ(GetMark(path, kExistMark).size(), kExistMarkSize);

	Remount(GetParam());
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
// past the change (never, while the modification time is in the future).
TEST_P(Ext4Marks, MarkIgnoredAfterTheFileChanges)
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
		EXPECT_EQ(Hash(path).from_mark, 0);
		EXPECT_EQ(Hash(path).from_mark, 1);
		c.apply(path);
		Settle();
		const std::string want = Sha1sum(path);
		Hashed h = Hash(path);
		EXPECT_EQ(h.from_mark, 0);
		EXPECT_EQ(h.get, want);
		h = Hash(path);
		EXPECT_EQ(h.from_mark, c.trusted_after ? 1 : 0);
		EXPECT_EQ(h.get, want);
		unlink(path.c_str());
	}
}

// The verdict mark holds for one state of the digest store: any change of
// the store makes the next judgement look the digest up again, and that
// lookup's answer is what counts, not the remembered one.
TEST_P(Ext4Marks, VerdictMarkIgnoredAfterTheStoreChanges)
{
	std::string path = File("verdict", 5000, 31);
	const std::string d = Sha1sum(path);
	ASSERT_EQ(Cmd("add " + kOtherDigest), "0 1");
	EXPECT_EQ(Cmd("verdict " + path), "0 " + d + " 0");
	EXPECT_EQ(GetMark(path, kHashMark).size(), kHashMarkSize);
	EXPECT_EQ(GetMark(path, kExistMark).size(), kExistMarkSize);

	auto from_verdict_mark = [] { return Stats()["count_exist_block_hash_from_xattr"]; };
	long long n = from_verdict_mark();
	EXPECT_EQ(Cmd("verdict " + path), "0 " + d + " 1");
	EXPECT_EQ(from_verdict_mark(), n + 1);

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
TEST_P(Ext4Marks, MarkCopiedToAnotherFileIsNotTrusted)
{
	std::string a = File("orig", 8192, 41);
	std::string b = File("copy", 8192, 42);
	SetMtime(b, Stat(a).st_mtim);
	const std::string da = Sha1sum(a), db = Sha1sum(b);
	ASSERT_NE(da, db);
	ASSERT_EQ(Cmd("add " + da), "0 1");
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 0");
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 1");

	for (const char *name : { kHashMark, kExistMark }) {
		std::vector<uint8_t> rec = GetMark(a, name);
		ASSERT_FALSE(rec.empty()) << name;
		ASSERT_EQ(setxattr(b.c_str(), name, rec.data(), rec.size(), 0), 0)
			<< name << ": " << strerror(errno);
	}
	Hashed h = Hash(b);
	EXPECT_EQ(h.from_mark, 0);
	EXPECT_EQ(h.get, db);
	EXPECT_EQ(Cmd("verdict " + b), "0 " + db + " 1");
	h = Hash(a);
	EXPECT_EQ(h.from_mark, 1);
	EXPECT_EQ(h.get, da);
	EXPECT_EQ(Cmd("verdict " + a), "1 " + da + " 1");
}

// The file's own mark from before a change, put back after it: the
// identity no longer matches.
TEST_P(Ext4Marks, OldMarkPutBackAfterAChangeIsNotTrusted)
{
	std::string path = File("replay", 6000, 51);
	EXPECT_EQ(Hash(path).from_mark, 0);
	std::vector<uint8_t> old = GetMark(path, kHashMark);
	ASSERT_EQ(old.size(), kHashMarkSize);
	int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(pwrite(fd, "new", 3, 0), 3);
	close(fd);
	Settle();
	ASSERT_EQ(setxattr(path.c_str(), kHashMark, old.data(), old.size(), 0), 0);
	Hashed h = Hash(path);
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
TEST_P(Ext4Marks, DISABLED_ContentChangeThatKeepsTheRecordedIdentity)
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
		Hashed h = Hash(path);
		EXPECT_EQ(h.get, before);
		EXPECT_EQ(h.from_mark, 0);
		c.apply(path, fd, map);
		const std::string after = Sha1sum(path);
		ASSERT_NE(after, before);
		h = Hash(path);
		EXPECT_EQ(h.get, after) << "from_mark " << h.from_mark;
		munmap(map, 8192);
		close(fd);
		h = Hash(path);
		EXPECT_EQ(h.get, after) << "after close, from_mark " << h.from_mark;
		unlink(path.c_str());
	}
}

// Read-only, either the whole file system or only the mount the file is
// opened through: files are still hashed, without error and without a
// mark; marks written before are still used.
TEST_P(Ext4Marks, ReadOnlyMountsHashWithoutWritingMarks)
{
	const std::string dir = GetParam();
	const std::string bind = "/tmp/zt_ext4_ro_bind";
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
			Hashed h = Hash(ro_plain);
			EXPECT_EQ(h.from_mark, 0) << i;
			EXPECT_EQ(h.get, dp) << i;
			EXPECT_EQ(h.calc, dp) << i;
			EXPECT_EQ(Cmd("verdict " + ro_plain), "0 " + dp + " 0") << i;
		}
		EXPECT_EQ(MarkErrno(ro_plain, kHashMark), ENODATA);
		EXPECT_EQ(MarkErrno(ro_plain, kExistMark), ENODATA);
		EXPECT_EQ(Cmd("verdict " + ro_marked), "0 " + dm + " 1");
		m.leave();

		EXPECT_EQ(Hash(plain).from_mark, 0);
		EXPECT_EQ(Hash(plain).from_mark, 1);
		unlink(marked.c_str());
		unlink(plain.c_str());
	}
	rmdir(bind.c_str());
}

// No room left for a mark (the attribute space of the inode and its block
// filled with other attributes): the digest is still right, each time.
TEST_P(Ext4Marks, NoRoomForAMark)
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
		Hashed h = Hash(path);
		EXPECT_EQ(h.from_mark, 0) << i;
		EXPECT_EQ(h.get, want) << i;
	}
	EXPECT_EQ(MarkErrno(path, kHashMark), ENODATA);
}

INSTANTIATE_TEST_SUITE_P(Mounts, Ext4Marks, testing::ValuesIn(MountDirs()),
			 [](const testing::TestParamInfo<std::string> &p) {
				 std::string n = p.param.substr(p.param.rfind('/') + 1);
				 for (char &c : n)
					 if (!isalnum((unsigned char)c))
						 c = '_';
				 return n;
			 });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Ext4Marks);

// Same inode number, size and modification time on two file systems: only
// the device in the mark tells the files apart.
TEST(Ext4MarksAcrossDevices, MarkCopiedToTheSameInodeElsewhereIsNotTrusted)
{
	auto dirs = MountDirs();
	ASSERT_GE(dirs.size(), 2u) << "ZT_EXT4_DIRS names fewer than two file systems";
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
	std::vector<uint8_t> rec = GetMark(a, kHashMark);
	ASSERT_EQ(rec.size(), kHashMarkSize);
	ASSERT_EQ(setxattr(b.c_str(), kHashMark, rec.data(), rec.size(), 0), 0)
		<< strerror(errno);
	Hashed h = Hash(b);
	EXPECT_EQ(h.from_mark, 0);
	EXPECT_EQ(h.get, db);
	EXPECT_EQ(Hash(a).from_mark, 1);
	unlink(a.c_str());
	unlink(b.c_str());
}

} // namespace
