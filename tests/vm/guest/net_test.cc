// The connection filter and DNS inspection on the guest's loopback: TCP and
// UDP connect, send, receive and bind to listed IPv4/IPv6 addresses and
// ports refused with the right event, unlisted ones working; a blocked
// program losing the network under strict 0; quite silencing events; DNS
// queries to a responder on 127.0.0.1:53, raw and through busybox
// nslookup; and one table of the ways round the rules a user tries.
//
//   zt_guest_net [gtest flags]    (loads /lib/zentrope/zentrope.ko itself)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "cn_sock.h"
#include "ctl_entries.h"
#include "dns_query.h"
#include "module_ctl.h"
#include "sock_addr.h"
#include "spawn.h"

namespace {

using namespace zt;

constexpr int kTcp4 = 7001, kTcp6 = 7002, kUdp = 7003;
const std::string kSelf = "/bin/zt_guest_net", kW = "/tmp/w/";

int Errno(long r)
{
	return r < 0 ? errno : 0;
}

// A fresh socket of @type for @ip's family, optionally bound to @ip.
int Socket(const std::string &ip, int type, bool bind_it = false, int port = 0)
{
	SockAddr a = SockAddrOf(ip, port);
	int fd = socket(a.ss.ss_family, type | SOCK_CLOEXEC, 0);
	if (fd >= 0 && bind_it && bind(fd, a.p(), a.len))
		ADD_FAILURE() << "bind " << ip << ": " << strerror(errno);
	return fd;
}

int Connect(const std::string &ip, int port, int type = SOCK_STREAM)
{
	int fd = Socket(ip, type);
	SockAddr a = SockAddrOf(ip, port);
	int err = Errno(connect(fd, a.p(), a.len));
	close(fd);
	return err;
}

int SendTo(const std::string &ip, int port, const std::string &data = "x")
{
	int fd = Socket(ip, SOCK_DGRAM);
	SockAddr a = SockAddrOf(ip, port);
	int err = Errno(sendto(fd, data.data(), data.size(), 0, a.p(), a.len));
	close(fd);
	return err;
}

int Bind(const std::string &ip, int port)
{
	int fd = Socket(ip, SOCK_STREAM);
	SockAddr a = SockAddrOf(ip, port);
	int err = Errno(bind(fd, a.p(), a.len));
	close(fd);
	return err;
}

// Answers A queries on 127.0.0.1:53 with 1.2.3.4, others with no answer.
class Responder {
public:
	Responder() : fd_(Socket("127.0.0.1", SOCK_DGRAM, true, 53)), t_([this] { Run(); }) {}
	~Responder()
	{
		stop_ = true;
		t_.join();
		close(fd_);
	}

private:
	void Run()
	{
		char buf[1500];
		while (!stop_) {
			pollfd p{ fd_, POLLIN, 0 };
			if (poll(&p, 1, 100) != 1)
				continue;
			sockaddr_storage from;
			socklen_t fl = sizeof(from);
			ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &fl);
			if (n < 12)
				continue;
			std::string r(buf, n);
			r[2] = char(r[2] | 0x80);
			bool a = n >= 4 && r[n - 3] == 1 && r[n - 4] == 0;
			if (a) {
				r[7] = 1;
				r += std::string("\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4\1\2\3\4", 16);
			}
			sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from), fl);
		}
	}
	int fd_;
	std::atomic<bool> stop_{ false };
	std::thread t_;
};

// What /bin/sh -c @cmd writes to stdout and stderr.
std::string ShOut(const std::string &cmd)
{
	return Capture({ "/bin/sh", "-c", cmd }).text;
}

class Net : public testing::Test {
protected:
	static void SetUpTestSuite()
	{
		ASSERT_EQ(system("ip -6 addr add fd00::2/128 dev lo"), 0);
		ASSERT_EQ(system("mkdir -p /tmp/w && cd /tmp/w && cp /bin/zt_tool_dyn listed"
				 " && cp /bin/zt_tool_dyn free && for f in evshort bydigest interp plain;"
				 " do cp /bin/zt_tool $f; done && printf zt >> bydigest && : > empty"
				 " && chmod +x empty && echo x > script && echo x > notes"), 0);
		// Started before the module: each connects once its stdin closes.
		for (const char *p : { "evshort", "plain" })
			early_.push_back(Spawn({ kW + p, "wait", "connect", std::to_string(kTcp4) }, true));
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
		for (Child &c : early_)
			Finish(c);
		for (int fd : listeners_)
			close(fd);
		delete sock_;
		EXPECT_EQ(UnloadModule(), 0);
	}
	void SetUp() override
	{
		for (const char *l : zt::kListEntries)
			ASSERT_EQ(Cmd(l, "CLEAR"), 0) << l;
		ASSERT_EQ(Cmd("quite", "0"), 0);
		ASSERT_EQ(Cmd("strict", "0"), 0);
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
	static std::vector<Child> early_;
};

Sock *Net::sock_;
std::vector<int> Net::listeners_;
std::vector<Child> Net::early_;

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
			  SockAddr a = SockAddrOf("127.0.0.2", kTcp4);
			  int e = Errno(connect(fd, a.p(), 6));
			  close(fd);
			  return e;
		  }, EINVAL, 0 },
		{ "short v6 address", [] {
			  int fd = Socket("fd00::2", SOCK_DGRAM);
			  SockAddr a = SockAddrOf("fd00::2", kUdp);
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
	SockAddr a = SockAddrOf("127.0.0.2", kTcp4 + 10);
	ASSERT_EQ(connect(c, a.p(), a.len), 0);
	int srv = accept(l, nullptr, nullptr);
	ASSERT_EQ(send(srv, "y", 1, 0), 1);
	int r = Socket("127.0.0.1", SOCK_DGRAM, true, kUdp);
	int s = Socket("127.0.0.2", SOCK_DGRAM, true, 0);
	SockAddr to = SockAddrOf("127.0.0.1", kUdp);
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
	EXPECT_NE(ShOut("nslookup other.test 127.0.0.1").find("1.2.3.4"), std::string::npos);
	EXPECT_EQ(ShOut("nslookup EXAMPLE.com 127.0.0.1").find("1.2.3.4"), std::string::npos);
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

// ---- the ways round the rules ----

// A datagram sent, or a stream bound, with the family field AF_UNSPEC.
int Unspec(bool bind_it, const std::string &ip, int port, const std::string &data = "x")
{
	SockAddr a = SockAddrOf(ip, port);
	a.ss.ss_family = AF_UNSPEC;
	int fd = socket(AF_INET, (bind_it ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
	int err = Errno(bind_it ? bind(fd, a.p(), a.len)
				: sendto(fd, data.data(), data.size(), 0, a.p(), a.len));
	close(fd);
	return err;
}

// A send on a connection accepted from @src, naming another address.
int AcceptedSend(const std::string &src)
{
	int l = Socket("127.0.0.1", SOCK_STREAM, true, kTcp4 + 20), c = Socket(src, SOCK_STREAM, true);
	SockAddr a = SockAddrOf("127.0.0.1", kTcp4 + 20), other = SockAddrOf("127.0.0.1", kTcp4);
	int s = listen(l, 1) || connect(c, a.p(), a.len) ? -1 : accept(l, nullptr, nullptr);
	int err = s < 0 ? errno : Errno(sendto(s, "x", 1, 0, other.p(), other.len));
	for (int fd : { l, c, s })
		close(fd);
	return err;
}

// @q to 127.0.0.1:@port from pages mapped but not faulted in yet, or in
// two pieces: two buffers of one send, or two sends corked with MSG_MORE.
enum Shape { kMapped, kTwoBuffers, kCorked };
int SendShaped(const std::string &q, Shape shape, int port = 53)
{
	SockAddr a = SockAddrOf("127.0.0.1", port);
	char *data = const_cast<char *>(q.data());
	if (shape == kMapped) {
		std::ofstream(kW + "q", std::ios::binary) << q;
		int fd = open((kW + "q").c_str(), O_RDONLY | O_CLOEXEC);
		data = static_cast<char *>(mmap(nullptr, q.size(), PROT_READ, MAP_SHARED, fd, 0));
		close(fd);
	}
	iovec iov[2] = { { data, 16 }, { data + 16, q.size() - 16 } };
	msghdr m{};
	m.msg_name = const_cast<sockaddr *>(a.p());
	m.msg_namelen = a.len;
	m.msg_iov = iov;
	m.msg_iovlen = shape == kTwoBuffers ? 2 : 1;
	iov[0].iov_len = shape == kMapped ? q.size() : 16;
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	int err = Errno(sendmsg(fd, &m, shape == kCorked ? MSG_MORE : 0));
	m.msg_iov = iov + 1;
	if (!err && shape == kCorked)
		err = Errno(sendmsg(fd, &m, 0));
	close(fd);
	if (shape == kMapped)
		munmap(data, q.size());
	return err;
}

// A datagram from @src to an AF_INET6 socket bound to @to (:: for an IPv4
// @to, so the socket is dual-stack), received.
int Received6(const std::string &to, const std::string &src)
{
	int r = Socket(to.find(':') == std::string::npos ? "::" : to, SOCK_DGRAM, true, kUdp);
	int s = Socket(src, SOCK_DGRAM, true);
	SockAddr dst = SockAddrOf(to, kUdp);
	sendto(s, "d", 1, 0, dst.p(), dst.len);
	pollfd p{ r, POLLIN, 0 };
	char b;
	int err = poll(&p, 1, 3000) == 1 ? Errno(recv(r, &b, 1, 0)) : ETIMEDOUT;
	close(s);
	close(r);
	return err;
}

// The dynamic loader running @prog: EPERM when it could not open it.
int ViaLoader(const std::string &prog)
{
	const std::string out = ShOut("/lib64/ld-linux-x86-64.so.2 " + prog);
	EXPECT_TRUE(out.empty() || out.find("Operation not permitted") != std::string::npos) << out;
	return out.empty() ? 0 : EPERM;
}

// A 64 KiB datagram: @first, then questions up to the size limit.
std::string BigQuery(const std::string &first)
{
	std::string q = Query({ first });
	while (q.size() + 5 <= 65507)
		q += std::string("\0\0\1\0\1", 5);
	q[4] = q[5] = char(0xff);
	return q;
}

// The way round, aimed at a listed target and at an unlisted one.
struct Way {
	const char *what;
	int strict;
	std::function<int()> listed, unlisted;
	uint32_t type, kind;
};

// Each way aimed at a listed target fails with EPERM and one event of its
// rule's type and kind; aimed at an unlisted one it works, without an
// event. The loader and its C library come from the host (net.sh installs
// them), the interpreter list from the real mk_usr_interp_name_list.
TEST_F(Net, WaysRoundTheRules)
{
	ASSERT_EQ(system(("sh /data/mk_usr_interp_name_list " + kW + "interp.txt").c_str()), 0);
	for (const auto &i : Lines(ReadText(kW + "interp.txt")))
		ASSERT_EQ(Cmd("interp_prog", "ADD " + i), 0) << i;
	ASSERT_EQ(Cmd("interp_prog", "ADD " + kW + "interp"), 0);
	for (const std::string &p : { kW + "listed", std::string("evshort"), kW + "script" })
		ASSERT_EQ(Cmd("block_prog", "ADD " + p), 0) << p;
	ASSERT_EQ(Cmd("block_hash", "ADD " + ShOut("sha1sum " + kW + "bydigest").substr(0, 40)), 0);
	ASSERT_EQ(Cmd("block_ipv4", "ADD 127.0.0.2"), 0);
	ASSERT_EQ(Cmd("block_ipv6", "ADD fd00::2"), 0);
	ASSERT_EQ(Cmd("block_port", "ADD 7199"), 0);
	// The domain list at its capacity: a question costs one probe all the same.
	ASSERT_EQ(Cmd("block_url", "ADD example.com"), 0);
	for (int i = 1; i < 10000; i++)
		ASSERT_EQ(Cmd("block_url", "ADD d" + std::to_string(i) + ".test"), 0);

	const std::string port = std::to_string(kTcp4), q = Query({ "example.com" }),
			  other = Query({ "other.test" });
	auto run = [=](std::vector<std::string> argv) {
		argv[0] = kW + argv[0];
		return [=] { return RunProg(argv); };
	};
	auto early = [](int i) { return [i] { return Finish(early_[i]); }; };
	auto ptr = [](const char *tld) {
		return Query({ tld }, 2) + "\7example\xc0\x0c" + std::string("\0\1\0\1", 4);
	};
	const Way ways[] = {
		{ "1: the loader runs a listed program", 1, [] { return ViaLoader(kW + "listed"); },
		  [] { return ViaLoader(kW + "free"); }, ZT_TYPE_PROG, ZT_KIND_EXECING },
		{ "2: sendto AF_UNSPEC", 0, [] { return Unspec(false, "127.0.0.2", kUdp); },
		  [] { return Unspec(false, "127.0.0.1", kUdp); }, ZT_TYPE_SEND, ZT_KIND_SENDMSGING },
		{ "2: DNS query to AF_UNSPEC", 0, [=] { return Unspec(false, "127.0.0.1", 53, q); },
		  [=] { return Unspec(false, "127.0.0.1", 53, other); }, ZT_TYPE_DNS, ZT_KIND_DNSLOOKUPING },
		{ "2: a stream sends to its peer, whatever the name", 0,
		  [] { return AcceptedSend("127.0.0.2"); }, [] { return AcceptedSend("127.0.0.1"); },
		  ZT_TYPE_SEND, ZT_KIND_SENDMSGING },
		{ "3: bind AF_UNSPEC", 0, [] { return Unspec(true, "0.0.0.0", 7199); },
		  [] { return Unspec(true, "0.0.0.0", 7198); }, ZT_TYPE_BIND, ZT_KIND_BINDING },
		{ "4: query in pages not faulted in", 0, [=] { return SendShaped(q, kMapped); },
		  [=] { return SendShaped(other, kMapped); }, ZT_TYPE_DNS, ZT_KIND_DNSLOOKUPING },
		{ "4: query in two buffers", 0, [=] { return SendShaped(q, kTwoBuffers); },
		  [=] { return SendShaped(other, kTwoBuffers); }, ZT_TYPE_DNS, ZT_KIND_DNSLOOKUPING },
		{ "4: query corked in two sends", 0, [=] { return SendShaped(other, kCorked); },
		  [=] { return SendShaped(other, kCorked, 5353); }, ZT_TYPE_DNS, ZT_KIND_DNSLOOKUPING },
		{ "4: name through a compression pointer", 0,
		  [=] { return SendTo("127.0.0.1", 53, ptr("com")); },
		  [=] { return SendTo("127.0.0.1", 53, ptr("org")); }, ZT_TYPE_DNS, ZT_KIND_DNSLOOKUPING },
		{ "5: child of a program listed by short name", 0, run({ "evshort", "fork", "connect", port }),
		  run({ "plain", "fork", "connect", port }), ZT_TYPE_PROG, ZT_KIND_CONNECTING },
		{ "5: child of a program listed by digest", 0, run({ "bydigest", "fork", "connect", port }),
		  run({ "plain", "fork", "connect", port }), ZT_TYPE_PROG, ZT_KIND_CONNECTING },
		{ "5: after a failed exec", 0, run({ "evshort", "tryexec", kW + "empty", "connect", port }),
		  run({ "plain", "tryexec", kW + "empty", "connect", port }), ZT_TYPE_PROG, ZT_KIND_CONNECTING },
		{ "5: started before the module", 0, early(0), early(1), ZT_TYPE_PROG, ZT_KIND_CONNECTING },
		{ "5: an interpreter's child, after the blocked script", 0,
		  run({ "interp", "read", kW + "script", "fork", "connect", port }),
		  run({ "interp", "read", kW + "notes", "fork", "connect", port }), ZT_TYPE_PROG,
		  ZT_KIND_CONNECTING },
		{ "6: IPv6 receive", 0, [] { return Received6("::1", "fd00::2"); },
		  [] { return Received6("::1", "::1"); }, ZT_TYPE_RECV, ZT_KIND_RECVMSGING },
		{ "6: dual-stack receive from IPv4", 0, [] { return Received6("127.0.0.1", "127.0.0.2"); },
		  [] { return Received6("127.0.0.1", "127.0.0.1"); }, ZT_TYPE_RECV, ZT_KIND_RECVMSGING },
		{ "7: 64 KiB of questions, 10,000 domains listed", 0,
		  [] { return SendTo("127.0.0.1", 53, BigQuery("d9999.test")); },
		  [] { return SendTo("127.0.0.1", 53, BigQuery("d10000.test")); }, ZT_TYPE_DNS,
		  ZT_KIND_DNSLOOKUPING },
	};
	Responder dns;
	for (const Way &w : ways) {
		SCOPED_TRACE(w.what);
		ASSERT_EQ(Cmd("strict", std::to_string(w.strict)), 0);
		EXPECT_EQ(w.listed(), EPERM);
		auto ev = sock_->NextEvent();
		EXPECT_TRUE(ev.has_value()) << "no event";
		if (ev) {
			EXPECT_EQ(ev->type, w.type);
			EXPECT_EQ(ev->kind, w.kind);
		}
		EXPECT_TRUE(NoEvent()) << "a second event";
		EXPECT_EQ(w.unlisted(), 0) << "unlisted";
		EXPECT_TRUE(NoEvent()) << "an event for the unlisted target";
	}
}

} // namespace
