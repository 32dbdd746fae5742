#include "lists_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <initializer_list>
#include <vector>

namespace {

class Commands : public Lists {
protected:
	static int Run(const zt_cmd_ops &ops, const std::string &text)
	{
		std::string buf = text;
		buf.push_back('\0');
		return zt_run_command(&ops, buf.data());
	}
	static std::string Read(const zt_cmd_ops &ops)
	{
		std::string buf(DUMP_TEXT_MIN, '\0');
		int n = ops.dump(buf.data(), buf.size());
		return n < 0 ? "(err)" : buf.substr(0, n);
	}
	// The digest store in feed order, one hex digest a line: the text
	// block_hash_text reads as.
	static std::string StoreText()
	{
		std::string out;
		block_hash_cursor c{};
		loff_t pos = 0;
		rcu_read_lock();
		for (hash_sha1_node *n = block_hash_cursor_start(&c, pos); n;
		     n = block_hash_cursor_next(&c, n, &pos)) {
			char hex[2 * SHA1_DIGEST_LEN + 1];
			bin2hex(hex, n->digest, SHA1_DIGEST_LEN);
			out += std::string(hex, 2 * SHA1_DIGEST_LEN) + "\n";
		}
		rcu_read_unlock();
		return out;
	}
	static std::string ReadBack(const zt_cmd_ops &ops)
	{
		return &ops == &block_hash_cmd ? StoreText() : Read(ops);
	}
};

// A command as the entry's write handler hands it over: the first line,
// without its newline. The framing of the write itself (lines, NUL, the
// write position) is the kernel's and is pinned in the VM tier.
struct WordCase {
	const char *name;
	std::string setup; // run first on block_ipv4, must succeed
	std::string cmd;
	int ret;
	std::string want; // block_ipv4 read back afterwards
};

TEST_F(Commands, CommandWords)
{
	const WordCase cases[] = {
		{ "add_upper", "", "ADD 10.0.0.1", 0, "10.0.0.1\n" },
		{ "add_lower", "", "add 10.0.0.1", 0, "10.0.0.1\n" },
		{ "add_mixed", "", "aDd 10.0.0.1", 0, "10.0.0.1\n" },
		{ "del_lower", "ADD 10.0.0.1 10.0.0.2", "del 10.0.0.1", 0, "10.0.0.2\n" },
		{ "del_mixed", "ADD 10.0.0.1 10.0.0.2", "dEl 10.0.0.2", 0, "10.0.0.1\n" },
		{ "clear_lower", "ADD 10.0.0.1 10.0.0.2", "clear", 0, "" },
		{ "clear_mixed", "ADD 10.0.0.1", "ClEaR", 0, "" },
		{ "clear_then_letters", "ADD 10.0.0.1", "CLEARxyz", 0, "" },
		{ "clear_then_tokens", "ADD 10.0.0.1", "CLEAR 10.0.0.2", 0, "" },
		{ "tab_after_add", "ADD 10.0.0.9", "ADD\t10.0.0.1", -EINVAL, "10.0.0.9\n" },
		{ "tab_between_tokens", "", "ADD 10.0.0.1\t10.0.0.2", -EINVAL, "" },
		{ "add_without_space", "ADD 10.0.0.9", "ADD", -EINVAL, "10.0.0.9\n" },
		{ "del_without_space", "ADD 10.0.0.9", "DEL", -EINVAL, "10.0.0.9\n" },
		{ "add_no_tokens", "ADD 10.0.0.9", "ADD ", 0, "10.0.0.9\n" },
		{ "add_only_spaces", "ADD 10.0.0.9", "ADD      ", 0, "10.0.0.9\n" },
		{ "del_no_tokens", "ADD 10.0.0.9", "DEL ", 0, "10.0.0.9\n" },
		{ "runs_of_spaces", "", "ADD   10.0.0.1     10.0.0.2   ", 0,
		  "10.0.0.2\n10.0.0.1\n" },
		{ "del_runs_of_spaces", "ADD 10.0.0.1 10.0.0.2 10.0.0.3",
		  "DEL  10.0.0.1   10.0.0.3  ", 0, "10.0.0.2\n" },
		{ "leading_space", "", " ADD 10.0.0.1", -EINVAL, "" },
		{ "unknown_word", "ADD 10.0.0.9", "PUT 10.0.0.1", -EINVAL, "10.0.0.9\n" },
		{ "word_runs_on", "", "ADDX 10.0.0.1", -EINVAL, "" },
		{ "empty", "ADD 10.0.0.9", "", -EINVAL, "10.0.0.9\n" },
	};
	for (const WordCase &c : cases) {
		SCOPED_TRACE(c.name);
		ASSERT_EQ(Run(block_ipv4_cmd, "CLEAR"), 0);
		if (!c.setup.empty())
			ASSERT_EQ(Run(block_ipv4_cmd, c.setup), 0);
		EXPECT_EQ(Run(block_ipv4_cmd, c.cmd), c.ret);
		EXPECT_EQ(Read(block_ipv4_cmd), c.want);
	}
}

std::string Rep(char c, size_t n)
{
	return std::string(n, c);
}

// Labels of the given lengths joined by dots: a, bb, ... one letter each.
std::string Domain(std::initializer_list<size_t> labels)
{
	std::string s;
	char c = 'a';
	for (size_t l : labels) {
		if (!s.empty())
			s += '.';
		s += Rep(c++, l);
	}
	return s;
}

const std::string H1 = "0123456789abcdef0123456789abcdef01234567";
const std::string H2 = "fedcba9876543210fedcba9876543210fedcba98";
const std::string H3 = "00112233445566778899aabbccddeeff00112233";

std::string Upper(std::string s)
{
	for (char &c : s)
		c = toupper((unsigned char)c);
	return s;
}

std::string WithChar(std::string s, size_t pos, char c)
{
	s[pos] = c;
	return s;
}

// Tokens each list refuses: the add fails with EINVAL and lists nothing.
TEST_F(Commands, BadTokensAreRefusedAndNotListed)
{
	const struct {
		const zt_cmd_ops *ops;
		std::vector<std::string> tokens;
	} lists[] = {
		{ &block_ipv4_cmd,
		  { "1.2.3", "1.2.3.4.5", "1.2.3.256", "256.1.1.1", "1.2.3.4x", "a.b.c.d",
		    "1..2.3", "-1.2.3.4", "10.0.0.0/8", "::1" } },
		{ &block_ipv6_cmd,
		  { "1:2:3:4:5:6:7:8:9", "1::2::3", "2001:db8:::1", "g::1", "::1x", "1.2.3.4",
		    "fe80::1%eth0" } },
		{ &block_port_cmd,
		  { "0", "-1", "-65535", "65536", "80x", "8o", "0x50", "99999999999999999999",
		    "443\t8443" } },
		{ &block_url_cmd,
		  { "...", ".",
		    Domain({ 127, 127 }),
		    Domain({ 63, 63, 63, 63 }), // encodes to 256 bytes
		    Rep('a', 255), Rep('x', 256), Rep('.', 255) + "ab" } },
		{ &block_hash_cmd,
		  { H1.substr(0, 39), H1 + "ab", ":" + H1, ":4096", WithChar(H1, 0, 'g'),
		    WithChar(H1, 5, 'g'), WithChar(H1, 39, 'z'), WithChar(H1, 20, '-'),
		    "0x" + H1.substr(0, 38) } },
	};
	for (const auto &l : lists) {
		for (const std::string &t : l.tokens) {
			ASSERT_EQ(Run(*l.ops, "CLEAR"), 0);
			EXPECT_EQ(Run(*l.ops, "ADD " + t), -EINVAL) << t;
			EXPECT_EQ(ReadBack(*l.ops), "") << t;
			if (l.ops == &block_hash_cmd)
				EXPECT_EQ(atomic_read(&num_block_hash), 0) << t;
		}
	}
}

// What each list keeps of a command, and in which order it lists it:
// newest first, the store oldest first. An add stops at the first bad
// token, keeping those before it; a delete passes over bad and absent ones.
struct TokenCase {
	const char *name;
	const zt_cmd_ops *ops;
	std::string setup;
	std::string cmd;
	int ret;
	std::string want;
};

TEST_F(Commands, TokenRules)
{
	const TokenCase cases[] = {
		// block_ipv4
		{ "ipv4_middle_bad", &block_ipv4_cmd, "", "ADD 10.0.0.1 10.0.0.x 10.0.0.3",
		  -EINVAL, "10.0.0.1\n" },
		{ "ipv4_newest_first", &block_ipv4_cmd, "", "ADD 10.0.0.1 10.0.0.2 10.0.0.3", 0,
		  "10.0.0.3\n10.0.0.2\n10.0.0.1\n" },
		{ "ipv4_duplicate", &block_ipv4_cmd, "ADD 10.0.0.1", "ADD 10.0.0.1 10.0.0.1", 0,
		  "10.0.0.1\n" },
		{ "ipv4_bounds", &block_ipv4_cmd, "", "ADD 0.0.0.0 255.255.255.255", 0,
		  "255.255.255.255\n0.0.0.0\n" },
		{ "ipv4_del_absent_and_bad", &block_ipv4_cmd, "ADD 10.0.0.1",
		  "DEL 10.0.0.2 junk 1.2.3", 0, "10.0.0.1\n" },
		{ "ipv4_del_past_bad_token", &block_ipv4_cmd, "ADD 10.0.0.1 10.0.0.2",
		  "DEL junk 9.9.9.9 10.0.0.1", 0, "10.0.0.2\n" },
		// block_ipv6
		{ "ipv6_compressed", &block_ipv6_cmd, "", "ADD 2001:DB8:0:0:1:0:0:1", 0,
		  "2001:db8::1:0:0:1\n" },
		{ "ipv6_forms", &block_ipv6_cmd, "", "ADD 2001:db8::1 ::ffff:10.1.2.3 :: ::1", 0,
		  "::1\n::\n::ffff:10.1.2.3\n2001:db8::1\n" },
		{ "ipv6_spellings_one_entry", &block_ipv6_cmd, "",
		  "ADD 2001:db8::1 2001:DB8:0:0:0:0:0:1", 0, "2001:db8::1\n" },
		{ "ipv6_del_other_spelling", &block_ipv6_cmd, "ADD 2001:db8::1 ::1",
		  "DEL 2001:0db8:0:0::1", 0, "::1\n" },
		{ "ipv6_middle_bad", &block_ipv6_cmd, "", "ADD ::1 ::g ::3", -EINVAL, "::1\n" },
		{ "ipv6_del_absent_and_bad", &block_ipv6_cmd, "ADD ::1", "DEL ::2 zz 12345::1", 0,
		  "::1\n" },
		// block_port: a value above 65535 wraps to 16 bits
		{ "port_two", &block_port_cmd, "", "ADD 80 443", 0, "443\n80\n" },
		{ "port_wraps_and_plus", &block_port_cmd, "", "ADD 70000 +53", 0, "53\n4464\n" },
		{ "port_65535", &block_port_cmd, "", "ADD 65535", 0, "65535\n" },
		{ "port_middle_bad", &block_port_cmd, "", "ADD 22 zero 25", -EINVAL, "22\n" },
		{ "port_duplicate", &block_port_cmd, "", "ADD 22 22", 0, "22\n" },
		{ "port_del_past_bad", &block_port_cmd, "ADD 22 25", "DEL 0 -3 x 22", 0, "25\n" },
		// block_url: dots at the ends and doubled ones do not count
		{ "url_plain", &block_url_cmd, "", "ADD example.com", 0, "example.com\n" },
		{ "url_spellings_one_entry", &block_url_cmd, "",
		  "ADD example.com .example.com example..com example.com.", 0, "example.com\n" },
		{ "url_stray_dots", &block_url_cmd, "", "ADD .example.com. www..test.org", 0,
		  "www.test.org\nexample.com\n" },
		{ "url_case_kept", &block_url_cmd, "", "ADD Example.COM example.com", 0,
		  "example.com\nExample.COM\n" },
		// A name whose encoding fills all 255 bytes reads back with a final
		// dot: the decoded text reaches the 255-character limit there.
		{ "url_encoded_255", &block_url_cmd, "", "ADD " + Domain({ 63, 63, 63, 62 }), 0,
		  Domain({ 63, 63, 63, 62 }) + ".\n" },
		{ "url_encoded_254", &block_url_cmd, "", "ADD " + Domain({ 63, 63, 63, 61 }), 0,
		  Domain({ 63, 63, 63, 61 }) + "\n" },
		{ "url_encoded_256", &block_url_cmd, "ADD keep.example",
		  "ADD " + Domain({ 63, 63, 63, 63 }), -EINVAL, "keep.example\n" },
		{ "url_label_254", &block_url_cmd, "", "ADD " + Rep('a', 254), 0,
		  Rep('a', 254) + ".\n" },
		{ "url_label_253", &block_url_cmd, "", "ADD " + Rep('a', 253), 0,
		  Rep('a', 253) + "\n" },
		// The text read back names the same entry.
		{ "url_del_read_back_form", &block_url_cmd, "ADD " + Rep('a', 254),
		  "DEL " + Rep('a', 254) + ".", 0, "" },
		{ "url_middle_bad", &block_url_cmd, "", "ADD a.com ... c.com", -EINVAL, "a.com\n" },
		{ "url_del_other_spelling", &block_url_cmd, "ADD example.com www.test.org",
		  "DEL .example..com.", 0, "www.test.org\n" },
		{ "url_del_absent_and_bad", &block_url_cmd, "ADD a.com",
		  "DEL b.com ... " + Rep('x', 300), 0, "a.com\n" },
		// interp_prog: names, existing or not
		{ "interp_missing_path", &interp_prog_cmd, "", "ADD /nonexistent/interp", 0,
		  "/nonexistent/interp\n" },
		{ "interp_names", &interp_prog_cmd, "", "ADD python3 /usr/bin/perl", 0,
		  "/usr/bin/perl\npython3\n" },
		{ "interp_del", &interp_prog_cmd, "ADD /bin/sh /bin/busybox", "DEL /bin/sh", 0,
		  "/bin/busybox\n" },
		{ "interp_del_absent", &interp_prog_cmd, "ADD /bin/sh", "DEL /bin/ash", 0,
		  "/bin/sh\n" },
		// block_hash: 40 hex digits in either case, a ":size" ignored; a
		// 41st character is not used
		{ "hash_lower", &block_hash_cmd, "", "ADD " + H1, 0, H1 + "\n" },
		{ "hash_upper", &block_hash_cmd, "", "ADD " + Upper(H2), 0, H2 + "\n" },
		{ "hash_with_size", &block_hash_cmd, "", "ADD " + H1 + ":4096", 0, H1 + "\n" },
		{ "hash_41_chars", &block_hash_cmd, "", "ADD " + H1 + "0", 0, H1 + "\n" },
		{ "hash_oldest_first", &block_hash_cmd, "", "ADD " + H1 + " " + H2, 0,
		  H1 + "\n" + H2 + "\n" },
		{ "hash_duplicate", &block_hash_cmd, "", "ADD " + H1 + " " + Upper(H1), 0,
		  H1 + "\n" },
		{ "hash_middle_bad", &block_hash_cmd, "",
		  "ADD " + H1 + " " + WithChar(H2, 0, 'q') + " " + H3, -EINVAL, H1 + "\n" },
		{ "hash_del_upper", &block_hash_cmd, "ADD " + H1 + " " + H2, "DEL " + Upper(H1),
		  0, H2 + "\n" },
		{ "hash_del_absent_and_bad", &block_hash_cmd, "ADD " + H1,
		  "DEL " + H2 + " zz :1 " + WithChar(H1, 3, 'g'), 0, H1 + "\n" },
		{ "hash_clear", &block_hash_cmd, "ADD " + H1 + " " + H2, "CLEAR", 0, "" },
	};
	for (const TokenCase &c : cases) {
		SCOPED_TRACE(c.name);
		ASSERT_EQ(Run(*c.ops, "CLEAR"), 0);
		if (!c.setup.empty())
			ASSERT_EQ(Run(*c.ops, c.setup), 0);
		EXPECT_EQ(Run(*c.ops, c.cmd), c.ret);
		EXPECT_EQ(ReadBack(*c.ops), c.want);
	}
	EXPECT_EQ(atomic_read(&num_block_hash), 0);
}

TEST_F(Commands, AddressLimitIsShared)
{
	std::string v4 = "ADD", v6 = "ADD";
	for (int i = 0; i < 6000; i++)
		v4 += " 10." + std::to_string(i / 256) + "." +
		      std::to_string(i % 256) + ".1";
	for (int i = 0; i < 4000; i++) {
		char b[32];
		snprintf(b, sizeof(b), " 2001:db8::%x", i + 1);
		v6 += b;
	}
	ASSERT_EQ(Run(block_ipv4_cmd, v4), 0);
	ASSERT_EQ(Run(block_ipv6_cmd, v6), 0);
	EXPECT_EQ(Run(block_ipv4_cmd, "ADD 192.0.2.1"), -ENOSPC);
	EXPECT_EQ(Run(block_ipv6_cmd, "ADD 2001:db8::ffff:1"), -ENOSPC);
	EXPECT_EQ(Run(block_ipv4_cmd, "DEL 10.0.0.1"), 0);
	EXPECT_EQ(Run(block_ipv6_cmd, "ADD 2001:db8::ffff:1"), 0);
}

TEST_F(Commands, ListLimit)
{
	std::string cmd = "ADD";
	for (int i = 0; i < RULE_LIST_MAX; i++)
		cmd += " p" + std::to_string(i);
	ASSERT_EQ(Run(block_prog_cmd, cmd), 0);
	EXPECT_EQ(atomic_read(&num_block_prog), RULE_LIST_MAX);
	EXPECT_EQ(Run(block_prog_cmd, "ADD one-more"), -ENOSPC);
	EXPECT_EQ(Run(interp_prog_cmd, cmd), 0);
	EXPECT_EQ(Run(interp_prog_cmd, "ADD one-more"), -ENOSPC);
}

// The last free place is taken; in a command that crosses the limit the
// tokens before it stay and the rest are not added.
TEST_F(Commands, ListFullMidCommand)
{
	std::string cmd = "ADD";
	for (int i = 1; i < RULE_LIST_MAX; i++)
		cmd += " " + std::to_string(i);
	ASSERT_EQ(Run(block_port_cmd, cmd), 0);
	EXPECT_EQ(Run(block_port_cmd, "ADD 10000 10001 10002"), -ENOSPC);
	EXPECT_EQ(atomic_read(&num_block_port), RULE_LIST_MAX);
	const std::string text = Read(block_port_cmd);
	EXPECT_EQ(text.substr(0, 6), "10000\n");
	EXPECT_EQ(text.find("10001\n"), std::string::npos);
}

class ProgCommands : public Commands {
protected:
	void SetUp() override
	{
		Commands::SetUp();
		char tmpl[] = "/tmp/zt-prog-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir_ = tmpl;
		path_ = dir_ + "/prog";
		int fd = open(path_.c_str(), O_CREAT | O_WRONLY, 0755);
		ASSERT_GE(fd, 0);
		close(fd);
	}
	void TearDown() override
	{
		unlink(path_.c_str());
		unlink((dir_ + "/link").c_str());
		rmdir(dir_.c_str());
		Commands::TearDown();
	}
	std::string InfoLine(const std::string &name)
	{
		struct stat st;
		EXPECT_EQ(stat(path_.c_str(), &st), 0);
		return name + " dev:" + std::to_string(major(st.st_dev)) + "," +
		       std::to_string(minor(st.st_dev)) +
		       " inode:" + std::to_string(st.st_ino) + "\n";
	}
	std::string dir_, path_;
};

TEST_F(ProgCommands, ExistingPathListsIdentity)
{
	ASSERT_EQ(Run(block_prog_cmd, "ADD " + path_), 0);
	EXPECT_EQ(Read(block_prog_cmd), path_ + "\n" + InfoLine(path_));
	ASSERT_EQ(link(path_.c_str(), (dir_ + "/link").c_str()), 0);
	ASSERT_EQ(Run(block_prog_cmd, "ADD " + dir_ + "/link"), 0);
	EXPECT_EQ(atomic_read(&num_block_prog), 2);
	EXPECT_EQ(atomic_read(&num_block_prog_info), 1) << "hard link listed twice";
	ASSERT_EQ(Run(block_prog_cmd, "ADD nosuchprog"), 0);
	EXPECT_EQ(atomic_read(&num_block_prog_info), 1);
}

TEST_F(ProgCommands, DeleteAfterFileRemoved)
{
	ASSERT_EQ(Run(block_prog_cmd, "ADD " + path_), 0);
	ASSERT_EQ(unlink(path_.c_str()), 0);
	ASSERT_EQ(Run(block_prog_cmd, "DEL " + path_), 0);
	EXPECT_EQ(atomic_read(&num_block_prog), 0);
	EXPECT_EQ(atomic_read(&num_block_prog_info), 0)
		<< "identity stayed blocked after its name was deleted";
}

TEST_F(ProgCommands, FailedAddKeepsEarlierName)
{
	ASSERT_EQ(Run(block_prog_cmd, "ADD " + path_), 0);
	ASSERT_EQ(clear_block_prog_info(), 0);
	// Name listed already: the identity is the only allocation, and fails.
	shim_fail_alloc_in = 1;
	EXPECT_EQ(Run(block_prog_cmd, "ADD " + path_), -ENOMEM);
	EXPECT_EQ(atomic_read(&num_block_prog), 1) << "listed name was dropped";
	// A new name is rolled back: name element, then identity, fails.
	shim_fail_alloc_in = 2;
	ASSERT_EQ(link(path_.c_str(), (dir_ + "/link").c_str()), 0);
	EXPECT_EQ(Run(block_prog_cmd, "ADD " + dir_ + "/link"), -ENOMEM);
	EXPECT_EQ(atomic_read(&num_block_prog), 1);
}

TEST_F(ProgCommands, NameBudgetFollowsListedNames)
{
	ASSERT_EQ(Run(block_prog_cmd, "ADD abc abc defg"), 0);
	EXPECT_EQ(atomic_read(&num_mem_block_prog), (3 + 2) + (4 + 2));
	ASSERT_EQ(Run(block_prog_cmd, "DEL abc nothere"), 0);
	EXPECT_EQ(atomic_read(&num_mem_block_prog), 4 + 2);
	ASSERT_EQ(Run(block_prog_cmd, "CLEAR"), 0);
	EXPECT_EQ(atomic_read(&num_mem_block_prog), 0);
	EXPECT_EQ(Read(block_prog_cmd), "");
}

TEST_F(Commands, DebugData)
{
	ASSERT_EQ(Run(block_port_cmd, "ADD 1"), 0);
	ASSERT_EQ(Run(block_url_cmd, "ADD a.b"), 0);
	char buf[1024];
	int n = dump_private_data(buf, sizeof(buf));
	ASSERT_GT(n, 0);
	EXPECT_EQ(std::string(buf, n),
		  "num_block_prog:0\nnum_block_prog_info:0\nnum_block_hash:0\n"
		  "num_block_url:1\nnum_block_ipv4:0\nnum_block_ipv6:0\n"
		  "num_interp_prog:0\nnum_pid_prog_pair_list:0\n"
		  "num_pid_prog_pair_short_list:0\n"
		  "num_interp_prog_opened_block_prog_list:0\n"
		  "num_flag_interp_prog_opened_block_prog_list:0\n");
}

} // namespace

namespace {

TEST(CommandFits, OverlongFirstLineRefused)
{
	std::string ok(CMD_TEXT_MAX - 1, ' ');
	EXPECT_TRUE(zt_command_fits(ok.data(), ok.size()));
	std::string cut(CMD_TEXT_MAX, ' ');
	EXPECT_FALSE(zt_command_fits(cut.data(), cut.size()));
	std::string two_lines = std::string(100, 'a') + "\n" +
				std::string(CMD_TEXT_MAX * 2, 'b');
	EXPECT_TRUE(zt_command_fits(two_lines.data(), two_lines.size()));
	std::string late_nl = std::string(CMD_TEXT_MAX, 'a') + "\n";
	EXPECT_FALSE(zt_command_fits(late_nl.data(), late_nl.size()));
}

} // namespace
