#include "config_check.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "config.h"
#include "test_util.h"

namespace {

std::string lines(size_t n, const std::string &prefix)
{
	std::string s;
	for (size_t i = 1; i <= n; i++)
		s += prefix + std::to_string(i) + "\n";
	return s;
}

struct CheckCase {
	const char *name;
	std::vector<std::pair<std::string, std::string>> files; // c.ini is checked
	// Substrings of problem_text, from "file:line: ", so an error's cannot
	// match a warning (that says "warning: " next).
	std::vector<std::string> want;
};

TEST(ConfigCheck, BrokenConfigurations)
{
	const std::string h40(40, 'a');
	const CheckCase cases[] = {
		{ "no file", {}, { "c.ini: cannot read: No such file" } },
		{ "syntax error", { { "c.ini", "[global]\nstrict = 1\nstrict\n" } },
		  { "c.ini:3: syntax error: strict" } },
		{ "daemon without logs, bad format",
		  { { "c.ini", "[Global]\nDAEMON = 1\nlog_file = l\nblock_log_format = xml\n" } },
		  { "c.ini:2: global:daemon is 1 but",
		    "c.ini:4: global:block_log_format is xml, not text or json" } },
		{ "switches", { { "c.ini", "[global]\nstrict = 2\nquite = yes\nverbose = 0x1\n" } },
		  { "c.ini:2: global:strict is 2, not 0 or 1",
		    "c.ini:3: warning: global:quite is yes, not a number: taken as 0" } },
		{ "unknown names",
		  { { "c.ini", "top = 1\n[global]\nstirct = 1\n[blok_url]\nx = 1\n"
			       "[block_url]\nblock_url_file = u\n" },
		    { "u", "" } },
		  { "c.ini:1: warning: key top before any section",
		    "c.ini:3: warning: unknown key stirct in [global]",
		    "c.ini:4: warning: unknown section [blok_url]" } },
		{ "unreadable lists",
		  { { "c.ini", "[block_prog]\nblock_prog_file = /nonexistent-zt\n"
			       "[block_url]\nusr_block_url_file = /\n"
			       "[block_hash]\nblock_hash_bin_file = /\n"
			       "usr_block_hash_file = none\n" } },
		  { "c.ini:2: cannot read /nonexistent-zt (block_prog:block_prog_file): No such",
		    "c.ini:4: cannot read / (block_url:usr_block_url_file): Is a directory",
		    "c.ini:6: cannot read / (block_hash:block_hash_bin_file): Is a" } },
		{ "entries the module refuses",
		  { { "c.ini", "[block_ip]\nblock_ip_file = ip\n[block_port]\nblock_port_file = port\n"
			       "[block_hash]\nusr_block_hash_file = hash\n"
			       "[block_url]\nblock_url_file = url\n"
			       "[block_prog]\nblock_prog_file = prog\n" },
		    { "ip", "10.0.0.1\n  fe80::1\n10.0.0.1 10.0.0.2\n" },
		    { "port", "80  443 +22 65535\n70000\nx1 0\n-1\n" },
		    { "hash", h40 + ":123 " + h40.substr(1) + "g\n\nabc\n" },
		    { "url", "a.com ..a..b. ..\n" + std::string(257, 'a') + " " +
				     std::string(255, 'a') + " " + std::string(254, 'a') + "\n" },
		    { "prog", std::string("/bin/a\n/bin/\0b\n", 15) + std::string(5000, 'p') } },
		  { "/ip:3: 10.0.0.1 10.0.0.2 is not an IPv4 or IPv6 address",
		    "/port:2: port 70000 is above 65535", "/port:3: port x1 is not a decimal",
		    "/port:3: port 0 is refused", "/port:4: port -1 is not a decimal",
		    "/hash:1: hash aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaag is not 40",
		    "/hash:3: hash abc is not", "/url:1: domain .. has no label",
		    "/url:2: domain aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa... is over 256",
		    "/url:2: domain aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa... is over 255 bytes encoded",
		    "/prog:2: warning: NUL byte", "/prog:3: warning: line over 4095" } },
		{ "module limits",
		  { { "c.ini", "[block_port]\nblock_port_file = port\nusr_block_port_file = usr\n"
			       "[block_hash]\nblock_hash_bin_file = bin\n" },
		    { "port", lines(9999, "") + "1 2\n" }, { "usr", "10000 10001\n" },
		    { "bin", std::string(30, 'x') } },
		  { "/usr:1: warning: block_port reaches the module's limit of 10000",
		    "/bin: warning: size 30 is not a multiple of 20: the last 10" } },
	};
	for (const CheckCase &c : cases) {
		TempDir dir;
		g_path_startup = dir.path();
		for (const auto &[name, text] : c.files)
			dir.file(name, text);
		std::vector<config_problem> got = config_check(dir.path() + "/c.ini");
		std::string all;
		for (const config_problem &p : got)
			all += problem_text(p) + "\n";
		EXPECT_EQ(got.size(), c.want.size()) << c.name << ":\n" << all;
		for (const std::string &w : c.want)
			EXPECT_NE(all.find(w), std::string::npos) << c.name << ": " << w << "\n" << all;
	}
}

TEST(ConfigCheck, ShippedConfigurationHasNoError)
{
	std::string root = __FILE__;
	root.resize(root.rfind("/daemon/"));
	g_path_startup = root;
	for (const config_problem &p : config_check(root + "/config/config.txt"))
		EXPECT_FALSE(p.error) << problem_text(p);
}

} // namespace
