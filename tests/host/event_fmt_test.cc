#include <gtest/gtest.h>

#include <linux/connector.h>
#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

#include "kmod.h"

extern "C" {
#include "event_fmt.h"
}

namespace {

const char kHex[] = "00112233445566778899aabbccddeeff01234567";

struct Fields {
	uint32_t type, kind;
	int pid;
	const char *comm, *prog, *hash, *url;
};

std::unique_ptr<block_event> Make(const Fields &f)
{
	auto ev = std::make_unique<block_event>();
	memset(ev.get(), 0, sizeof(*ev));
	ev->type = f.type;
	ev->kind = f.kind;
	ev->pid = f.pid;
	strcpy(ev->comm, f.comm ? f.comm : "");
	strcpy(ev->prog, f.prog ? f.prog : "");
	strcpy(ev->hash, f.hash ? f.hash : "");
	strcpy(ev->url, f.url ? f.url : "");
	return ev;
}

void SetV4(block_event *ev, const char *ip, uint16_t port)
{
	sockaddr_in sa{};
	sa.sin_family = AF_INET;
	sa.sin_port = htons(port);
	inet_pton(AF_INET, ip, &sa.sin_addr);
	memcpy(ev->addr, &sa, sizeof(sa));
}

void SetV6(block_event *ev, const char *ip, uint16_t port)
{
	sockaddr_in6 sa{};
	sa.sin6_family = AF_INET6;
	sa.sin6_port = htons(port);
	inet_pton(AF_INET6, ip, &sa.sin6_addr);
	memcpy(ev->addr, &sa, sizeof(sa));
}

// The line of @ev, formatted into an exact-size heap buffer.
std::string Line(const block_event *ev, int size = 8192, int quiet = 0)
{
	std::unique_ptr<char[]> buf(new char[size]);
	memset(buf.get(), 'X', size);
	int n = event_log_line(buf.get(), size, ev, quiet);
	EXPECT_GE(n, 0);
	EXPECT_LT(n, size);
	EXPECT_EQ(strlen(buf.get()), static_cast<size_t>(n));
	return std::string(buf.get(), n);
}

TEST(EventWire, MatchesSocketAndConnectorLayouts)
{
	EXPECT_EQ(sizeof(cn_msg), static_cast<size_t>(ZT_CN_HDR_SIZE));
	EXPECT_EQ(ZT_CN_GROUP_MASK, 0x8000u);
	EXPECT_EQ(offsetof(sockaddr_in, sin_family), size_t{ ZT_ADDR_FAMILY_OFF });
	EXPECT_EQ(offsetof(sockaddr_in, sin_port), size_t{ ZT_ADDR_PORT_OFF });
	EXPECT_EQ(offsetof(sockaddr_in, sin_addr), size_t{ ZT_ADDR_IN4_OFF });
	EXPECT_EQ(offsetof(sockaddr_in6, sin6_port), size_t{ ZT_ADDR_PORT_OFF });
	EXPECT_EQ(offsetof(sockaddr_in6, sin6_addr), size_t{ ZT_ADDR_IN6_OFF });
	EXPECT_EQ(sizeof(sockaddr_storage), size_t{ ZT_ADDR_SIZE });
	EXPECT_EQ(ZT_AF_INET, AF_INET);
	EXPECT_EQ(ZT_AF_INET6, AF_INET6);
	// Record offsets as a receiver computes them from the datagram start.
	EXPECT_EQ(16 + ZT_CN_HDR_SIZE + ZT_EVENT_HEADER_SIZE +
			  offsetof(block_event, comm),
		  size_t{ 16 + 20 + 24 + 4545 });
}

TEST(EventWords, TableAndBounds)
{
	const char *words[] = { "program",    "connecting", "sendmsging",
				"dnslookuping", "recvmsging", "hashlist",
				"execing",    "binding" };
	for (uint32_t k = 0; k < 8; k++)
		EXPECT_STREQ(event_kind_word(k), words[k]);
	EXPECT_EQ(event_kind_word(8), nullptr);
	EXPECT_EQ(event_kind_word(0xffffffffu), nullptr);
}

TEST(EventLine, EveryForm)
{
	struct Case {
		Fields f;
		int family; // 0 none, 4, 6, or another value as a raw family
		const char *ip;
		uint16_t port;
		const char *line;
	} cases[] = {
		{ { 0, 6, 4242, "bash", "/usr/bin/nc", "", "" }, 0, "", 0,
		  "zentrope: printk_event Blocking program execing pid:4242 comm:bash prog:/usr/bin/nc\n" },
		{ { 0, 6, 4242, "bash", "/usr/bin/nc", kHex, "" }, 0, "", 0,
		  "zentrope: printk_event Blocking program execing pid:4242 comm:bash hash:00112233445566778899aabbccddeeff01234567\n" },
		{ { 0, 1, 9, "curl", "", "", "" }, 4, "192.0.2.7", 443,
		  "zentrope: printk_event Blocking program connecting pid:9 comm:curl prog:\n" },
		{ { 0, 0, -1, "x", "p", "", "" }, 0, "", 0,
		  "zentrope: printk_event Blocking program program pid:-1 comm:x prog:p\n" },
		{ { 5, 6, 7, "sh", "/bin/x", kHex, "" }, 0, "", 0,
		  "zentrope: printk_event Blocking hashlist execing pid:7 comm:sh prog:/bin/x hash:00112233445566778899aabbccddeeff01234567\n" },
		{ { 5, 6, 7, "sh", "", "", "" }, 0, "", 0,
		  "zentrope: printk_event Blocking hashlist execing pid:7 comm:sh prog: hash:\n" },
		{ { 1, 1, 4250, "curl", "/usr/bin/curl", "", "" }, 4, "192.0.2.7", 443,
		  "zentrope: printk_event Blocking ip connecting to 192.0.2.7:443 pid:4250 comm:curl prog:/usr/bin/curl\n" },
		{ { 2, 2, 11, "nc", "", kHex, "" }, 6, "2001:db8::1", 53,
		  "zentrope: printk_event Blocking ip sendmsging to 2001:db8::1:53 pid:11 comm:nc hash:00112233445566778899aabbccddeeff01234567\n" },
		{ { 4, 4, 12, "wget", "wget", "", "" }, 6, "::ffff:10.1.2.3", 65535,
		  "zentrope: printk_event Blocking ip recvmsging to ::ffff:10.1.2.3:65535 pid:12 comm:wget prog:wget\n" },
		{ { 1, 1, 13, "a", "/a", "", "" }, 1, "", 80,
		  "zentrope: printk_event Blocking ip connecting to :0 pid:13 comm:a prog:/a\n" },
		{ { 7, 7, 14, "srv", "/srv", "", "" }, 4, "0.0.0.0", 8080,
		  "zentrope: printk_event Blocking port binding to 0.0.0.0:8080 pid:14 comm:srv prog:/srv\n" },
		{ { 7, 7, 14, "srv", "/srv", kHex, "" }, 6, "::", 22,
		  "zentrope: printk_event Blocking port binding to :::22 pid:14 comm:srv hash:00112233445566778899aabbccddeeff01234567\n" },
		{ { 3, 3, 15, "dig", "/usr/bin/dig", "", "example.com" }, 4, "192.0.2.53", 53,
		  "zentrope: printk_event Blocking dnslookuping url:example.com pid:15 comm:dig prog:/usr/bin/dig\n" },
		{ { 3, 3, 15, "dig", "", kHex, "example.com" }, 0, "", 0,
		  "zentrope: printk_event Blocking dnslookuping url:example.com pid:15 comm:dig hash:00112233445566778899aabbccddeeff01234567\n" },
		// The kind, not the type, picks the line of a network event.
		{ { 1, 3, 16, "q", "", "", "a.b" }, 0, "", 0,
		  "zentrope: printk_event Blocking dnslookuping url:a.b pid:16 comm:q prog:\n" },
		{ { 3, 2, 17, "q", "", "", "" }, 4, "10.0.0.1", 1,
		  "zentrope: printk_event Blocking ip sendmsging to 10.0.0.1:1 pid:17 comm:q prog:\n" },
	};
	for (const auto &c : cases) {
		auto ev = Make(c.f);
		if (c.family == 4)
			SetV4(ev.get(), c.ip, c.port);
		else if (c.family == 6)
			SetV6(ev.get(), c.ip, c.port);
		else if (c.family) {
			uint16_t fam = c.family;
			memcpy(ev->addr, &fam, 2);
			ev->addr[2] = c.port >> 8;
			ev->addr[3] = c.port & 0xff;
		}
		EXPECT_EQ(Line(ev.get()), c.line);
		EXPECT_EQ(Line(ev.get(), 8192, 1), "") << "quite must silence: " << c.line;
	}
}

TEST(EventLine, ClassesWithoutLine)
{
	struct Case {
		uint32_t type, kind;
	} cases[] = {
		{ 1, 6 }, { 1, 0 }, { 2, 5 }, { 3, 6 }, { 4, 0 }, { 7, 5 },
		{ 6, 6 }, { 0xffffffffu, 0 }, { 0, 8 }, { 5, 8 }, { 1, 9 },
		{ 7, 0xffffffffu }, { 0, 0x80000000u },
	};
	for (const auto &c : cases) {
		auto ev = Make({ c.type, c.kind, 1, "c", "/p", kHex, "u" });
		SetV4(ev.get(), "1.2.3.4", 5);
		EXPECT_EQ(Line(ev.get()), "") << c.type << "/" << c.kind;
	}
	char buf[16] = "untouched";
	EXPECT_EQ(event_log_line(buf, sizeof(buf), nullptr, 0), 0);
	EXPECT_STREQ(buf, "");
	EXPECT_EQ(event_log_line(nullptr, 16, nullptr, 0), 0);
}

TEST(EventLine, PortPrintedInHostOrderAddrKeepsNetworkOrder)
{
	auto ev = Make({ 1, 1, 1, "c", "/p", "", "" });
	SetV4(ev.get(), "198.51.100.9", 0x1f90);
	const auto *raw = reinterpret_cast<const uint8_t *>(ev.get());
	std::string line = Line(ev.get());
	EXPECT_NE(line.find("to 198.51.100.9:8080 "), std::string::npos) << line;
	EXPECT_EQ(raw[26], 0x1f);
	EXPECT_EQ(raw[27], 0x90);
	EXPECT_EQ(raw[24] | raw[25] << 8, AF_INET);
	EXPECT_EQ(memcmp(raw + 28, "\xc6\x33\x64\x09", 4), 0);
}

// Unterminated fields print exactly up to their bound, never into the
// next field.
TEST(EventLine, UnterminatedFieldsStayInBounds)
{
	auto ev = Make({ 5, 6, 1, "", "", "", "" });
	memset(ev->prog, 'p', sizeof(ev->prog));
	memset(ev->hash, 'h', sizeof(ev->hash));
	memset(ev->comm, 'c', sizeof(ev->comm));
	memset(ev->padding, 'Z', sizeof(ev->padding));
	std::string line = Line(ev.get());
	std::string want = "zentrope: printk_event Blocking hashlist execing pid:1 comm:" +
			   std::string(16, 'c') + " prog:" + std::string(4096, 'p') +
			   " hash:" + std::string(41, 'h') + "\n";
	EXPECT_EQ(line, want);

	auto dns = Make({ 3, 3, 1, "c", "", "", "" });
	memset(dns->url, 'u', sizeof(dns->url));
	memset(dns->prog, 'P', sizeof(dns->prog));
	EXPECT_EQ(Line(dns.get()), "zentrope: printk_event Blocking dnslookuping url:" +
					   std::string(256, 'u') + " pid:1 comm:c prog:" +
					   std::string(4096, 'P') + "\n");
}

TEST(EventLine, CutToBuffer)
{
	auto ev = Make({ 0, 6, 4242, "bash", "/usr/bin/nc", "", "" });
	const std::string full = Line(ev.get());
	for (int size : { 1, 2, 10, 40, static_cast<int>(full.size()),
			  static_cast<int>(full.size()) + 1 })
		EXPECT_EQ(Line(ev.get(), size), full.substr(0, size - 1)) << size;

	memset(ev->prog, 'p', sizeof(ev->prog) - 1);
	EXPECT_EQ(Line(ev.get(), EVENT_LINE_MAX).size(), size_t{ EVENT_LINE_MAX - 1 });
}

TEST(EventIdentity, Rule)
{
	const u8 digest[SHA1_DIGEST_LEN] = { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
					     0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd,
					     0xee, 0xff, 0x01, 0x23, 0x45, 0x67 };
	struct Case {
		event_identity id;
		const char *hash, *prog;
		uint32_t from_prog_info;
	} cases[] = {
		{ { digest, 1, "rule", "/bin/p", "p" }, kHex, "", 0 },
		{ { digest, 0, "rule", "/bin/p", "p" }, "", "rule", 1 },
		{ { nullptr, 1, nullptr, "/bin/p", "p" }, "", "/bin/p", 0 },
		{ { nullptr, 0, "", "/bin/p", "p" }, "", "", 1 },
		{ { digest, 0, nullptr, "/bin/p", "p" }, "", "/bin/p", 0 },
		{ { nullptr, 0, nullptr, "", "p" }, "", "p", 0 },
		{ { nullptr, 0, nullptr, nullptr, "p" }, "", "p", 0 },
		{ { nullptr, 0, nullptr, nullptr, "" }, "", "", 0 },
		{ { nullptr, 0, nullptr, nullptr, nullptr }, "", "", 0 },
	};
	for (const auto &c : cases) {
		auto ev = Make({ 0, 1, 1, "c", "", "", "" });
		event_set_identity(ev.get(), &c.id);
		EXPECT_STREQ(ev->hash, c.hash);
		EXPECT_STREQ(ev->prog, c.prog);
		EXPECT_EQ(ev->from_prog_info, c.from_prog_info);
	}

	std::string longpath(5000, 'l');
	event_identity id{ nullptr, 0, nullptr, longpath.c_str(), nullptr };
	auto ev = Make({ 0, 1, 1, "c", "", "", "" });
	memset(ev->hash, 0, sizeof(ev->hash));
	event_set_identity(ev.get(), &id);
	EXPECT_EQ(std::string(ev->prog), std::string(ZT_PROG_SIZE - 1, 'l'));
	EXPECT_EQ(ev->hash[0], '\0') << "prog must not spill into hash";
}

TEST(EventBuilders, HashBlock)
{
	u8 digest[32];
	for (int i = 0; i < 32; i++)
		digest[i] = 0xa0 + i;
	const std::string hex20 = "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3";
	struct Case {
		const char *path;
		int len;
		const char *hash, *prog;
	} cases[] = {
		{ "/bin/x", 20, hex20.c_str(), "/bin/x" },
		{ nullptr, 20, hex20.c_str(), "" },
		{ "/bin/x", 32, hex20.c_str(), "/bin/x" },
		{ "/bin/x", 1, "a0", "/bin/x" },
		{ "/bin/x", 0, "", "/bin/x" },
		{ "/bin/x", -5, "", "/bin/x" },
	};
	for (const auto &c : cases) {
		auto ev = Make({ 9, 9, 3, "c", "", "", "" });
		event_fill_hash_block(ev.get(), c.path, digest, c.len);
		EXPECT_EQ(ev->type, 5u);
		EXPECT_EQ(ev->kind, 6u);
		EXPECT_EQ(ev->from_prog_info, 0u);
		EXPECT_STREQ(ev->hash, c.hash);
		EXPECT_STREQ(ev->prog, c.prog);
	}
	auto ev = Make({ 9, 9, 3, "c", "", "", "" });
	event_fill_hash_block(ev.get(), "/p", nullptr, 20);
	EXPECT_STREQ(ev->hash, "");
}

TEST(EventBuilders, ProgInfoBlockAndTask)
{
	auto ev = Make({ 9, 9, 3, "", "", "", "" });
	event_fill_prog_info_block(ev.get(), "rule-name");
	EXPECT_EQ(ev->type, 0u);
	EXPECT_EQ(ev->kind, 6u);
	EXPECT_EQ(ev->from_prog_info, 1u);
	EXPECT_STREQ(ev->prog, "rule-name");
	event_fill_prog_info_block(ev.get(), nullptr);
	EXPECT_STREQ(ev->prog, "rule-name");

	// comm is copied whole, bytes after its terminator included.
	const char comm[ZT_COMM_SIZE] = { 'a', 'b', 0, 'z', 'z', 'z', 'z', 'z',
					  'z', 'z', 'z', 'z', 'z', 'z', 'z', 0 };
	event_set_task(ev.get(), 77, comm);
	EXPECT_EQ(ev->pid, 77);
	EXPECT_EQ(memcmp(ev->comm, comm, ZT_COMM_SIZE), 0);
	for (uint8_t b : ev->padding)
		EXPECT_EQ(b, 0);
}

TEST(EventPayload, LengthChecks)
{
	struct Case {
		int len;
		bool ok;
	} cases[] = {
		{ -1, false }, { 0, false }, { 1, true }, { 4567, true },
		{ BLOCK_EVENT_SIZE, true }, { BLOCK_EVENT_SIZE + 1, false },
		{ 1 << 30, false },
	};
	for (const auto &c : cases)
		EXPECT_EQ(event_len_ok(c.len) != 0, c.ok) << c.len;
}

TEST(EventPayload, Fill)
{
	auto ev = Make({ 1, 1, 5, "comm", "/p", kHex, "" });
	SetV4(ev.get(), "1.2.3.4", 80);
	auto p = std::make_unique<event_payload>();

	memset(p.get(), 0, sizeof(*p));
	EXPECT_EQ(event_payload_fill(p.get(), ZT_MSG_EVENT, 3, 17, 99, ev.get(),
				     BLOCK_EVENT_SIZE),
		  BLOCK_EVENT_SIZE);
	EXPECT_EQ(p->header.msg_type, 1u);
	EXPECT_EQ(p->header.cpu, 3u);
	EXPECT_EQ(p->header.sequence, 17u);
	EXPECT_EQ(p->header.time_ns, 99u);
	EXPECT_EQ(memcmp(&p->event, ev.get(), sizeof(*ev)), 0);

	// A short length copies only that prefix, from an object of that size.
	std::vector<uint8_t> prefix(100);
	memcpy(prefix.data(), ev.get(), prefix.size());
	memset(p.get(), 0, sizeof(*p));
	EXPECT_EQ(event_payload_fill(p.get(), ZT_MSG_EVENT, 0, 1, 1,
				     reinterpret_cast<block_event *>(prefix.data()), 100),
		  100);
	const auto *body = reinterpret_cast<const uint8_t *>(&p->event);
	EXPECT_EQ(memcmp(body, prefix.data(), 100), 0);
	for (size_t i = 100; i < sizeof(block_event); i++)
		ASSERT_EQ(body[i], 0) << i;

	memset(p.get(), 0, sizeof(*p));
	EXPECT_EQ(event_payload_fill(p.get(), ZT_MSG_ACK, 1, 0, 5, nullptr, 0), 0);
	EXPECT_EQ(p->header.time_ns, 5u);

	for (int len : { -1, BLOCK_EVENT_SIZE + 1 }) {
		memset(p.get(), 0, sizeof(*p));
		EXPECT_EQ(event_payload_fill(p.get(), 1, 1, 1, 1, ev.get(), len), -EINVAL);
		EXPECT_EQ(p->header.msg_type, 0u) << "refused fill wrote the header";
	}
	EXPECT_EQ(event_payload_fill(p.get(), 1, 1, 1, 1, nullptr, 10), -EINVAL);
	EXPECT_EQ(event_payload_fill(nullptr, 1, 1, 1, 1, ev.get(), 10), -EINVAL);
}

} // namespace
