#include "config.h"

#include <vector>

#include "test_util.h"

namespace {

struct ListCase {
	const char *name;
	std::string text;
	std::vector<std::string> want;
};

TEST(ReadListFile, EntriesAreTrimmedLines)
{
	const ListCase cases[] = {
		{ "blank lines only", "\n  \n\t\r\n", {} },
		{ "crlf and padding", "  /usr/bin/foo  \r\n", { "/usr/bin/foo" } },
		{ "inner space kept, no final newline", "80 443\n#x", { "80 443", "#x" } },
		{ "overlong line splits at 4095", std::string(4100, 'a') + "\n",
		  { std::string(4095, 'a'), "aaaaa" } },
		{ "NUL entry skipped", std::string("a\0b\nc\n", 6), { "c" } },
	};
	TempDir dir;
	for (const ListCase &c : cases) {
		rule_list l;
		ASSERT_EQ(read_list_file(dir.file("l", c.text), &l), 0) << c.name;
		EXPECT_EQ(l.items, c.want) << c.name;
	}
	rule_list l;
	EXPECT_EQ(read_list_file(dir.path() + "/missing", &l), -1);
}

TEST(ReadListFile, TenThousandEntries)
{
	TempDir dir;
	std::string text;
	for (int i = 0; i < 10000; i++)
		text += "/usr/bin/p" + std::to_string(i) + "\n";
	rule_list l;
	ASSERT_EQ(read_list_file(dir.file("l", text), &l), 0);
	ASSERT_EQ(l.items.size(), 10000u);
	EXPECT_EQ(l.items.back(), "/usr/bin/p9999");
}

struct LoadCase {
	const char *name;
	std::string ini;
	int ret;
	int verbose, daemon;
	size_t progs, ips;
	log_format format = log_format::kText;
};

TEST(ConfigLoad, KeysAndLists)
{
	TempDir dir;
	g_path_startup = dir.path();
	dir.file("prog.txt", "/bin/a\n/bin/b\n");
	dir.file("usr_prog.txt", "/bin/c\n");
	dir.file("ip.txt", "10.0.0.1\nfe80::1\n");
	dir.file("bad_ip.txt", "10.0.0.300\n");
	const std::string lists =
		"[block_prog]\nblock_prog_file = prog.txt\n"
		"usr_block_prog_file = usr_prog.txt\n"
		"[block_ip]\nblock_ip_file = " + dir.path() + "/ip.txt\n"
		"usr_block_ip_file = none.txt\n";
	const LoadCase cases[] = {
		{ "no global section", lists, 0, 1, 0, 3, 2 },
		{ "hex and word integers", "[global]\nverbose = 0x0\ndaemon = no\n" + lists,
		  0, 0, 0, 3, 2 },
		{ "daemon without block log", "[global]\ndaemon = 1\nlog_file = l\n",
		  -1, 1, 1, 0, 0 },
		{ "daemon with empty log paths", "[global]\ndaemon = 1\nlog_file =\n"
		  "block_log_file =\n", 0, 1, 1, 0, 0 },
		{ "missing main file", "[interp]\ninterp_file = nope.txt\n", -1, 1, 0, 0, 0 },
		{ "bad address", "[block_ip]\nblock_ip_file = bad_ip.txt\n", -1, 1, 0, 0, 0 },
		{ "json block log", "[global]\nblock_log_format = JSON\n", 0, 1, 0, 0, 0,
		  log_format::kJson },
		{ "text block log", "[global]\nblock_log_format = Text\n", 0, 1, 0, 0, 0 },
		{ "unknown block log format", "[global]\nblock_log_format = xml\n", -1, 1, 0, 0, 0 },
	};
	for (const LoadCase &c : cases) {
		daemon_config cfg;
		EXPECT_EQ(config_load(dir.file("c.ini", c.ini), &cfg), c.ret) << c.name;
		if (c.ret)
			continue;
		EXPECT_EQ(cfg.verbose, c.verbose) << c.name;
		EXPECT_EQ(cfg.daemon, c.daemon) << c.name;
		EXPECT_EQ(cfg.block_prog.items.size(), c.progs) << c.name;
		EXPECT_EQ(cfg.ip.items.size(), c.ips) << c.name;
		EXPECT_EQ(cfg.block_log_format, c.format) << c.name;
	}
	daemon_config cfg;
	EXPECT_EQ(config_load(dir.path() + "/absent.ini", &cfg), -1);
}

TEST(ResolvePath, RelativeToStartup)
{
	g_path_startup = "/opt/zentrope";
	EXPECT_EQ(resolve_path("./config/config.txt"), "/opt/zentrope/./config/config.txt");
	EXPECT_EQ(resolve_path("/etc/x.ini"), "/etc/x.ini");
	EXPECT_EQ(resolve_path(std::string(5000, 'a')).size(), 4095u);
}

} // namespace
