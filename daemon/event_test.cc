#include "event.h"

#include <arpa/inet.h>
#include <linux/netlink.h>

#include <cstring>

#include "netlink.h"
#include "test_util.h"

namespace {

TEST(DecodeMessage, TrustsNothing)
{
	struct {
		const char *name;
		std::vector<unsigned char> msg;
		size_t cut; // bytes received, 0 for all
		uint32_t sender;
		msg_status want;
		size_t records;
	} cases[] = {
		{ "one record", datagram(1, ZT_PAYLOAD_SIZE), 0, 0, msg_status::kRecords, 1 },
		{ "two records", datagram(2, 2 * ZT_PAYLOAD_SIZE), 0, 0, msg_status::kRecords, 2 },
		{ "short data length", datagram(1, ZT_PAYLOAD_SIZE - 1), 0, 0, msg_status::kRecords, 0 },
		{ "data length past message", datagram(1, ZT_PAYLOAD_SIZE + 1), 0, 0, msg_status::kBadLength, 0 },
		{ "received less than claimed", datagram(1, ZT_PAYLOAD_SIZE), 100, 0, msg_status::kBadLength, 0 },
		{ "from a process", datagram(1, ZT_PAYLOAD_SIZE), 0, 77, msg_status::kIgnored, 0 },
		{ "other connector", datagram(1, ZT_PAYLOAD_SIZE, 3), 0, 0, msg_status::kIgnored, 0 },
		{ "headers only", datagram(0, 0), 20, 0, msg_status::kBadLength, 0 },
	};
	for (auto &c : cases) {
		std::vector<event_payload> out;
		size_t n = c.cut ? c.cut : c.msg.size();
		EXPECT_EQ(decode_message(c.msg.data(), n, c.sender, &out), c.want) << c.name;
		EXPECT_EQ(out.size(), c.records) << c.name;
	}
}

TEST(ListenMessage, Bytes)
{
	auto m = listen_message(1234, 2, 1);
	const uint32_t want[10] = { 40, NLMSG_DONE, 3, 1234, 16, 256, 2, 0, 4, 1 };
	EXPECT_EQ(memcmp(m.data(), want, 40), 0);
}

} // namespace
