// /proc/zentrope/block_hash_bin and block_hash_text in the guest: the
// binary digest feed, both read-backs, readers that resume across calls
// while the store changes, and concurrent feeding, reading and clearing.
//
// Besides the tests, `hash_feed_test --feed N [SALT]` only loads N distinct
// digests into the store (in writes of 131060 bytes) and prints how long it
// took; the suite uses it to fill the store before it times the unload.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/membarrier.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ctl.h"

namespace {

using zt::Cmd;
using zt::DebugCount;
using zt::Slurp;

const std::string kBin = zt::kProcDir + "block_hash_bin";
const std::string kText = zt::kProcDir + "block_hash_text";

constexpr size_t kRec = 20;		// one binary record
constexpr size_t kLine = 41;		// one text line
constexpr size_t kMaxWrite = 131060;	// the most whole records below 128 KiB

using Digest = std::array<unsigned char, kRec>;

// Distinct for distinct (n, salt); the first four bytes spread the
// digests over the buckets, the rest make them look like digests.
Digest Make(uint32_t n, uint32_t salt)
{
	Digest d{};
	uint64_t x = (uint64_t)salt << 32 | n;
	for (size_t i = 0; i < kRec; i++) {
		x += 0x9e3779b97f4a7c15ull;
		uint64_t z = x;
		z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
		z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
		d[i] = (unsigned char)(z ^ (z >> 31));
	}
	memcpy(d.data(), &n, 4);
	d[4] = (unsigned char)salt;
	d[5] = (unsigned char)(salt >> 8);
	return d;
}

std::vector<Digest> Batch(uint32_t count, uint32_t salt)
{
	std::vector<Digest> v(count);
	for (uint32_t i = 0; i < count; i++)
		v[i] = Make(i, salt);
	return v;
}

std::string Bytes(const std::vector<Digest> &v)
{
	std::string s;
	s.reserve(v.size() * kRec);
	for (const Digest &d : v)
		s.append(reinterpret_cast<const char *>(d.data()), kRec);
	return s;
}

std::string Hex(const Digest &d)
{
	static const char *const digits = "0123456789abcdef";
	std::string s;
	for (unsigned char c : d) {
		s += digits[c >> 4];
		s += digits[c & 15];
	}
	return s;
}

std::string Lines(const std::vector<Digest> &v)
{
	std::string s;
	s.reserve(v.size() * kLine);
	for (const Digest &d : v)
		s += Hex(d) + "\n";
	return s;
}

// Writes @data to the open feed in write() calls whose sizes cycle through
// @sizes. Returns "" or what went wrong.
std::string FeedFd(int fd, const std::string &data, const std::vector<size_t> &sizes)
{
	size_t off = 0, k = 0;
	while (off < data.size()) {
		size_t len = std::min(sizes[k++ % sizes.size()], data.size() - off);
		ssize_t n = write(fd, data.data() + off, len);
		if (n != (ssize_t)len)
			return "write of " + std::to_string(len) + " bytes at " +
			       std::to_string(off) + " returned " + std::to_string(n) +
			       (n < 0 ? std::string(" (") + strerror(errno) + ")" : "");
		off += len;
	}
	return "";
}

std::string Feed(const std::string &data, const std::vector<size_t> &sizes = { kMaxWrite })
{
	int fd = open(kBin.c_str(), O_WRONLY | O_CLOEXEC);
	if (fd < 0)
		return std::string("open: ") + strerror(errno);
	std::string err = FeedFd(fd, data, sizes);
	close(fd);
	return err;
}

// Waits until the store's deferred frees of removed entries have run: two
// grace periods (membarrier's global command waits for one) and a pause
// for the callbacks.
void WaitForFrees()
{
	for (int i = 0; i < 2; i++)
		syscall(__NR_membarrier, MEMBARRIER_CMD_GLOBAL, 0, 0);
	usleep(200 * 1000);
}

class HashFeed : public testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(0, Cmd("block_hash", "CLEAR")); }
	void TearDown() override { EXPECT_EQ(0, Cmd("block_hash", "CLEAR")); }
};

TEST(HashFeedFiles, Modes)
{
	struct {
		const std::string &path;
		mode_t mode;
	} files[] = { { kText, 0440 }, { kBin, 0660 } };
	for (const auto &f : files) {
		struct stat st;
		ASSERT_EQ(0, stat(f.path.c_str(), &st)) << f.path << ": " << strerror(errno);
		EXPECT_TRUE(S_ISREG(st.st_mode)) << f.path;
		EXPECT_EQ(f.mode, st.st_mode & 07777) << f.path;
	}
}

// The text file has no write side: even where root may open it for
// writing, a write of whole records fails and stores nothing.
TEST_F(HashFeed, TextFileTakesNoWrites)
{
	const std::string rec = Bytes({ Make(1, 12) });
	ssize_t n = zt::WriteCall(kText, rec.data(), rec.size());
	EXPECT_LT(n, 0);
	EXPECT_EQ("", Slurp(kBin));
	EXPECT_EQ(0, DebugCount("num_block_hash"));
}

TEST_F(HashFeed, EmptyStoreReadsNothing)
{
	EXPECT_EQ("", Slurp(kBin));
	EXPECT_EQ("", Slurp(kText));
	EXPECT_EQ(0, DebugCount("num_block_hash"));
}

struct WriteCase {
	const char *name;
	size_t bytes;
	ssize_t ret;	// what the single write() returns, -errno on failure
	size_t stored;
};

const WriteCase kWriteCases[] = {
	{ "one_record", 20, 20, 1 },
	{ "two_records", 40, 40, 2 },
	{ "two_and_a_part", 45, 40, 2 },
	{ "almost_three", 59, 40, 2 },
	{ "short_of_one", 19, -EINVAL, 0 },
	{ "one_byte", 1, -EINVAL, 0 },
	{ "largest_below_128k", kMaxWrite, (ssize_t)kMaxWrite, kMaxWrite / 20 },
	{ "thirty_thousand", 600000, 600000, 30000 },
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const WriteCase &c, std::ostream *os)
{
	*os << c.name;
}

class HashFeedWrite : public HashFeed, public testing::WithParamInterface<WriteCase> {};

TEST_P(HashFeedWrite, OneCall)
{
	const WriteCase &c = GetParam();
	const std::string data = Bytes(Batch((c.bytes + kRec - 1) / kRec, 1)).substr(0, c.bytes);
	EXPECT_EQ(c.ret, zt::WriteCall(kBin, data.data(), data.size()));
	EXPECT_EQ((long)c.stored, DebugCount("num_block_hash"));
	EXPECT_EQ(data.substr(0, c.stored * kRec), Slurp(kBin));
}

INSTANTIATE_TEST_SUITE_P(Sizes, HashFeedWrite, testing::ValuesIn(kWriteCases),
			 [](const auto &info) { return std::string(info.param.name); });

// The part of a record that a write did not take is refused on its own,
// and refusing it loses nothing that was stored.
TEST_F(HashFeed, RemainderOfShortWriteIsRefused)
{
	const std::string data = Bytes(Batch(3, 2)).substr(0, 45);
	int fd = open(kBin.c_str(), O_WRONLY);
	ASSERT_GE(fd, 0) << strerror(errno);
	ssize_t n = write(fd, data.data(), data.size());
	ASSERT_EQ(40, n);
	errno = 0;
	EXPECT_EQ(-1, write(fd, data.data() + n, data.size() - n));
	EXPECT_EQ(EINVAL, errno);
	close(fd);
	EXPECT_EQ(data.substr(0, 40), Slurp(kBin));
}

TEST_F(HashFeed, DuplicatesAbsorbed)
{
	const std::string a = Bytes({ Make(7, 3) });
	for (const std::string &w : { a, a, a + a })
		EXPECT_EQ((ssize_t)w.size(), zt::WriteCall(kBin, w.data(), w.size()));
	EXPECT_EQ(1, DebugCount("num_block_hash"));
	EXPECT_EQ(a, Slurp(kBin));
}

TEST_F(HashFeed, InsertionOrderInBothFiles)
{
	const std::vector<Digest> abc = { Make(1, 4), Make(2, 4), Make(3, 4) };
	for (const Digest &d : abc)
		ASSERT_EQ("", Feed(Bytes({ d })));
	// Adding B again does not move it.
	ASSERT_EQ("", Feed(Bytes({ abc[1] })));
	const std::string bin = Slurp(kBin), text = Slurp(kText);
	EXPECT_EQ(60u, bin.size());
	EXPECT_EQ(Bytes(abc), bin);
	EXPECT_EQ(3 * kLine, text.size());
	EXPECT_EQ(Lines(abc), text);
}

TEST_F(HashFeed, TwentyBytesPerReadCall)
{
	const std::vector<Digest> v = Batch(5, 5);
	ASSERT_EQ("", Feed(Bytes(v)));
	int fd = open(kBin.c_str(), O_RDONLY);
	ASSERT_GE(fd, 0);
	char buf[kRec];
	for (const Digest &d : v) {
		ASSERT_EQ((ssize_t)kRec, read(fd, buf, sizeof(buf)));
		EXPECT_EQ(0, memcmp(buf, d.data(), kRec));
	}
	EXPECT_EQ(0, read(fd, buf, sizeof(buf)));
	EXPECT_EQ(0, read(fd, buf, sizeof(buf)));
	close(fd);
}

// The text command entry and the binary feed fill one store.
TEST_F(HashFeed, TextCommandsShareTheStore)
{
	const Digest a = Make(1, 6), b = Make(2, 6);
	std::string upper = Hex(a);
	std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
	ASSERT_EQ(0, Cmd("block_hash", "ADD " + upper));
	ASSERT_EQ("", Feed(Bytes({ b })));
	EXPECT_EQ(Lines({ a, b }), Slurp(kText));
	EXPECT_EQ(Bytes({ a, b }), Slurp(kBin));
	ASSERT_EQ(0, Cmd("block_hash", "DEL " + Hex(b)));
	EXPECT_EQ(Bytes({ a }), Slurp(kBin));
}

TEST_F(HashFeed, ClearEmptiesBothFiles)
{
	ASSERT_EQ("", Feed(Bytes(Batch(10000, 7))));
	ASSERT_EQ(0, Cmd("block_hash", "CLEAR"));
	EXPECT_EQ("", Slurp(kBin));
	EXPECT_EQ("", Slurp(kText));
	EXPECT_EQ(0, DebugCount("num_block_hash"));
	// The store takes digests again afterwards, the cleared ones too.
	const std::vector<Digest> again = Batch(3, 7);
	ASSERT_EQ("", Feed(Bytes(again)));
	EXPECT_EQ(Bytes(again), Slurp(kBin));
}

// ---- a large store, written and read in many sizes ----

class HashFeedLarge : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		ASSERT_EQ(0, Cmd("block_hash", "CLEAR"));
		digests_ = new std::vector<Digest>(Batch(100000, 8));
		bin_ = new std::string(Bytes(*digests_));
		text_ = new std::string(Lines(*digests_));
		// Sizes from one record to just under 128 KiB, all whole records.
		ASSERT_EQ("", Feed(*bin_, { 20, 4000, 65520, kMaxWrite, 60, 20000 }));
	}
	static void TearDownTestSuite()
	{
		EXPECT_EQ(0, Cmd("block_hash", "CLEAR"));
		delete digests_;
		delete bin_;
		delete text_;
	}
	static std::vector<Digest> *digests_;
	static std::string *bin_, *text_;
};

std::vector<Digest> *HashFeedLarge::digests_;
std::string *HashFeedLarge::bin_, *HashFeedLarge::text_;

// Index of the first differing byte, for a readable failure.
std::string FirstDifference(const std::string &want, const std::string &got)
{
	if (want == got)
		return "";
	size_t i = 0;
	while (i < want.size() && i < got.size() && want[i] == got[i])
		i++;
	return "sizes " + std::to_string(want.size()) + " vs " + std::to_string(got.size()) +
	       ", first difference at byte " + std::to_string(i);
}

TEST_F(HashFeedLarge, CountIsExact)
{
	EXPECT_EQ(100000, DebugCount("num_block_hash"));
}

class HashFeedLargeRead : public HashFeedLarge,
			  public testing::WithParamInterface<std::pair<bool, size_t>> {};

TEST_P(HashFeedLargeRead, ReadBackIdentical)
{
	const auto [text, chunk] = GetParam();
	const std::string got = Slurp(text ? kText : kBin, chunk);
	EXPECT_EQ("", FirstDifference(text ? *text_ : *bin_, got));
}

INSTANTIATE_TEST_SUITE_P(
	Chunks, HashFeedLargeRead,
	testing::Values(std::make_pair(false, size_t(1) << 20), std::make_pair(false, size_t(131072)),
			std::make_pair(false, size_t(4096)), std::make_pair(false, size_t(20 * 7 + 3)),
			std::make_pair(true, size_t(1) << 20), std::make_pair(true, size_t(4096)),
			std::make_pair(true, size_t(41 * 7 + 3)), std::make_pair(true, size_t(41))),
	[](const auto &info) {
		return std::string(info.param.first ? "text_" : "bin_") +
		       std::to_string(info.param.second);
	});

// Seeking back to the start reads everything again.
TEST_F(HashFeedLarge, RewindReadsAgain)
{
	int fd = open(kText.c_str(), O_RDONLY);
	ASSERT_GE(fd, 0);
	std::string first, second;
	ASSERT_EQ(0, zt::ReadFd(fd, &first, 65536));
	ASSERT_EQ(0, lseek(fd, 0, SEEK_SET));
	ASSERT_EQ(0, zt::ReadFd(fd, &second, 100000));
	close(fd);
	EXPECT_EQ("", FirstDifference(*text_, first));
	EXPECT_EQ("", FirstDifference(*text_, second));
}

// ---- a reader that resumes after the store changed under it ----

int HexDigit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -1;	// upper case is not what the file prints either
}

// The 20 digest bytes of one 41-byte text line, false when it is not
// 40 lowercase hex digits and a newline.
bool LineKey(const char *line, std::string *key)
{
	key->clear();
	if (line[40] != '\n')
		return false;
	for (size_t i = 0; i < 40; i += 2) {
		int hi = HexDigit(line[i]), lo = HexDigit(line[i + 1]);
		if (hi < 0 || lo < 0)
			return false;
		*key += (char)(hi << 4 | lo);
	}
	return true;
}

// Each digest a reader may return, with its place in insertion order.
class Known {
public:
	void Add(const std::vector<Digest> &v)
	{
		for (const Digest &d : v)
			rank_.emplace(std::string(reinterpret_cast<const char *>(d.data()), kRec),
				      rank_.size());
	}
	// Splits @out into records and checks that each is known and that
	// their ranks rise strictly. "" when they do.
	std::string Check(const std::string &out, bool text) const
	{
		const size_t rs = text ? kLine : kRec;
		if (out.size() % rs)
			return "output of " + std::to_string(out.size()) +
			       " bytes is not whole records";
		long last = -1;
		for (size_t off = 0; off < out.size(); off += rs) {
			std::string key;
			if (text) {
				if (!LineKey(out.data() + off, &key))
					return "line at " + std::to_string(off) +
					       " is not 40 hex digits and a newline";
			} else {
				key = out.substr(off, kRec);
			}
			auto it = rank_.find(key);
			if (it == rank_.end())
				return "record " + std::to_string(off / rs) +
				       " was never written (garbage)";
			if ((long)it->second <= last)
				return "record " + std::to_string(off / rs) + " (rank " +
				       std::to_string(it->second) + ") after rank " +
				       std::to_string(last) + ": order broken or repeated";
			last = (long)it->second;
		}
		return "";
	}

private:
	std::unordered_map<std::string, size_t> rank_;
};

enum class Change { DelCursor, DelRun, Clear };

struct ResumeCase {
	const char *name;
	bool text;
	size_t first;	// records read before the change
	size_t step;	// records per read call before the change
	Change change;
	bool refill;	// add new digests after the change, reusing freed memory
};

const ResumeCase kResumeCases[] = {
	{ "bin_del_cursor", false, 3, 1, Change::DelCursor, false },
	{ "bin_del_cursor_refill", false, 3, 1, Change::DelCursor, true },
	{ "bin_del_run", false, 100, 7, Change::DelRun, false },
	{ "bin_clear", false, 3, 1, Change::Clear, false },
	{ "bin_clear_refill", false, 3, 3, Change::Clear, true },
	{ "bin_past_buffer_clear", false, 7000, 7000, Change::Clear, false },
	{ "bin_past_buffer_del", false, 7000, 1000, Change::DelCursor, true },
	{ "text_del_cursor", true, 5, 1, Change::DelCursor, false },
	{ "text_del_run_refill", true, 50, 10, Change::DelRun, true },
	{ "text_clear", true, 5, 2, Change::Clear, false },
	{ "text_clear_refill", true, 4000, 4000, Change::Clear, true },
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const ResumeCase &c, std::ostream *os)
{
	*os << c.name;
}

class HashFeedResume : public HashFeed, public testing::WithParamInterface<ResumeCase> {};

TEST_P(HashFeedResume, NoGarbageAfterChange)
{
	const ResumeCase &c = GetParam();
	const size_t rs = c.text ? kLine : kRec;
	const std::vector<Digest> before = Batch(20000, 9), after = Batch(20000, 10);
	Known known;
	known.Add(before);
	known.Add(after);
	ASSERT_EQ("", Feed(Bytes(before)));

	int fd = open((c.text ? kText : kBin).c_str(), O_RDONLY);
	ASSERT_GE(fd, 0) << strerror(errno);
	std::string out;
	std::vector<char> buf(c.step * rs);
	while (out.size() < c.first * rs) {
		size_t want = std::min(buf.size(), c.first * rs - out.size());
		ssize_t n = read(fd, buf.data(), want);
		ASSERT_GT(n, 0) << strerror(errno);
		out.append(buf.data(), n);
	}
	const std::string head = out;
	EXPECT_EQ(c.text ? Lines(before).substr(0, head.size())
			 : Bytes(before).substr(0, head.size()),
		  head);

	// The reader's cursor rests on the last record it was given.
	const size_t last = c.first - 1;
	switch (c.change) {
	case Change::DelCursor:
		ASSERT_EQ(0, Cmd("block_hash", "DEL " + Hex(before[last])));
		break;
	case Change::DelRun: {
		std::string cmd = "DEL";
		for (size_t i = last - std::min<size_t>(last, 5); i < last + 20; i++)
			cmd += " " + Hex(before[i]);
		ASSERT_EQ(0, Cmd("block_hash", cmd));
		break;
	}
	case Change::Clear:
		ASSERT_EQ(0, Cmd("block_hash", "CLEAR"));
		break;
	}
	WaitForFrees();
	if (c.refill) {
		ASSERT_EQ("", Feed(Bytes(after)));
	}

	std::string rest;
	ASSERT_EQ(0, zt::ReadFd(fd, &rest, 4096)) << strerror(errno);
	close(fd);
	EXPECT_EQ("", known.Check(head + rest, c.text));
	// What is still stored reads back whole from a fresh open.
	std::string now = Slurp(c.text ? kText : kBin);
	EXPECT_EQ("", known.Check(now, c.text));
	EXPECT_EQ((long)(now.size() / rs), DebugCount("num_block_hash"));
}

INSTANTIATE_TEST_SUITE_P(Changes, HashFeedResume, testing::ValuesIn(kResumeCases),
			 [](const auto &info) { return std::string(info.param.name); });

// ---- readers, a feeder and a clearer at once ----

TEST_F(HashFeed, ConcurrentReadersFeederAndClearer)
{
	const std::vector<Digest> universe = Batch(30000, 11);
	const std::string data = Bytes(universe);
	std::unordered_map<std::string, size_t> index;
	for (size_t i = 0; i < universe.size(); i++)
		index.emplace(data.substr(i * kRec, kRec), i);

	std::atomic<bool> done{ false };
	std::atomic<long> reads{ 0 }, records_seen{ 0 };
	std::mutex mu;
	std::vector<std::string> problems;
	auto problem = [&](const std::string &p) {
		std::lock_guard<std::mutex> g(mu);
		if (problems.size() < 10)
			problems.push_back(p);
	};

	std::thread feeder([&] {
		for (int round = 0; round < 6; round++) {
			std::string err = Feed(data, { kMaxWrite, 4000, 20 * 333 });
			if (!err.empty())
				problem("feeder: " + err);
		}
		done = true;
	});
	std::thread clearer([&] {
		std::mt19937 rng(12);
		while (!done) {
			usleep(20000 + rng() % 30000);
			int err = rng() % 4 ? Cmd("block_hash", "CLEAR")
					    : Cmd("block_hash",
						  "DEL " + Hex(universe[rng() % universe.size()]) +
							  " " + Hex(universe[rng() % universe.size()]));
			if (err)
				problem(std::string("clearer: ") + strerror(err));
		}
	});
	std::vector<std::thread> readers;
	for (int r = 0; r < 3; r++) {
		readers.emplace_back([&, r] {
			const bool text = r == 1;
			const size_t chunks[] = { 1 << 20, 4096, 20 * 7 + 3, 41 * 5 + 1 };
			std::mt19937 rng(100 + r);
			while (!done) {
				std::string out;
				int err = zt::ReadAll(text ? kText : kBin, &out,
						      chunks[rng() % 4]);
				if (err) {
					problem(std::string("reader: ") + strerror(err));
					continue;
				}
				const size_t rs = text ? kLine : kRec;
				if (out.size() % rs) {
					problem("reader: " + std::to_string(out.size()) +
						" bytes is not whole records");
					continue;
				}
				for (size_t off = 0; off < out.size(); off += rs) {
					std::string key;
					if (text && !LineKey(out.data() + off, &key)) {
						problem("reader: malformed line at " +
							std::to_string(off / rs));
						break;
					}
					if (!text)
						key = out.substr(off, kRec);
					if (!index.count(key)) {
						problem("reader: garbage record at " +
							std::to_string(off / rs));
						break;
					}
				}
				reads++;
				records_seen += out.size() / rs;
			}
		});
	}
	feeder.join();
	clearer.join();
	for (std::thread &t : readers)
		t.join();
	std::string all;
	for (const std::string &p : problems)
		all += p + "\n";
	EXPECT_TRUE(problems.empty()) << all;
	EXPECT_GT(reads.load(), 0);
	printf("concurrent: %ld full reads, %ld records seen\n", reads.load(),
	       records_seen.load());

	// At rest the store reads back as a set without repeats.
	const std::string now = Slurp(kBin);
	std::unordered_map<std::string, int> seen;
	for (size_t off = 0; off < now.size(); off += kRec)
		EXPECT_EQ(1, ++seen[now.substr(off, kRec)]) << "repeated at " << off / kRec;
	EXPECT_EQ((long)(now.size() / kRec), DebugCount("num_block_hash"));
	ASSERT_EQ(0, Cmd("block_hash", "CLEAR"));
	EXPECT_EQ("", Slurp(kText));
}

// Loads @count digests with salt @salt; prints the time taken.
int FeedOnly(uint32_t count, uint32_t salt)
{
	std::string data;
	data.reserve((size_t)count * kRec);
	for (uint32_t i = 0; i < count; i++) {
		Digest d = Make(i, salt);
		data.append(reinterpret_cast<const char *>(d.data()), kRec);
	}
	struct timespec t0, t1;
	clock_gettime(CLOCK_MONOTONIC, &t0);
	std::string err = Feed(data);
	clock_gettime(CLOCK_MONOTONIC, &t1);
	if (!err.empty()) {
		fprintf(stderr, "hash_feed_test --feed: %s\n", err.c_str());
		return 1;
	}
	printf("hash_feed_test --feed: %u digests in %.3f s\n", count,
	       (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc >= 3 && !strcmp(argv[1], "--feed"))
		return FeedOnly((uint32_t)strtoul(argv[2], nullptr, 10),
				argc >= 4 ? (uint32_t)strtoul(argv[3], nullptr, 10) : 1000);
	testing::InitGoogleTest(&argc, argv);
	return RUN_ALL_TESTS();
}
