#include "lists_fixture.h"

namespace {

using RuleLists = Lists;

TEST_F(RuleLists, NamesNewestFirstNoDuplicates)
{
	EXPECT_EQ(update_block_prog("a"), 0);
	EXPECT_EQ(update_block_prog("b"), 0);
	EXPECT_EQ(update_block_prog("c"), 0);
	EXPECT_EQ(update_block_prog("b"), 0);
	EXPECT_EQ(atomic_read(&num_block_prog), 3);
	EXPECT_EQ(Dump(dump_block_prog), "c\nb\na\n");
	EXPECT_EQ(update_block_prog(""), -1);
	EXPECT_EQ(update_block_prog(nullptr), -1);
	EXPECT_EQ(delete_block_prog("zz"), 0);
	EXPECT_EQ(delete_block_prog("b"), 0);
	EXPECT_EQ(Dump(dump_block_prog), "c\na\n");
	EXPECT_EQ(atomic_read(&num_block_prog), 2);
}

TEST_F(RuleLists, InterpProgWithoutFile)
{
	EXPECT_EQ(update_interp_prog("/no/such/interp"), 0);
	EXPECT_EQ(update_interp_prog("/bin/sh"), 0);
	EXPECT_EQ(Dump(dump_interp_prog), "/bin/sh\n/no/such/interp\n");
	EXPECT_EQ(delete_interp_prog("/no/such/interp"), 0);
	EXPECT_EQ(Dump(dump_interp_prog), "/bin/sh\n");
}

TEST_F(RuleLists, UrlCaseSensitive)
{
	char a[URL_BUF_SIZE] = "\7example\3com";
	char b[URL_BUF_SIZE] = "\7EXAMPLE\3com";
	EXPECT_EQ(update_block_url(a), 0);
	EXPECT_EQ(update_block_url(b), 0);
	EXPECT_EQ(update_block_url(a), 0);
	EXPECT_EQ(atomic_read(&num_block_url), 2);
	EXPECT_EQ(Dump(dump_block_url), "EXAMPLE.com\nexample.com\n");
	EXPECT_EQ(update_block_url(nullptr), -EINVAL);
}

TEST_F(RuleLists, PortsInNetworkOrder)
{
	EXPECT_EQ(update_block_port(htons(80)), 0);
	EXPECT_EQ(update_block_port(htons(65535)), 0);
	EXPECT_EQ(update_block_port(0), -EINVAL);
	EXPECT_EQ(update_block_port(-5), -EINVAL);
	EXPECT_EQ(delete_block_port(0), -EINVAL);
	EXPECT_EQ(Dump(dump_block_port), "65535\n80\n");
}

TEST_F(RuleLists, Addresses)
{
	u8 v4[4] = { 10, 0, 0, 1 };
	u8 v6[16] = { 0x20, 0x01, 0x0d, 0xb8 };
	v6[15] = 1;
	EXPECT_EQ(update_block_ipv4(v4), 0);
	EXPECT_EQ(update_block_ipv4(v4), 0);
	EXPECT_EQ(update_block_ipv6(v6), 0);
	EXPECT_EQ(Dump(dump_block_ipv4), "10.0.0.1\n");
	EXPECT_EQ(Dump(dump_block_ipv6), "2001:db8::1\n");
	EXPECT_EQ(atomic_read(&num_block_ipv4), 1);
	EXPECT_EQ(delete_block_ipv4(v4), 0);
	EXPECT_EQ(Dump(dump_block_ipv4), "");
}

prog_info_struct *Info(const char *name, u32 dev, u64 ino)
{
	size_t len = strlen(name);
	auto *e = static_cast<prog_info_struct *>(
		calloc(1, sizeof(prog_info_struct) + len + 1));
	memcpy(e->name, name, len);
	e->dev = dev;
	e->ino = ino;
	return e;
}

TEST_F(RuleLists, ProgInfoByIdentity)
{
	ASSERT_EQ(update_block_prog_info(Info("/a", (8 << 20) | 1, 12)), 1);
	prog_info_struct *dup = Info("/hardlink", (8 << 20) | 1, 12);
	EXPECT_EQ(update_block_prog_info(dup), 0);
	free(dup);
	EXPECT_EQ(Dump(dump_block_prog_info), "/a dev:8,1 inode:12\n");
	// A probe whose identity matches nothing still matches by name.
	prog_info_struct *probe = Info("/a", 0, 0);
	EXPECT_EQ(delete_block_prog_info(probe), 0);
	free(probe);
	EXPECT_EQ(atomic_read(&num_block_prog_info), 0);
	EXPECT_EQ(update_block_prog_info(nullptr), -EINVAL);
}

TEST_F(RuleLists, DumpTruncation)
{
	ASSERT_EQ(update_block_prog("first"), 0);
	ASSERT_EQ(update_block_prog("second"), 0);
	// "second\n" fits in 10 with room to spare; "first\n" is cut.
	std::string buf(10, '\xff');
	EXPECT_EQ(dump_block_prog(buf.data(), 10), 9);
	EXPECT_EQ(std::string(buf.data()), "second\nfi");
	EXPECT_EQ(buf[9], '\0');
	// A line that exactly fills the space does not fit (no room for NUL).
	std::string b2(7, '\xff');
	EXPECT_EQ(dump_block_prog(b2.data(), 7), 6);
	EXPECT_EQ(std::string(b2.data()), "second");
	EXPECT_EQ(dump_block_prog(nullptr, 10), -EINVAL);
	EXPECT_EQ(dump_block_prog(buf.data(), 0), -EINVAL);
}

TEST_F(RuleLists, FatalSignalChangesNothing)
{
	ASSERT_EQ(update_block_prog("keep"), 0);
	shim_fatal_signal = true;
	EXPECT_EQ(update_block_prog("new"), -EINTR);
	EXPECT_EQ(delete_block_prog("keep"), -EINTR);
	EXPECT_EQ(clear_block_prog(), -EINTR);
	char buf[16] = "untouched";
	EXPECT_EQ(dump_block_prog(buf, sizeof(buf)), -EINTR);
	EXPECT_STREQ(buf, "untouched");
	shim_fatal_signal = false;
	EXPECT_EQ(Dump(dump_block_prog), "keep\n");
}

TEST_F(RuleLists, ExitClearsDespiteSignal)
{
	ASSERT_EQ(update_block_prog("x"), 0);
	ASSERT_EQ(update_block_port(htons(22)), 0);
	shim_fatal_signal = true;
	rule_lists_exit();
	shim_fatal_signal = false;
	EXPECT_EQ(atomic_read(&num_block_prog), 0);
	EXPECT_EQ(atomic_read(&num_block_port), 0);
	EXPECT_EQ(Dump(dump_block_prog), "");
}

TEST_F(RuleLists, AllocationFailureLeavesListAlone)
{
	ASSERT_EQ(update_block_prog("a"), 0);
	shim_fail_alloc_in = 1;
	EXPECT_EQ(update_block_prog("b"), -ENOMEM);
	EXPECT_EQ(Dump(dump_block_prog), "a\n");
	EXPECT_EQ(atomic_read(&num_block_prog), 1);
}

TEST_F(RuleLists, ClearEmptiesAndCounts)
{
	for (int i = 0; i < 2500; i++)
		ASSERT_EQ(update_block_port(htons(i + 1)), 0);
	EXPECT_EQ(atomic_read(&num_block_port), 2500);
	EXPECT_EQ(clear_block_port(), 0);
	EXPECT_EQ(atomic_read(&num_block_port), 0);
	EXPECT_EQ(Dump(dump_block_port), "");
}

} // namespace
