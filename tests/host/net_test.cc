// DNS questions and network targets: the parser on real query packets and
// hostile ones, and socket addresses judged only when whole.
#include "lists_fixture.h"
#include "dns_query.h"

#include <vector>

extern "C" {
#include "dns.h"
#include "zentrope_event.h"
}

namespace {

using zt::Query;

int Collect(const char *name, void *arg)
{
	static_cast<std::vector<std::string> *>(arg)->push_back(name);
	return 0;
}

// The names the walk hands over, or {"-"} when it does not read the header.
std::vector<std::string> Names(const std::string &pkt)
{
	if (pkt.size() < DNS_HDR_LEN)
		return { "-" };
	int count = dns_query_count(reinterpret_cast<const u8 *>(pkt.data()));
	if (count < 0)
		return { "-" };
	std::vector<std::string> out;
	char name[URL_BUF_SIZE];
	dns_find_question(reinterpret_cast<const u8 *>(pkt.data()), pkt.size(), count,
			  name, Collect, &out);
	return out;
}

TEST(Dns, Questions)
{
	const std::string longest(63, 'a'), l4 = longest + "." + longest + "." + longest + "." +
						 std::string(61, 'b');
	const std::string e = "\7example\3com", w = "\3www" + e;
	struct {
		const char *what;
		std::string pkt;
		std::vector<std::string> names;
	} rows[] = {
		{ "A", Query({ "example.com" }), { e } },
		{ "case kept", Query({ "ExAmple.COM" }), { "\7ExAmple\3COM" } },
		{ "several", Query({ "www.example.com", "example.com" }), { w, e } },
		{ "count limits", Query({ "www.example.com", "example.com" }, 1), { w } },
		{ "count beyond the data", Query({ "example.com" }, 9), { e } },
		{ "longest legal name", Query({ l4 }), { Query({ l4 }).substr(12, 254) } },
		{ "response", Query({ "example.com" }, -1, 0x81), { "-" } },
		{ "opcode", Query({ "example.com" }, -1, 0x10), { "-" } },
		{ "no question", Query({ "example.com" }, 0), {} },
		{ "header only", Query({}, 1), {} },
		{ "short", Query({ "example.com" }).substr(0, 11), { "-" } },
		{ "cut in a name", Query({ "example.com" }).substr(0, 17), {} },
		{ "name over 255 bytes", Query({}, 1) + std::string(300, '\x3f') + '\0', {} },
		{ "nine questions", Query(std::vector<std::string>(8, "a.test")) + Query({ "example.com" }).substr(12), std::vector<std::string>(8, "\1a\4test") },
		// Compression pointers lead to earlier labels, which resolvers follow.
		{ "pointer to a question", Query({ "com" }, 2) + "\7example\xc0\x0c" + std::string("\0\1\0\1", 4), { "\3com", e } },
		{ "pointer into the header", std::string("\x12\x34\1\0\0\1\3com\0\0", 12) + "\7example\xc0\x06" + std::string("\0\1\0\1", 4), { e } },
		{ "pointer to itself", Query({}, 2) + "\xc0\x0c" + std::string(5, '\0'), {} },
		{ "pointer loop", Query({}, 1) + "\4loop\xc0\x0c" + std::string(4, '\0'), {} },
		{ "forward pointer", Query({}, 1) + "\xc0\x20" + std::string(30, '\0'), {} },
		{ "cut pointer", Query({}, 1) + "\xc0", {} },
		{ "reserved label type", Query({}, 1) + "\x41" + std::string(70, 'a') + '\0', {} },
	};
	for (const auto &r : rows)
		EXPECT_EQ(Names(r.pkt), r.names) << r.what;
}

TEST(NetTarget, WholeAddressesOnly)
{
	u8 a[28] = {};
	u16 fam = ZT_AF_INET;
	memcpy(a, &fam, 2);
	a[2] = 0x1f, a[3] = 0x90;	// 8080
	net_target t;
	EXPECT_EQ(net_target_of(a, 8, &t), 0);
	EXPECT_EQ(t.ip, a + 4);
	EXPECT_EQ(t.port, htons(8080));
	EXPECT_EQ(net_target_of(a, 7, &t), -1);
	EXPECT_EQ(net_target_of(a, 1, &t), -1);
	EXPECT_EQ(net_target_of(nullptr, 16, &t), -1);
	fam = ZT_AF_INET6;
	memcpy(a, &fam, 2);
	EXPECT_EQ(net_target_of(a, 24, &t), 0);
	EXPECT_EQ(t.ip, a + 8);
	EXPECT_EQ(net_target_of(a, 23, &t), -1);
	fam = 1;	// AF_UNIX
	memcpy(a, &fam, 2);
	EXPECT_EQ(net_target_of(a, 28, &t), -1);
}

using NetLists = Lists;

TEST_F(NetLists, Matching)
{
	u8 v4[4] = { 10, 0, 0, 1 }, v6[16] = { 0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2 };
	ASSERT_EQ(update_block_ipv4(v4), 0);
	ASSERT_EQ(update_block_ipv6(v6), 0);
	ASSERT_EQ(update_block_port(htons(8080)), 0);
	char enc[URL_BUF_SIZE] = "\7example\3com";
	ASSERT_EQ(update_block_url(enc), 0);
	net_target t4{ ZT_AF_INET, htons(8080), v4 }, t6{ ZT_AF_INET6, 0, v6 };
	EXPECT_TRUE(net_addr_blocked(&t4));
	EXPECT_TRUE(net_addr_blocked(&t6));
	EXPECT_TRUE(net_port_blocked(&t4));
	EXPECT_FALSE(net_port_blocked(&t6)) << "port 0";
	u8 other[16] = { 0xfd };
	net_target o4{ ZT_AF_INET, htons(80), other }, o6{ ZT_AF_INET6, 0, other };
	EXPECT_FALSE(net_addr_blocked(&o4));
	EXPECT_FALSE(net_addr_blocked(&o6));
	EXPECT_FALSE(net_port_blocked(&o4));
	u8 mapped[16] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1 };
	net_target m6{ ZT_AF_INET6, 0, mapped };
	EXPECT_TRUE(net_addr_blocked(&m6)) << "IPv4-mapped";
	mapped[9] = 1;
	EXPECT_FALSE(net_addr_blocked(&m6));
	EXPECT_EQ(exist_block_url_nocase("\7ExAMPLE\3cOm"), 1);
	EXPECT_EQ(exist_block_url_nocase("\3www\7example\3com"), 0);
	// The index follows deletes and clears; spellings are elements of their own.
	char upper[URL_BUF_SIZE] = "\7EXAMPLE\3com";
	ASSERT_EQ(update_block_url(upper), 0);
	ASSERT_EQ(delete_block_url(enc), 0);
	EXPECT_EQ(exist_block_url_nocase("\7example\3com"), 1) << "the other spelling";
	ASSERT_EQ(clear_block_url(), 0);
	EXPECT_EQ(exist_block_url_nocase("\7example\3com"), 0);
	ASSERT_EQ(update_block_url(enc), 0);
	EXPECT_EQ(exist_block_url_nocase("\7example\3COM"), 1);
	shim_fatal_signal = true;
	EXPECT_TRUE(net_addr_blocked(&t4)) << "lookups never wait";
}

} // namespace
