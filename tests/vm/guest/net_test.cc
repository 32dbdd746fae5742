// The connection filter and DNS inspection on the guest's loopback: TCP and
// UDP connect, send, receive and bind to listed IPv4/IPv6 addresses and
// ports refused with the right event, unlisted ones working; a blocked
// program losing the network under strict 0; quite silencing events; DNS
// queries to a responder on 127.0.0.1:53, raw and through busybox
// nslookup.
//
//   zt_guest_net [gtest flags]    (loads /lib/zentrope/zentrope.ko itself)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <functional>
#include <thread>

#include "cn_sock.h"
#include "inet.h"
#include "dns_query.h"
#include "module_ctl.h"
#include "spawn.h"

namespace {

using namespace zt;

constexpr int kTcp4 = 7001, kTcp6 = 7002, kUdp = 7003;
const std::string kSelf = "/bin/zt_guest_net";

class Net : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		ASSERT_EQ(system("ip -6 addr add fd00::2/128 dev lo"), 0);
		ASSERT_EQ(LoadModule("/lib/zentrope/zentrope.ko"), 0);
		sock_ = new Sock(true);
		ASSERT_EQ(sock_->Listen(), 0);
		for (auto [ip, port] : { std::pair<const char *, int>{ "0.0.0.0", kTcp4 }, { "::", kTcp6 } }) {
			int fd = Socket(ip, SOCK_STREAM, true, port);
			ASSERT_EQ(listen(fd, 512), 0);
			listeners_.push_back(fd);
		}
	}
	static void TearDownTestSuite()
	{
		for (int fd : listeners_)
			close(fd);
		delete sock_;
		EXPECT_EQ(UnloadModule(), 0);
	}
	void SetUp() override
	{
		for (const char *l : { "block_ipv4", "block_ipv6", "block_port", "block_url", "block_prog" })
			ASSERT_EQ(Cmd(l, "CLEAR"), 0) << l;
		ASSERT_EQ(Cmd("quite", "0"), 0);
		while (sock_->Recv(0))
			;
	}

	// The next block event, checked against @type, @kind and @prog.
	// This program was started before the module was loaded; its first
	// judged operation records it, so its events name it as well.
	static void ExpectEvent(uint32_t type, uint32_t kind, const std::string &prog = kSelf,
				const char *url = "")
	{
		std::optional<block_event> ev = sock_->NextEvent();
		ASSERT_TRUE(ev.has_value()) << "no event";
		EXPECT_EQ(ev->type, type);
		EXPECT_EQ(ev->kind, kind);
		EXPECT_STREQ(ev->prog, prog.c_str());
		EXPECT_STREQ(ev->url, url);
	}
	static bool NoEvent() { return !sock_->Recv(200).has_value(); }

	static Sock *sock_;
	static std::vector<int> listeners_;
};

Sock *Net::sock_;
std::vector<int> Net::listeners_;

struct Op {
	const char *what;
	std::function<int()> run;
	int err;
	uint32_t kind;	// event type and kind; 0: no event
};

TEST_F(Net, AddressesAndPorts)
{
	ASSERT_EQ(Cmd("block_ipv4", "ADD 127.0.0.2"), 0);
	ASSERT_EQ(Cmd("block_ipv6", "ADD fd00::2"), 0);
	ASSERT_EQ(Cmd("block_port", "ADD 8080"), 0);
	const std::vector<Op> ops = {
		{ "tcp connect, listed v4", [] { return Connect("127.0.0.2", kTcp4); }, EPERM, ZT_KIND_CONNECTING },
		{ "tcp connect, unlisted v4", [] { return Connect("127.0.0.1", kTcp4); }, 0, 0 },
		{ "tcp connect, listed v6", [] { return Connect("fd00::2", kTcp6); }, EPERM, ZT_KIND_CONNECTING },
		{ "tcp connect, unlisted v6", [] { return Connect("::1", kTcp6); }, 0, 0 },
		{ "tcp connect, v4-mapped", [] { return Connect("::ffff:127.0.0.2", kTcp6); }, EPERM, ZT_KIND_CONNECTING },
		{ "udp sendto, listed v4", [] { return SendTo("127.0.0.2", kUdp); }, EPERM, ZT_KIND_SENDMSGING },
		{ "udp sendto, listed v6", [] { return SendTo("fd00::2", kUdp); }, EPERM, ZT_KIND_SENDMSGING },
		{ "udp sendto, unlisted", [] { return SendTo("::1", kUdp); }, 0, 0 },
		{ "udp connect, listed", [] { return Connect("127.0.0.2", kUdp, SOCK_DGRAM); }, EPERM, ZT_KIND_CONNECTING },
		{ "bind, listed port", [] { return Bind("127.0.0.1", 8080); }, EPERM, ZT_KIND_BINDING },
		{ "bind, listed port v6", [] { return Bind("::1", 8080); }, EPERM, ZT_KIND_BINDING },
		{ "bind, any port", [] { return Bind("127.0.0.1", 0); }, 0, 0 },
		{ "bind, listed address", [] { return Bind("127.0.0.2", 0); }, 0, 0 },
		{ "connect, listed port", [] { return Connect("127.0.0.1", 8080); }, ECONNREFUSED, 0 },
		{ "short v4 address", [] {
			  int fd = Socket("127.0.0.2", SOCK_STREAM);
			  Sa a = Addr("127.0.0.2", kTcp4);
			  int e = Errno(connect(fd, a.p(), 6));
			  close(fd);
			  return e;
		  }, EINVAL, 0 },
		{ "short v6 address", [] {
			  int fd = Socket("fd00::2", SOCK_DGRAM);
			  Sa a = Addr("fd00::2", kUdp);
			  int e = Errno(sendto(fd, "x", 1, 0, a.p(), 20));
			  close(fd);
			  return e;
		  }, EINVAL, 0 },
		{ "unix connect", [] {
			  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
			  sockaddr_un u{};
			  u.sun_family = AF_UNIX;
			  strcpy(u.sun_path, "/tmp/no-such-socket");
			  int e = Errno(connect(fd, reinterpret_cast<sockaddr *>(&u), sizeof(u)));
			  close(fd);
			  return e;
		  }, ENOENT, 0 },
	};
	for (const Op &op : ops) {
		SCOPED_TRACE(op.what);
		EXPECT_EQ(op.run(), op.err);
		if (op.kind)
			ExpectEvent(op.kind, op.kind);
		EXPECT_TRUE(NoEvent());
	}
}

TEST_F(Net, ConnectedAndReceived)
{
	// Listed after the connection was made: the peer is judged.
	int l = Socket("0.0.0.0", SOCK_STREAM, true, kTcp4 + 10);
	ASSERT_EQ(listen(l, 1), 0);
	int c = Socket("127.0.0.2", SOCK_STREAM);
	Sa a = Addr("127.0.0.2", kTcp4 + 10);
	ASSERT_EQ(connect(c, a.p(), a.len), 0);
	int srv = accept(l, nullptr, nullptr);
	ASSERT_EQ(send(srv, "y", 1, 0), 1);
	int r = Socket("127.0.0.1", SOCK_DGRAM, true, kUdp);
	int s = Socket("127.0.0.2", SOCK_DGRAM, true, 0);
	Sa to = Addr("127.0.0.1", kUdp);
	ASSERT_EQ(sendto(s, "ab", 2, 0, to.p(), to.len), 2);
	ASSERT_EQ(sendto(s, "cd", 2, 0, to.p(), to.len), 2);
	ASSERT_EQ(Cmd("block_ipv4", "ADD 127.0.0.2"), 0);

	EXPECT_EQ(Errno(send(c, "x", 1, 0)), EPERM);
	ExpectEvent(ZT_TYPE_SEND, ZT_KIND_SENDMSGING);
	char buf[8];
	EXPECT_EQ(Errno(recv(c, buf, sizeof(buf), 0)), EPERM) << "established TCP";
	ExpectEvent(ZT_TYPE_RECV, ZT_KIND_RECVMSGING);
	sockaddr_storage from;
	socklen_t fl = sizeof(from);
	EXPECT_EQ(Errno(recvfrom(r, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &fl)), EPERM);
	ExpectEvent(ZT_TYPE_RECV, ZT_KIND_RECVMSGING);
	EXPECT_EQ(Errno(recv(r, buf, sizeof(buf), 0)), EPERM) << "without an address buffer";
	ExpectEvent(ZT_TYPE_RECV, ZT_KIND_RECVMSGING);
	EXPECT_EQ(Errno(recv(r, buf, sizeof(buf), MSG_DONTWAIT)), EAGAIN) << "refused data is consumed";
	for (int fd : { c, r, s, srv, l })
		close(fd);
}

TEST_F(Net, BlockedProgramAndQuiet)
{
	ASSERT_EQ(system("mkdir -p /tmp/n && cp /bin/zt_tool /tmp/n/blocked && cp /bin/zt_tool /tmp/n/free"), 0);
	ASSERT_EQ(Cmd("block_prog", "ADD /tmp/n/blocked"), 0);
	const std::string port = std::to_string(kTcp4);
	EXPECT_EQ(RunProg({ "/tmp/n/blocked", "connect", port }), EPERM);
	ExpectEvent(ZT_TYPE_PROG, ZT_KIND_CONNECTING, "/tmp/n/blocked");
	EXPECT_EQ(RunProg({ "/tmp/n/free", "connect", port }), 0);
	EXPECT_TRUE(NoEvent());

	// Another network namespace is filtered alike.
	ASSERT_EQ(Cmd("block_ipv4", "ADD 127.0.0.2"), 0);
	EXPECT_EQ(RunProg({ "/usr/bin/unshare", "-n", "/bin/sh", "-c",
			    "ip link set lo up && exec /tmp/n/free connect " + port + " 127.0.0.2" }),
		  EPERM);
	ExpectEvent(ZT_TYPE_CONNECT, ZT_KIND_CONNECTING, "/tmp/n/free");

	ASSERT_EQ(Cmd("quite", "1"), 0);
	EXPECT_EQ(RunProg({ "/tmp/n/blocked", "connect", port }), EPERM);
	EXPECT_EQ(Connect("127.0.0.2", kTcp4), EPERM);
	EXPECT_TRUE(NoEvent()) << "quite 1";
}

TEST_F(Net, DnsQueries)
{
	Responder dns;
	ASSERT_EQ(Cmd("block_url", "ADD example.com"), 0);
	struct Row {
		const char *what;
		std::string packet;
		int port, err;
		const char *url;
	} rows[] = {
		{ "listed, other case", Query({ "ExAmple.COM" }), 53, EPERM, "ExAmple.COM" },
		{ "subdomain", Query({ "www.example.com" }), 53, 0, nullptr },
		{ "second question", Query({ "a.test", "example.com" }), 53, EPERM, "example.com" },
		{ "beyond the count", Query({ "a.test", "example.com" }, 1), 53, 0, nullptr },
		{ "response", Query({ "example.com" }, -1, 0x81), 53, 0, nullptr },
		{ "other operation", Query({ "example.com" }, -1, 0x28), 53, 0, nullptr },
		{ "port 5353", Query({ "example.com" }), 5353, 0, nullptr },
		{ "no question", Query({ "example.com" }, 0), 53, 0, nullptr },
		{ "short", Query({ "example.com" }).substr(0, 11), 53, 0, nullptr },
		{ "cut in the name", Query({ "example.com" }).substr(0, 20), 53, 0, nullptr },
	};
	for (const Row &r : rows) {
		SCOPED_TRACE(r.what);
		EXPECT_EQ(SendTo("127.0.0.1", r.port, r.packet), r.err);
		if (r.url)
			ExpectEvent(ZT_TYPE_DNS, ZT_KIND_DNSLOOKUPING, kSelf, r.url);
		EXPECT_TRUE(NoEvent());
	}
	EXPECT_NE(Output("nslookup other.test 127.0.0.1").find("1.2.3.4"), std::string::npos);
	EXPECT_EQ(Output("nslookup EXAMPLE.com 127.0.0.1").find("1.2.3.4"), std::string::npos);
	ExpectEvent(ZT_TYPE_DNS, ZT_KIND_DNSLOOKUPING, "/bin/busybox", "EXAMPLE.com");

	// Whatever an unprivileged sender makes of a 64 KiB datagram.
	pid_t p = fork();
	if (p == 0) {
		if (setuid(65534))
			_exit(2);
		std::string big = Query({ "example.com" });
		big.resize(65535, '\xc0');
		std::string junk(65535, '\x3f');
		junk[2] = 0;
		junk[4] = junk[5] = '\xff';
		_exit(SendTo("127.0.0.1", 53, big) == EPERM && SendTo("127.0.0.1", 53, junk) == EMSGSIZE ? 0 : 1);
	}
	int st;
	ASSERT_EQ(waitpid(p, &st, 0), p);
	EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

} // namespace
