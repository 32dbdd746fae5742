#include "push.h"

#include "fake_module.h"
#include "reload.h"
#include "test_util.h"

namespace {

rule_list list_of(std::vector<std::string> items)
{
	return rule_list{ std::move(items) };
}

TEST(PushList, FullListStopsThatListOnly)
{
	FakeModule mod;
	mod.limit = 3;
	daemon_config cfg;
	cfg.block_prog = list_of({ "/a", "/b", "/c", "/d", "/e" });
	cfg.port = list_of({ "80 443", "bad", "22" });
	cfg.ip = list_of({ "10.0.0.1", "fe80::1" });
	testing::internal::CaptureStderr();
	EXPECT_EQ(push_all(&cfg), -1); // the bad port fails the push
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find("is full! Max num is 10000"), std::string::npos);
	EXPECT_NE(err.find("write bad to " ZT_CTL_DIR "block_port fail!"), std::string::npos);
	EXPECT_EQ(mod.list(kCtlProg), (std::vector<std::string>{ "/c", "/b", "/a" }));
	EXPECT_EQ(mod.list(kCtlPort), (std::vector<std::string>{ "22", "443", "80" }));
	EXPECT_TRUE(cfg.block_prog.items.empty());
	EXPECT_TRUE(mod.list(kCtlIpv4).empty()) << "a failed step ends the push";
}

TEST(PushAll, AddressesGoToTheirFamily)
{
	FakeModule mod;
	daemon_config cfg;
	cfg.ip = list_of({ "10.0.0.1", "fe80::1" });
	EXPECT_EQ(push_all(&cfg), 0);
	EXPECT_TRUE(mod.has(kCtlIpv4, "10.0.0.1"));
	EXPECT_TRUE(mod.has(kCtlIpv6, "fe80::1"));
}

TEST(CopyHashFile, StopsAtWholeRecords)
{
	FakeModule mod;
	TempDir dir;
	EXPECT_EQ(copy_hash_file(dir.file("h.bin", std::string(45, 'x'))), 40);
	testing::internal::CaptureStderr();
	EXPECT_EQ(copy_hash_file(dir.path() + "/none"), -1);
	EXPECT_NE(testing::internal::GetCapturedStderr().find("open read file:"),
		  std::string::npos);
}

TEST(WriteFlag, RefusedValueIsAnError)
{
	FakeModule mod;
	testing::internal::CaptureStderr();
	EXPECT_EQ(write_flag(kStrictPath, 2), -1);
	EXPECT_NE(testing::internal::GetCapturedStderr().find("write 2 to"), std::string::npos);
	EXPECT_EQ(write_flag(kStrictPath, 1), 0);
}

struct DiffCase {
	list_kind kind;
	std::vector<std::string> want;
	std::string dump;
	std::vector<std::string> add, del;
};

TEST(DiffList, ComparesTheFormsTheModuleStores)
{
	const DiffCase cases[] = {
		{ list_kind::kName, { "/bin/a", "/bin/b x" }, "x\n/bin/a\n/bin/c\n/bin/a dev:8,1 inode:12\n",
		  { "/bin/b x" }, { "/bin/c" } },
		{ list_kind::kUrl, { "Ex..com.", "b.org" }, "Ex.com\nc.net\n", { "b.org" }, { "c.net" } },
		{ list_kind::kPort, { "080", "443 22" }, "80\n22\n7\n", { "443 22" }, { "7" } },
		{ list_kind::kAddress, { "fe80:0::1", "10.0.0.1" }, "fe80::1\n10.0.0.2\n",
		  { "10.0.0.1" }, { "10.0.0.2" } },
	};
	for (const DiffCase &c : cases) {
		list_diff d = diff_list(c.kind, list_of(c.want), c.dump);
		EXPECT_EQ(d.add, c.add) << c.dump;
		EXPECT_EQ(d.del, c.del) << c.dump;
	}
}

// The old configuration, then a reload that keeps, drops and adds entries
// of every list: a kept entry is present after every single command.
TEST(ReloadApply, KeptRulesNeverAbsent)
{
	FakeModule mod;
	mod.limit = 3;
	TempDir dir;
	const std::string h1(20, '\x01'), h2(20, '\x02'), h3(20, '\x03');
	daemon_config old;
	old.block_prog = list_of({ "/keep", "/old", "/x" });
	old.ip = list_of({ "10.0.0.1", "::1" });
	old.block_hash_bin_file = dir.file("old.bin", h1 + h2);
	ASSERT_EQ(push_all(&old), 0);

	daemon_config fresh;
	fresh.block_prog = list_of({ "/keep", "/new", "/x" }); // full: waits for room
	fresh.ip = list_of({ "10.0.0.1", "::2" });
	fresh.block_hash_bin_file = dir.file("new.bin", h2 + h3);
	mod.after_write = [&] {
		EXPECT_TRUE(mod.has(kCtlProg, "/keep")) << mod.commands.back();
		EXPECT_TRUE(mod.has(kCtlIpv4, "10.0.0.1")) << mod.commands.back();
		EXPECT_NE(mod.store().find(h2), std::string::npos) << mod.commands.back();
	};
	size_t before = mod.commands.size();
	EXPECT_EQ(reload_apply(&fresh, false), 0);
	mod.after_write = nullptr;
	EXPECT_TRUE(mod.has(kCtlProg, "/new"));
	EXPECT_FALSE(mod.has(kCtlProg, "/old"));
	EXPECT_TRUE(mod.has(kCtlIpv6, "::2"));
	EXPECT_FALSE(mod.has(kCtlIpv6, "::1"));
	EXPECT_EQ(mod.store(), h2 + h3);
	for (size_t i = before; i < mod.commands.size(); i++)
		EXPECT_EQ(mod.commands[i].find("CLEAR"), std::string::npos) << mod.commands[i];

	// The same configuration again writes nothing.
	before = mod.commands.size();
	daemon_config same;
	same.block_prog = list_of({ "/keep", "/new", "/x" });
	same.ip = list_of({ "10.0.0.1", "::2" });
	same.block_hash_bin_file = dir.path() + "/new.bin";
	EXPECT_EQ(reload_apply(&same, false), 0);
	EXPECT_EQ(mod.commands.size(), before);
}

TEST(ReloadApply, FailureKeepsTheOldRules)
{
	FakeModule mod;
	daemon_config old;
	old.port = list_of({ "80" });
	ASSERT_EQ(push_all(&old), 0);
	daemon_config fresh;
	fresh.port = list_of({ "bad", "443" });
	testing::internal::CaptureStderr();
	EXPECT_EQ(reload_apply(&fresh, false), -1);
	testing::internal::GetCapturedStderr();
	EXPECT_TRUE(mod.has(kCtlPort, "80"));
}

} // namespace
