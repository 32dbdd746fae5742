#include "event.h"

#include <arpa/inet.h>
#include <linux/netlink.h>

#include <cstring>

#include "netlink.h"
#include "test_util.h"

namespace {

event_payload record(uint32_t type, uint32_t kind, const char *hash = "")
{
	event_payload r = {};
	r.header.msg_type = ZT_MSG_EVENT;
	r.header.sequence = 17;
	r.header.time_ns = 1234567890123456789ull;
	r.event.type = type;
	r.event.kind = kind;
	r.event.pid = 4242;
	strcpy(r.event.comm, "curl");
	strcpy(r.event.prog, "/usr/bin/curl");
	strcpy(r.event.url, "example.com");
	strcpy(r.event.hash, hash);
	return r;
}

void set_v4(event_payload *r, const char *ip, uint16_t port)
{
	uint16_t fam = ZT_AF_INET, p = htons(port);
	memcpy(r->event.addr, &fam, 2);
	memcpy(r->event.addr + ZT_ADDR_PORT_OFF, &p, 2);
	inet_pton(AF_INET, ip, r->event.addr + ZT_ADDR_IN4_OFF);
}

TEST(FormatBlockLine, EveryCase)
{
	setenv("TZ", "UTC", 1);
	tzset();
	const std::string t = "17 2009-02-13T23:31:30.123456 Blocking ";
	const std::string h(40, 'a');
	struct {
		event_payload rec;
		std::string tail;
	} cases[] = {
		{ record(0, 6), "program execing pid:4242 comm:curl prog:/usr/bin/curl\n" },
		{ record(0, 6, h.c_str()), "program execing pid:4242 comm:curl hash:" + h + "\n" },
		{ record(5, 5, h.c_str()), "hashlist hashlist pid:4242 comm:curl prog:/usr/bin/curl hash:" + h + "\n" },
		{ record(3, 3), "dnslookuping url:example.com pid:4242 comm:curl prog:/usr/bin/curl\n" },
		{ record(1, 1), "ip connecting to :0 pid:4242 comm:curl prog:/usr/bin/curl\n" },
		{ record(7, 7, h.c_str()), "port binding to :0 pid:4242 comm:curl hash:" + h + "\n" },
		{ record(1, 6), "" },
		{ record(1, 9), "" },
	};
	for (auto &c : cases)
		EXPECT_EQ(format_block_line(c.rec), c.tail.empty() ? "" : t + c.tail);

	event_payload r = record(2, 2);
	set_v4(&r, "192.0.2.7", 443);
	EXPECT_EQ(format_block_line(r),
		  t + "ip sendmsging to 192.0.2.7:443 pid:4242 comm:curl prog:/usr/bin/curl\n");
	memset(r.event.comm, 'x', sizeof(r.event.comm)); // unterminated
	EXPECT_NE(format_block_line(r).find("comm:xxxxxxxxxxxxxxxx prog"), std::string::npos);
	EXPECT_EQ(event_time_text(5000), "1970-01-01T00:00:00.5");
}

// A datagram as the kernel sends it: netlink header, connector header,
// data_len bytes of records.
std::vector<unsigned char> datagram(size_t records, size_t data_len, uint32_t idx = ZT_CN_IDX)
{
	std::vector<unsigned char> m(36 + records * ZT_PAYLOAD_SIZE);
	uint32_t len = m.size(), val = ZT_CN_VAL;
	uint16_t type = NLMSG_DONE, dl = data_len;
	memcpy(&m[0], &len, 4);
	memcpy(&m[4], &type, 2);
	memcpy(&m[16], &idx, 4);
	memcpy(&m[20], &val, 4);
	memcpy(&m[32], &dl, 2);
	for (size_t i = 0; i < records; i++) {
		event_payload r = record(0, 6);
		memcpy(&m[36 + i * ZT_PAYLOAD_SIZE], &r, sizeof(r));
	}
	return m;
}

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
