#include "lists_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <sstream>

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
};

TEST_F(Commands, CommandWords)
{
	struct {
		const char *text;
		int ret;
	} cases[] = {
		{ "ADD 1.1.1.1", 0 },
		{ "add 1.1.1.2", 0 },
		{ "Add 1.1.1.3", 0 },
		{ "ADD\t1.1.1.4", -EINVAL },
		{ "ADD", -EINVAL },
		{ "", -EINVAL },
		{ "PUT 1.1.1.5", -EINVAL },
		{ " ADD 1.1.1.5", -EINVAL },
		{ "ADD ", 0 },
		{ "Del 1.1.1.2", 0 },
		{ "DEL ", 0 },
	};
	for (const auto &c : cases)
		EXPECT_EQ(Run(block_ipv4_cmd, c.text), c.ret) << c.text;
	EXPECT_EQ(Read(block_ipv4_cmd), "1.1.1.3\n1.1.1.1\n");
	EXPECT_EQ(Run(block_ipv4_cmd, "clearXYZ"), 0);
	EXPECT_EQ(Read(block_ipv4_cmd), "");
}

TEST_F(Commands, SpacesSeparateTabsDoNot)
{
	EXPECT_EQ(Run(block_port_cmd, "ADD   22  80   "), 0);
	EXPECT_EQ(Read(block_port_cmd), "80\n22\n");
	EXPECT_EQ(Run(block_port_cmd, "ADD 443\t8443"), -EINVAL);
	EXPECT_EQ(atomic_read(&num_block_port), 2);
}

TEST_F(Commands, AddStopsAtFirstBadToken)
{
	EXPECT_EQ(Run(block_ipv4_cmd, "ADD 10.0.0.1 10.0.0 10.0.0.3"), -EINVAL);
	EXPECT_EQ(Read(block_ipv4_cmd), "10.0.0.1\n");
	// Deletes ignore junk and absent entries.
	EXPECT_EQ(Run(block_ipv4_cmd, "DEL junk 9.9.9.9 10.0.0.1"), 0);
	EXPECT_EQ(Read(block_ipv4_cmd), "");
}

TEST_F(Commands, Ipv4Tokens)
{
	for (const char *bad : { "256.1.1.1", "1.2.3", "1.2.3.4.5", "1.2.3.4x",
				 "a.b.c.d", "1..2.3", "-1.2.3.4" })
		EXPECT_EQ(add_del_block_ipv4(std::string(bad).data(), 0, 1),
			  -EINVAL) << bad;
	EXPECT_EQ(Run(block_ipv4_cmd, "ADD 0.0.0.0 255.255.255.255"), 0);
	EXPECT_EQ(Read(block_ipv4_cmd), "255.255.255.255\n0.0.0.0\n");
}

TEST_F(Commands, Ipv6Tokens)
{
	EXPECT_EQ(Run(block_ipv6_cmd, "ADD 2001:db8::1 ::ffff:10.1.2.3 ::"), 0);
	EXPECT_EQ(Read(block_ipv6_cmd), "::\n::ffff:10.1.2.3\n2001:db8::1\n");
	for (const char *bad : { "2001:db8:::1", "1:2:3:4:5:6:7:8:9", "g::1",
				 "1.2.3.4", "::1x" })
		EXPECT_EQ(add_del_block_ipv6(std::string(bad).data(), 0, 1),
			  -EINVAL) << bad;
	EXPECT_EQ(Run(block_ipv6_cmd, "DEL 2001:0db8:0:0::1"), 0);
	EXPECT_EQ(atomic_read(&num_block_ipv6), 2);
}

TEST_F(Commands, PortTokens)
{
	EXPECT_EQ(Run(block_port_cmd, "ADD 0"), -EINVAL);
	EXPECT_EQ(Run(block_port_cmd, "ADD -1"), -EINVAL);
	EXPECT_EQ(Run(block_port_cmd, "ADD 65536"), -EINVAL);
	EXPECT_EQ(Run(block_port_cmd, "ADD 80x"), -EINVAL);
	EXPECT_EQ(Run(block_port_cmd, "ADD 99999999999999999999"), -EINVAL);
	EXPECT_EQ(Run(block_port_cmd, "ADD 70000 +53"), 0);
	EXPECT_EQ(Read(block_port_cmd), "53\n4464\n");
}

TEST_F(Commands, UrlTokens)
{
	EXPECT_EQ(Run(block_url_cmd, "ADD .example.com. www..test.org"), 0);
	EXPECT_EQ(Read(block_url_cmd), "www.test.org\nexample.com\n");
	EXPECT_EQ(Run(block_url_cmd, "ADD ..."), -EINVAL);
	std::string huge = std::string(127, 'a') + "." + std::string(127, 'b');
	EXPECT_EQ(Run(block_url_cmd, "ADD " + huge), -EINVAL);
	EXPECT_EQ(Run(block_url_cmd, "ADD " + std::string(256, 'x')), -EINVAL);
	EXPECT_EQ(Run(block_url_cmd, "DEL example.com"), 0);
	EXPECT_EQ(Read(block_url_cmd), "www.test.org\n");
}

std::string Hex(int seed, bool upper = false)
{
	std::ostringstream s;
	for (int i = 0; i < 20; i++) {
		char b[3];
		snprintf(b, sizeof(b), upper ? "%02X" : "%02x", (seed * 31 + i) & 0xff);
		s << b;
	}
	return s.str();
}

TEST_F(Commands, HashTokens)
{
	EXPECT_EQ(Run(block_hash_cmd, "ADD " + Hex(1)), 0);
	EXPECT_EQ(Run(block_hash_cmd, "ADD " + Hex(2, true)), 0);
	EXPECT_EQ(Run(block_hash_cmd, "ADD " + Hex(3) + ":12345"), 0);
	EXPECT_EQ(Run(block_hash_cmd, "ADD " + Hex(4) + "0"), 0)
		<< "41 characters, last one unused";
	EXPECT_EQ(atomic_read(&num_block_hash), 4);
	struct {
		std::string tok;
		const char *why;
	} bad[] = {
		{ Hex(5).substr(0, 39), "39 characters" },
		{ Hex(5) + "00", "42 characters" },
		{ ":" + Hex(5), "leading colon" },
		{ "g" + Hex(5).substr(1), "non-hex first" },
		{ Hex(5).substr(0, 39) + "z", "non-hex last" },
		{ Hex(5).substr(0, 20) + "-" + Hex(5).substr(21), "dash" },
	};
	for (const auto &b : bad)
		EXPECT_EQ(Run(block_hash_cmd, "ADD " + b.tok), -EINVAL) << b.why;
	EXPECT_EQ(atomic_read(&num_block_hash), 4) << "a bad digest was stored";
	u8 d[20];
	ASSERT_EQ(translate_hash_bin(d, 20, Hex(2, true).c_str(), 40), 20);
	EXPECT_EQ(exist_block_hash(d, 20), 1);
	EXPECT_EQ(Run(block_hash_cmd, "DEL " + Hex(2) + " " + Hex(9) + " zz"), 0);
	EXPECT_EQ(exist_block_hash(d, 20), 0);
	EXPECT_EQ(Run(block_hash_cmd, "CLEAR"), 0);
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
