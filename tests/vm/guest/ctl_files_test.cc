// The control entries under /proc/sys/kernel/zentrope/, exercised through
// the real files of a loaded module: one write() call per command, whole
// reads. Run as root in the guest, right after insmod (the defaults are
// sampled before the first test changes anything).
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ctl.h"
#include "ctl_entries.h"

namespace {

using zt::Cmd;
using zt::DebugCount;
using zt::Entry;
using zt::Lines;
using zt::Read;
using zt::Slurp;

using zt::kEntries;
using zt::kListEntries;

// The digest store reads back through the proc text file: block_hash
// itself is write-only.
const std::string kHashText = zt::kProcDir + "block_hash_text";

std::string ReadBack(const std::string &entry)
{
	return entry == "block_hash" ? Slurp(kHashText) : Read(entry);
}

std::string ErrName(int err)
{
	return err ? std::string(strerrorname_np(err) ? strerrorname_np(err) : "?")
		   : std::string("0");
}

#define EXPECT_ERR(want, got) \
	EXPECT_EQ(ErrName(want), ErrName(got))
#define ASSERT_ERR(want, got) \
	ASSERT_EQ(ErrName(want), ErrName(got))

// What the entries read right after the module was loaded, sampled before
// any test runs.
std::map<std::string, std::string> g_at_load;

class AtLoad : public testing::Environment {
public:
	void SetUp() override
	{
		for (const char *e : { "strict", "quite", "ulog", "hash_max_filesize",
				       "num_lost_hash", "total_cost", "debug_data" })
			g_at_load[e] = Read(e);
		for (const char *e : kListEntries)
			g_at_load[e] = ReadBack(e);
	}
};

const testing::Environment *const g_env =
	testing::AddGlobalTestEnvironment(new AtLoad);

const std::vector<std::pair<std::string, std::string>> kSwitchDefaults = {
	{ "strict", "0" }, { "quite", "0" }, { "ulog", "1" },
	{ "hash_max_filesize", "33554432" },
};

// Every test starts and ends with empty lists and default switches.
class Ctl : public testing::Test {
protected:
	static void Reset()
	{
		for (const char *e : kListEntries)
			ASSERT_ERR(0, Cmd(e, "CLEAR")) << e;
		for (const auto &[name, value] : kSwitchDefaults)
			ASSERT_ERR(0, Cmd(name, value)) << name;
	}
	void SetUp() override { Reset(); }
	void TearDown() override { Reset(); }
};

// ---- the fourteen entries ----

TEST(CtlEntries, AllFourteenExistWithTheirModes)
{
	for (const zt::EntryMode &e : kEntries) {
		struct stat st;
		ASSERT_EQ(0, stat(Entry(e.name).c_str(), &st))
			<< e.name << ": " << strerror(errno);
		EXPECT_TRUE(S_ISREG(st.st_mode)) << e.name;
		EXPECT_EQ(e.mode, st.st_mode & 07777)
			<< e.name << std::oct << " has mode 0" << (st.st_mode & 07777);
	}
}

TEST(CtlEntries, DirectoryHoldsNothingElse)
{
	DIR *d = opendir(zt::kSysctlDir.c_str());
	ASSERT_NE(nullptr, d) << strerror(errno);
	std::set<std::string> names;
	while (struct dirent *de = readdir(d)) {
		if (strcmp(de->d_name, ".") && strcmp(de->d_name, ".."))
			names.insert(de->d_name);
	}
	closedir(d);
	std::set<std::string> want;
	for (const zt::EntryMode &e : kEntries)
		want.insert(e.name);
	EXPECT_EQ(want, names);
}

// The modes are enforced for root as well: block_hash is write-only and
// debug_data read-only.
TEST(CtlEntries, ModesRefuseTheOtherDirection)
{
	int fd = open(Entry("block_hash").c_str(), O_RDONLY);
	EXPECT_EQ(-1, fd);
	EXPECT_ERR(EACCES, errno);
	if (fd >= 0)
		close(fd);
	fd = open(Entry("debug_data").c_str(), O_WRONLY);
	EXPECT_EQ(-1, fd);
	EXPECT_ERR(EACCES, errno);
	if (fd >= 0)
		close(fd);
}

TEST(CtlEntries, DefaultsAfterLoad)
{
	EXPECT_EQ("0\n", g_at_load["strict"]);
	EXPECT_EQ("0\n", g_at_load["quite"]);
	EXPECT_EQ("1\n", g_at_load["ulog"]);
	EXPECT_EQ("33554432\n", g_at_load["hash_max_filesize"]);
	EXPECT_EQ("0\n", g_at_load["num_lost_hash"]);
	for (const char *e : kListEntries) {
		// An empty list reads as a lone newline; the empty store as nothing.
		EXPECT_EQ(std::string(e) == "block_hash" ? "" : "\n", g_at_load[e]) << e;
	}
}

// ---- framing of a write ----
//
// The grammar of the commands is pinned in the host tier
// (tests/host/cmd_test.cc); here, what the kernel's write handler makes of
// the bytes of one write before the parser sees them.

struct CmdCase {
	const char *name;
	std::string setup;	// run first on the same entry, must succeed
	std::string cmd;
	int err;
	std::string want;	// block_ipv4 read back afterwards
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const CmdCase &c, std::ostream *os)
{
	*os << c.name;
}

const CmdCase kCmdCases[] = {
	{ "lone_newline", "ADD 10.0.0.9", "\n", EINVAL, "10.0.0.9\n" },
	{ "empty_write", "ADD 10.0.0.9", "", EINVAL, "10.0.0.9\n" },
	{ "trailing_newline", "", "ADD 10.0.0.1\n", 0, "10.0.0.1\n" },
	{ "two_lines_first_only", "", "ADD 10.0.0.1\nADD 10.0.0.2", 0,
	  "10.0.0.1\n" },
	{ "second_line_clear_ignored", "ADD 10.0.0.9", "ADD 10.0.0.1\nCLEAR", 0,
	  "10.0.0.1\n10.0.0.9\n" },
	{ "nul_ends_command", "", std::string("ADD 10.0.0.1\0 10.0.0.2", 22), 0,
	  "10.0.0.1\n" },
};

class CtlCommand : public Ctl, public testing::WithParamInterface<CmdCase> {};

TEST_P(CtlCommand, OneWrite)
{
	const CmdCase &c = GetParam();
	if (!c.setup.empty()) {
		ASSERT_ERR(0, Cmd("block_ipv4", c.setup));
	}
	EXPECT_ERR(c.err, Cmd("block_ipv4", c.cmd));
	EXPECT_EQ(c.want, Read("block_ipv4"));
}

INSTANTIATE_TEST_SUITE_P(Framing, CtlCommand, testing::ValuesIn(kCmdCases),
			 [](const auto &info) { return std::string(info.param.name); });

// A command is the first write at position 0; a further write on the same
// open file is refused and changes nothing.
TEST_F(Ctl, SecondWriteOnSameFdIsRefused)
{
	int fd = open(Entry("block_ipv4").c_str(), O_WRONLY);
	ASSERT_GE(fd, 0) << strerror(errno);
	const std::string first = "ADD 10.0.0.1", second = "ADD 10.0.0.2";
	EXPECT_EQ((ssize_t)first.size(), write(fd, first.data(), first.size()))
		<< strerror(errno);
	errno = 0;
	EXPECT_EQ(-1, write(fd, second.data(), second.size()));
	EXPECT_ERR(EINVAL, errno);
	close(fd);
	EXPECT_EQ("10.0.0.1\n", Read("block_ipv4"));
}

// Each read call rebuilds the text: small reads of a changing list never
// mix in garbage, and a list reads the same in any read size.
TEST_F(Ctl, ReadSizesAgree)
{
	ASSERT_ERR(0, Cmd("block_url", "ADD a.example b.example c.example"));
	const std::string whole = Read("block_url");
	EXPECT_EQ("c.example\nb.example\na.example\n", whole);
	for (size_t chunk : { 1, 2, 7, 10, 4096 })
		EXPECT_EQ(whole, Slurp(Entry("block_url"), chunk)) << chunk;
}

// ---- each list entry, through the kernel ----

// Per list entry: an add read back, tokens refused with EINVAL and nothing
// listed, a delete. The token rules are pinned in the host tier; the forms
// here are the ones the kernel's own parsers and printers decide (in4_pton,
// in6_pton, kstrtoll, hex2bin, %pI6c), which the host tier only emulates.
struct SmokeCase {
	const char *entry;
	std::string add, listed;	// an accepted add, and the list after it
	std::vector<std::string> bad;	// tokens refused (none for name lists)
	std::string del, left;		// a delete, and the list after it
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const SmokeCase &c, std::ostream *os)
{
	*os << c.entry;
}

const std::string H1 = "0123456789abcdef0123456789abcdef01234567";
const std::string H2 = "fedcba9876543210fedcba9876543210fedcba98";
const std::string H3 = "00112233445566778899aabbccddeeff00112233";

std::string Upper(std::string s)
{
	std::transform(s.begin(), s.end(), s.begin(), ::toupper);
	return s;
}

std::string Rep(char c, size_t n)
{
	return std::string(n, c);
}

std::string WithChar(std::string s, size_t pos, char c)
{
	s[pos] = c;
	return s;
}

// Read back newest first; the store, from block_hash_text, oldest first.
const SmokeCase kSmokeCases[] = {
	{ "block_ipv4", "ADD 0.0.0.0 255.255.255.255", "255.255.255.255\n0.0.0.0\n",
	  { "1.2.3", "1.2.3.4.5", "1.2.3.256", "1.2.3.4x", "10.0.0.0/8", "::1" },
	  "DEL 0.0.0.0", "255.255.255.255\n" },
	{ "block_ipv6", "ADD 2001:DB8:0:0:1:0:0:1 ::ffff:10.1.2.3 :: ::1",
	  "::1\n::\n::ffff:10.1.2.3\n2001:db8::1:0:0:1\n",
	  { "1:2:3:4:5:6:7:8:9", "1::2::3", "10.0.0.1", "fe80::1%eth0", "::g" },
	  "DEL 2001:db8:0::1:0:0:1 ::", "::1\n::ffff:10.1.2.3\n" },
	{ "block_port", "ADD 80 70000 +53", "53\n4464\n80\n",
	  { "0", "-1", "65536", "0x50", "8o", "99999999999999999999" }, "DEL 80",
	  "53\n4464\n" },
	{ "block_url", "ADD .Example..com. b.org", "b.org\nExample.com\n",
	  { "...", Rep('a', 255) }, "DEL Example.com", "b.org\n" },
	{ "block_hash", "ADD " + Upper(H1) + " " + H2 + ":4096", H1 + "\n" + H2 + "\n",
	  { H3.substr(0, 39), H3 + "ab", ":" + H3, WithChar(H3, 5, 'g'),
	    WithChar(H3, 39, 'z'), "0x" + H3.substr(0, 38) },
	  "DEL " + H1, H2 + "\n" },
	{ "interp_prog", "ADD python3 /usr/bin/perl", "/usr/bin/perl\npython3\n", {},
	  "DEL python3", "/usr/bin/perl\n" },
	{ "block_prog", "ADD bash /no/such", "/no/such\nbash\n", {}, "DEL bash",
	  "/no/such\n" },
};

class CtlSmoke : public Ctl, public testing::WithParamInterface<SmokeCase> {};

TEST_P(CtlSmoke, AddRefuseDelete)
{
	const SmokeCase &c = GetParam();
	ASSERT_ERR(0, Cmd(c.entry, c.add));
	EXPECT_EQ(c.listed, ReadBack(c.entry));
	for (const std::string &t : c.bad) {
		EXPECT_ERR(EINVAL, Cmd(c.entry, "ADD " + t)) << t;
		EXPECT_EQ(c.listed, ReadBack(c.entry)) << t;
	}
	EXPECT_ERR(0, Cmd(c.entry, c.del));
	EXPECT_EQ(c.left, ReadBack(c.entry));
}

INSTANTIATE_TEST_SUITE_P(Lists, CtlSmoke, testing::ValuesIn(kSmokeCases),
			 [](const auto &info) { return std::string(info.param.entry); });

// The counters follow what is listed, not what was written.
TEST_F(Ctl, DebugCountsFollowLists)
{
	ASSERT_ERR(0, Cmd("block_ipv4", "ADD 10.0.0.1 10.0.0.2 10.0.0.1"));
	ASSERT_ERR(0, Cmd("block_url", "ADD a.com .a.com b.com"));
	ASSERT_ERR(0, Cmd("block_hash", "ADD " + H1 + " " + H2 + " " + H3));
	ASSERT_ERR(0, Cmd("block_hash", "DEL " + H2));
	ASSERT_ERR(0, Cmd("interp_prog", "ADD /bin/sh"));
	ASSERT_ERR(0, Cmd("block_ipv6", "ADD ::1 ::2 ::3 ::4"));
	EXPECT_EQ(2, DebugCount("num_block_ipv4"));
	EXPECT_EQ(2, DebugCount("num_block_url"));
	EXPECT_EQ(2, DebugCount("num_block_hash"));
	EXPECT_EQ(1, DebugCount("num_interp_prog"));
	EXPECT_EQ(4, DebugCount("num_block_ipv6"));
	ASSERT_ERR(0, Cmd("block_ipv6", "CLEAR"));
	EXPECT_EQ(0, DebugCount("num_block_ipv6"));
	EXPECT_EQ(2, DebugCount("num_block_ipv4"));
}

TEST_F(Ctl, DebugDataElevenLinesInOrder)
{
	const char *const keys[] = {
		"num_block_prog",
		"num_block_prog_info",
		"num_block_hash",
		"num_block_url",
		"num_block_ipv4",
		"num_block_ipv6",
		"num_interp_prog",
		"num_pid_prog_pair_list",
		"num_pid_prog_pair_short_list",
		"num_interp_prog_opened_block_prog_list",
		"num_flag_interp_prog_opened_block_prog_list",
	};
	const std::string text = Read("debug_data");
	ASSERT_FALSE(text.empty());
	EXPECT_EQ('\n', text.back());
	EXPECT_EQ(std::string::npos, text.find("\n\n")) << text;
	const std::vector<std::string> lines = Lines(text);
	ASSERT_EQ(11u, lines.size()) << text;
	const std::regex value("-?[0-9]+");
	for (size_t i = 0; i < lines.size(); i++) {
		const std::string key = std::string(keys[i]) + ":";
		ASSERT_EQ(key, lines[i].substr(0, key.size())) << "line " << i;
		const std::string v = lines[i].substr(key.size());
		EXPECT_TRUE(std::regex_match(v, value)) << lines[i];
		if (i < 7) {
			EXPECT_EQ("0", v) << lines[i];
		}
	}
	// Right after the load the first seven were 0 as well.
	const std::vector<std::string> at_load = Lines(g_at_load["debug_data"]);
	ASSERT_EQ(11u, at_load.size());
	for (size_t i = 0; i < 7; i++)
		EXPECT_EQ(std::string(keys[i]) + ":0", at_load[i]);
}

// ---- switches and the size limit ----

struct IntCase {
	const char *entry;
	std::string write;
	int err;
	std::string want;	// read back afterwards
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const IntCase &c, std::ostream *os)
{
	*os << c.entry << " <- " << c.write;
}

const IntCase kIntCases[] = {
	{ "strict", "1", 0, "1\n" },
	{ "strict", "5", EINVAL, "0\n" },
	{ "strict", "-1", EINVAL, "0\n" },
	{ "strict", "abc", EINVAL, "0\n" },
	{ "quite", "1", 0, "1\n" },
	{ "quite", "5", EINVAL, "0\n" },
	{ "quite", "2", EINVAL, "0\n" },
	{ "ulog", "0", 0, "0\n" },
	{ "ulog", "5", EINVAL, "1\n" },
	{ "ulog", "-1", EINVAL, "1\n" },
	{ "hash_max_filesize", "0", 0, "0\n" },
	{ "hash_max_filesize", "104857600", 0, "104857600\n" },
	{ "hash_max_filesize", "1048576\n", 0, "1048576\n" },
	{ "hash_max_filesize", "104857601", EINVAL, "33554432\n" },
	{ "hash_max_filesize", "-1", EINVAL, "33554432\n" },
	{ "hash_max_filesize", "4294967296", EINVAL, "33554432\n" },
	{ "hash_max_filesize", "1e6", EINVAL, "33554432\n" },
};

class CtlInt : public Ctl, public testing::WithParamInterface<IntCase> {};

TEST_P(CtlInt, WriteThenRead)
{
	const IntCase &c = GetParam();
	EXPECT_ERR(c.err, Cmd(c.entry, c.write));
	EXPECT_EQ(c.want, Read(c.entry));
}

INSTANTIATE_TEST_SUITE_P(Switches, CtlInt, testing::ValuesIn(kIntCases),
			 [](const auto &info) {
				 std::string n = std::string(info.param.entry) + "_" +
						 info.param.write;
				 for (char &ch : n)
					 if (!isalnum((unsigned char)ch))
						 ch = '_';
				 return n + "_" + std::to_string(info.index);
			 });

// A refused value leaves a value set earlier, not just the default.
TEST_F(Ctl, RefusedValueKeepsTheOldOne)
{
	for (const char *e : { "strict", "quite", "ulog" }) {
		ASSERT_ERR(0, Cmd(e, "1"));
		EXPECT_ERR(EINVAL, Cmd(e, "5"));
		EXPECT_EQ("1\n", Read(e)) << e;
		ASSERT_ERR(0, Cmd(e, "0"));
		EXPECT_ERR(EINVAL, Cmd(e, "5"));
		EXPECT_EQ("0\n", Read(e)) << e;
	}
	ASSERT_ERR(0, Cmd("hash_max_filesize", "4096"));
	EXPECT_ERR(EINVAL, Cmd("hash_max_filesize", "104857601"));
	EXPECT_EQ("4096\n", Read("hash_max_filesize"));
}

// num_lost_hash only moves when a file is too large to hash, which these
// tests never cause: it reads 0 throughout.
TEST_F(Ctl, LostHashCountReadsZeroAndAnyWriteResets)
{
	EXPECT_EQ("0\n", Read("num_lost_hash"));
	for (const char *text : { "0", "123", "garbage", "x\ny", "-5", "" }) {
		EXPECT_ERR(0, Cmd("num_lost_hash", text)) << text;
		EXPECT_EQ("0\n", Read("num_lost_hash"));
	}
}

// total_cost sums the ticks spent in the module's hooks, which run under
// every exec and open, so it may move at any time: it reads as a number,
// and a read right after any write finds it back at 0 (a hook that ends
// in between may add a tick, hence a few tries).
TEST_F(Ctl, TotalCostIsResetByAnyWrite)
{
	const std::regex number("[0-9]+\n");
	EXPECT_TRUE(std::regex_match(g_at_load["total_cost"], number)) << g_at_load["total_cost"];
	for (const char *text : { "0", "123", "garbage", "x\ny", "-5", "" }) {
		std::string got;
		for (int attempt = 0; attempt < 10 && got != "0\n"; attempt++) {
			ASSERT_ERR(0, Cmd("total_cost", text)) << text;
			got = Read("total_cost");
			EXPECT_TRUE(std::regex_match(got, number)) << got;
		}
		EXPECT_EQ("0\n", got) << "never 0 right after writing '" << text << "'";
	}
}

// ---- block_prog: names and file identities ----

std::string IdentityLine(const std::string &name, const struct stat &st)
{
	return name + " dev:" + std::to_string(major(st.st_dev)) + "," +
	       std::to_string(minor(st.st_dev)) +
	       " inode:" + std::to_string(st.st_ino);
}

const std::regex kIdentityRe("(.*) dev:([0-9]+),([0-9]+) inode:([0-9]+)");

struct ProgText {
	std::vector<std::string> names, identities;
};

ProgText ParseProg(const std::string &text)
{
	ProgText p;
	for (const std::string &l : Lines(text)) {
		if (l.empty())
			continue;
		(std::regex_match(l, kIdentityRe) ? p.identities : p.names).push_back(l);
	}
	return p;
}

class BlockProg : public Ctl {
protected:
	void SetUp() override
	{
		Ctl::SetUp();
		char tmpl[] = "/tmp/zt_prog_XXXXXX";
		ASSERT_NE(nullptr, mkdtemp(tmpl)) << strerror(errno);
		dir_ = tmpl;
	}
	void TearDown() override
	{
		std::string cmd = "rm -rf " + dir_;
		if (system(cmd.c_str()) != 0)
			ADD_FAILURE() << cmd;
		Ctl::TearDown();
	}
	// Creates a regular file in the test directory and returns its path.
	std::string MakeFile(const std::string &name)
	{
		std::string p = dir_ + "/" + name;
		int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0755);
		EXPECT_GE(fd, 0) << p << ": " << strerror(errno);
		if (fd >= 0) {
			EXPECT_EQ(3, write(fd, "#!\n", 3));
			close(fd);
		}
		return p;
	}
	static struct stat Stat(const std::string &p)
	{
		struct stat st {};
		EXPECT_EQ(0, stat(p.c_str(), &st)) << p << ": " << strerror(errno);
		return st;
	}
	std::string dir_;
};

TEST_F(BlockProg, ExistingPathListsNameAndIdentity)
{
	const std::string f = MakeFile("prog");
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + f));
	EXPECT_EQ(f + "\n" + IdentityLine(f, Stat(f)) + "\n", Read("block_prog"));
	EXPECT_EQ(1, DebugCount("num_block_prog"));
	EXPECT_EQ(1, DebugCount("num_block_prog_info"));
}

TEST_F(BlockProg, MissingPathListsNameOnly)
{
	const std::string missing = dir_ + "/missing";
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + missing + " bash"));
	EXPECT_EQ("bash\n" + missing + "\n", Read("block_prog"));
	EXPECT_EQ(0, DebugCount("num_block_prog_info"));
}

TEST_F(BlockProg, HardLinkAddsNameButNoSecondIdentity)
{
	const std::string f = MakeFile("prog"), link = dir_ + "/alias";
	ASSERT_EQ(0, ::link(f.c_str(), link.c_str())) << strerror(errno);
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + f));
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + link));
	EXPECT_EQ(link + "\n" + f + "\n" + IdentityLine(f, Stat(f)) + "\n",
		  Read("block_prog"));
	EXPECT_EQ(2, DebugCount("num_block_prog"));
	EXPECT_EQ(1, DebugCount("num_block_prog_info"));
}

TEST_F(BlockProg, DuplicateAddListsOnce)
{
	const std::string f = MakeFile("prog");
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + f + " " + f));
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + f));
	EXPECT_EQ(f + "\n" + IdentityLine(f, Stat(f)) + "\n", Read("block_prog"));
}

// A relative token is looked up from the writer's working directory.
TEST_F(BlockProg, RelativePathUsesWritersDirectory)
{
	const std::string f = MakeFile("rel");
	char old[4096];
	ASSERT_NE(nullptr, getcwd(old, sizeof(old)));
	ASSERT_EQ(0, chdir(dir_.c_str()));
	int err = Cmd("block_prog", "ADD rel");
	ASSERT_EQ(0, chdir(old));
	ASSERT_ERR(0, err);
	EXPECT_EQ("rel\n" + IdentityLine("rel", Stat(f)) + "\n", Read("block_prog"));
}

// Looking at the path must not open it: an open of a FIFO without a writer
// would block the command forever.
TEST_F(BlockProg, FifoDoesNotBlock)
{
	const std::string fifo = dir_ + "/fifo";
	ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644)) << strerror(errno);
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		alarm(60);
		_exit(Cmd("block_prog", "ADD " + fifo));
	}
	int status = 0;
	ASSERT_EQ(pid, waitpid(pid, &status, 0));
	ASSERT_TRUE(WIFEXITED(status)) << "the add hung on the FIFO (signal "
				       << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
	EXPECT_ERR(0, WEXITSTATUS(status));
	EXPECT_EQ(fifo + "\n" + IdentityLine(fifo, Stat(fifo)) + "\n",
		  Read("block_prog"));
}

TEST_F(BlockProg, DeleteRemovesNameAndIdentity)
{
	const std::string a = MakeFile("a"), b = MakeFile("b");
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + a + " " + b));
	ASSERT_ERR(0, Cmd("block_prog", "DEL " + a));
	EXPECT_EQ(b + "\n" + IdentityLine(b, Stat(b)) + "\n", Read("block_prog"));
	EXPECT_EQ(1, DebugCount("num_block_prog_info"));
	ASSERT_ERR(0, Cmd("block_prog", "DEL " + b));
	EXPECT_EQ("\n", Read("block_prog"));
	EXPECT_EQ(0, DebugCount("num_block_prog"));
	EXPECT_EQ(0, DebugCount("num_block_prog_info"));
}

// The listed path no longer leads to the file: the identity line is found
// by its name and goes with the name line.
struct GoneCase {
	const char *name;
	const char *how;	// "rm" or "mv"
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const GoneCase &c, std::ostream *os)
{
	*os << c.name;
}

class BlockProgGone : public BlockProg, public testing::WithParamInterface<GoneCase> {};

TEST_P(BlockProgGone, DeleteByName)
{
	const std::string f = MakeFile("prog"), keep = MakeFile("keep");
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + keep + " " + f));
	if (std::string(GetParam().how) == "rm") {
		ASSERT_EQ(0, unlink(f.c_str())) << strerror(errno);
	}
	else
		ASSERT_EQ(0, rename(f.c_str(), (dir_ + "/moved").c_str())) << strerror(errno);
	ASSERT_ERR(0, Cmd("block_prog", "DEL " + f));
	EXPECT_EQ(keep + "\n" + IdentityLine(keep, Stat(keep)) + "\n",
		  Read("block_prog"));
	EXPECT_EQ(1, DebugCount("num_block_prog"));
	EXPECT_EQ(1, DebugCount("num_block_prog_info"));
}

const GoneCase kGoneCases[] = { { "removed", "rm" }, { "renamed", "mv" } };

INSTANTIATE_TEST_SUITE_P(Paths, BlockProgGone, testing::ValuesIn(kGoneCases),
			 [](const auto &info) { return std::string(info.param.name); });

TEST_F(BlockProg, DeleteOfUnlistedOrOddTokensSucceeds)
{
	const std::string f = MakeFile("prog"), other = MakeFile("other");
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + f));
	// other is an existing, unlisted file: its identity matches nothing.
	ASSERT_ERR(0, Cmd("block_prog", "DEL " + other + " /no/such bash " + Rep('x', 600)));
	EXPECT_EQ(f + "\n" + IdentityLine(f, Stat(f)) + "\n", Read("block_prog"));
}

TEST_F(BlockProg, ClearEmptiesNamesAndIdentities)
{
	const std::string f = MakeFile("prog");
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + f + " bash"));
	ASSERT_ERR(0, Cmd("block_prog", "clear"));
	EXPECT_EQ("\n", Read("block_prog"));
	EXPECT_EQ(0, DebugCount("num_block_prog"));
	EXPECT_EQ(0, DebugCount("num_block_prog_info"));
	// The list works as before after a clear.
	ASSERT_ERR(0, Cmd("block_prog", "ADD " + f));
	EXPECT_EQ(f + "\n" + IdentityLine(f, Stat(f)) + "\n", Read("block_prog"));
}

// ---- capacity ----

std::string Ipv4(unsigned n)
{
	return "10." + std::to_string((n >> 16) & 255) + "." +
	       std::to_string((n >> 8) & 255) + "." + std::to_string(n & 255);
}

std::string AddMany(std::string (*fmt)(unsigned), unsigned from, unsigned count)
{
	std::string cmd = "ADD";
	for (unsigned i = from; i < from + count; i++)
		cmd += " " + fmt(i);
	return cmd;
}

std::string Port(unsigned n)
{
	return std::to_string(n);
}

// A full list refuses with ENOSPC through the kernel: the 10,000th element
// is accepted, the tokens of the crossing command before it stay.
TEST_F(Ctl, ListFullMidCommand)
{
	ASSERT_ERR(0, Cmd("block_port", AddMany(Port, 1, 9999)));
	EXPECT_ERR(ENOSPC, Cmd("block_port", "ADD 10000 10001 10002"));
	const std::vector<std::string> lines = Lines(Read("block_port"));
	ASSERT_EQ(10000u, lines.size());
	EXPECT_EQ("10000", lines.front());
	EXPECT_EQ("1", lines.back());
}

// A command of 131071 characters, the most one write may carry, is taken
// whole: its last token counts.
TEST_F(Ctl, LongestCommandIsWhole)
{
	std::string cmd = "ADD";
	std::vector<std::string> names;
	for (unsigned i = 0; cmd.size() + 101 <= 131071; i++) {
		char name[128];
		snprintf(name, sizeof(name), "/zt/%05u/%s", i, Rep('n', 86).c_str());
		names.push_back(name);
		cmd += " ";
		cmd += name;
	}
	std::string last = "/end/" + Rep('e', 131071 - cmd.size() - 6);
	cmd += " " + last;
	names.push_back(last);
	ASSERT_EQ(131071u, cmd.size());
	ASSERT_ERR(0, Cmd("interp_prog", cmd));
	std::vector<std::string> lines = Lines(Read("interp_prog"));
	ASSERT_EQ(names.size(), lines.size());
	EXPECT_EQ(last, lines.front());
	std::reverse(lines.begin(), lines.end());
	EXPECT_TRUE(lines == names);
}

// A list reads whole however long its text: 10,000 interpreter names of
// 500 characters make 5 MB.
TEST_F(Ctl, LongListReadsWhole)
{
	std::vector<std::string> names;
	for (unsigned i = 0; i < 10000; i++) {
		char head[16];
		snprintf(head, sizeof(head), "/zt/%05u/", i);
		names.push_back(head + Rep('n', 490));
	}
	ASSERT_ERR(0, zt::AddAll("interp_prog", names));
	std::vector<std::string> lines = Lines(Read("interp_prog"));
	ASSERT_EQ(names.size(), lines.size());
	std::reverse(lines.begin(), lines.end());
	EXPECT_TRUE(lines == names);
}

// A command longer than one write may carry must not be cut silently: the
// cut token would stand for another rule (here 10.0.0.12 for 10.0.0.123)
// and the tokens past the cut would be lost while the write reports
// success.
TEST_F(Ctl, OverlongCommandIsNotCutSilently)
{
	std::string cmd = "ADD";
	while (cmd.size() < 131071 - 12)
		cmd += " 10.1.1.1";
	cmd += std::string(131071 - 10 - cmd.size(), ' ');
	cmd += " 10.0.0.123";	// its last digit is character 131072
	ASSERT_EQ(131072u, cmd.size());
	EXPECT_EQ(EINVAL, Cmd("block_ipv4", cmd))
		<< "an overlong command reported success";
	EXPECT_EQ(std::string::npos, Read("block_ipv4").find("10.0.0.12\n"))
		<< "the cut token was listed";
}

// ---- concurrency ----

std::vector<std::string> Pool(const std::string &prefix, int n)
{
	std::vector<std::string> out;
	for (int i = 0; i < n; i++)
		out.push_back(prefix + std::to_string(i));
	return out;
}

struct Shape {
	const char *entry;
	const char *counter;
	std::vector<std::string> tokens;
};

// Lines of one read must be distinct and known: a read is one snapshot
// of the list taken under its lock.
::testing::AssertionResult WellFormed(const std::string &text,
				      const std::set<std::string> &known)
{
	if (text.empty() || text.back() != '\n')
		return ::testing::AssertionFailure() << "no final newline: " << text;
	if (text == "\n")
		return ::testing::AssertionSuccess();
	std::set<std::string> seen;
	for (const std::string &l : Lines(text)) {
		if (!known.count(l))
			return ::testing::AssertionFailure() << "unknown line '" << l << "'";
		if (!seen.insert(l).second)
			return ::testing::AssertionFailure() << "duplicate line '" << l << "'";
	}
	return ::testing::AssertionSuccess();
}

TEST_F(Ctl, ConcurrentWritersAndReadersKeepListsConsistent)
{
	char tmpl[] = "/tmp/zt_conc_XXXXXX";
	ASSERT_NE(nullptr, mkdtemp(tmpl));
	const std::string dir = tmpl;
	std::vector<std::string> progs;
	for (int i = 0; i < 12; i++) {
		std::string p = dir + "/p" + std::to_string(i);
		if (i % 3) {	// two of three exist, so identities race too
			int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0755);
			ASSERT_GE(fd, 0);
			close(fd);
		}
		progs.push_back(p);
	}
	std::vector<std::string> v4;
	for (unsigned i = 0; i < 40; i++)
		v4.push_back(Ipv4(i));
	const std::vector<Shape> shapes = {
		{ "block_ipv4", "num_block_ipv4", v4 },
		{ "block_url", "num_block_url", Pool("host.example", 40) },
		{ "interp_prog", "num_interp_prog", Pool("/usr/bin/interp", 30) },
		{ "block_prog", "num_block_prog", progs },
	};
	std::set<std::string> known_prog(progs.begin(), progs.end());

	std::atomic<int> errors{ 0 }, writers_left{ 0 };
	std::vector<std::string> failures;
	std::mutex fail_mu;
	auto fail = [&](const std::string &what) {
		std::lock_guard<std::mutex> g(fail_mu);
		if (failures.size() < 20)
			failures.push_back(what);
		errors++;
	};

	const int kWritersPerList = 3, kRounds = 150;
	// A second process writes too, to the same lists.
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		std::mt19937 rng(7);
		int bad = 0;
		for (int r = 0; r < kRounds; r++) {
			const Shape &sh = shapes[rng() % shapes.size()];
			std::string cmd = "ADD " + sh.tokens[rng() % sh.tokens.size()] +
					  " " + sh.tokens[rng() % sh.tokens.size()];
			bad += Cmd(sh.entry, cmd) != 0;
		}
		_exit(bad ? 1 : 0);
	}
	std::vector<std::thread> threads;
	for (size_t s = 0; s < shapes.size(); s++) {
		for (int w = 0; w < kWritersPerList; w++) {
			writers_left++;
			threads.emplace_back([&, s, w] {
				const Shape &sh = shapes[s];
				std::mt19937 rng(1000 * s + w);
				for (int r = 0; r < kRounds; r++) {
					std::string cmd = rng() % 3 ? "ADD" : "DEL";
					if (rng() % 60 == 0)
						cmd = "CLEAR";
					else
						for (int k = 0; k < 4; k++)
							cmd += " " + sh.tokens[rng() % sh.tokens.size()];
					int err = Cmd(sh.entry, cmd);
					if (err)
						fail(std::string(sh.entry) + " <- " + cmd + ": " +
						     strerror(err));
				}
				writers_left--;
			});
		}
	}
	// Readers check each snapshot while the writers run.
	for (size_t s = 0; s < shapes.size(); s++) {
		threads.emplace_back([&, s] {
			const Shape &sh = shapes[s];
			std::set<std::string> known(sh.tokens.begin(), sh.tokens.end());
			while (writers_left > 0) {
				std::string text = zt::Snapshot(Entry(sh.entry));
				if (std::string(sh.entry) == "block_prog") {
					// Names first, then identity lines.
					ProgText p = ParseProg(text);
					std::string names;
					for (const std::string &n : p.names)
						names += n + "\n";
					text = names.empty() ? "\n" : names;
				}
				::testing::AssertionResult ok = WellFormed(text, known);
				if (!ok)
					fail(std::string(sh.entry) + ": " + ok.message());
				std::string dbg = zt::Snapshot(Entry("debug_data"));
				if (Lines(dbg).size() != 11)
					fail("debug_data: " + dbg);
			}
		});
	}
	for (std::thread &t : threads)
		t.join();
	int status = 0;
	ASSERT_EQ(child, waitpid(child, &status, 0));
	EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
	EXPECT_EQ(0, errors.load()) << [&] {
		std::string all;
		for (const std::string &f : failures)
			all += f + "\n";
		return all;
	}();

	// Quiescent now: every list reads back without duplicates and its
	// counter equals its lines.
	for (const Shape &sh : shapes) {
		std::string text = Read(sh.entry);
		if (std::string(sh.entry) == "block_prog") {
			ProgText p = ParseProg(text);
			std::set<std::string> names(p.names.begin(), p.names.end());
			EXPECT_EQ(p.names.size(), names.size()) << text;
			for (const std::string &n : p.names)
				EXPECT_TRUE(known_prog.count(n)) << n;
			EXPECT_EQ((long)p.names.size(), DebugCount("num_block_prog")) << text;
			EXPECT_EQ((long)p.identities.size(), DebugCount("num_block_prog_info"))
				<< text;
			// One identity per file, and only for files that exist.
			std::set<std::string> ids;
			for (const std::string &l : p.identities) {
				std::smatch m;
				ASSERT_TRUE(std::regex_match(l, m, kIdentityRe));
				EXPECT_TRUE(ids.insert(m[2].str() + "," + m[3].str() + ":" +
						       m[4].str()).second)
					<< "identity listed twice: " << l;
				struct stat st;
				ASSERT_EQ(0, stat(m[1].str().c_str(), &st)) << l;
				EXPECT_EQ(IdentityLine(m[1].str(), st), l);
			}
			continue;
		}
		std::set<std::string> known(sh.tokens.begin(), sh.tokens.end());
		EXPECT_TRUE(WellFormed(text, known)) << sh.entry;
		size_t n = text == "\n" ? 0 : Lines(text).size();
		EXPECT_EQ((long)n, DebugCount(sh.counter)) << sh.entry << "\n" << text;
	}
	std::string cmd = "rm -rf " + dir;
	EXPECT_EQ(0, system(cmd.c_str()));
}

} // namespace
