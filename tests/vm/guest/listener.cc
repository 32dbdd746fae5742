// The block-event channel in the guest, through the test-only driver
// zt_evtest.ko (debugfs zt_evtest/), which raises events through the real
// channel code. A netlink connector socket subscribed to group 16 plays the
// daemon: it sends the listen request and checks every message it gets
// (size, connector header, payload header, record fields, sequence
// numbers), the one-listener registration rules, the control
// acknowledgements and the kernel-log fallback. The driver sends events and
// acknowledgements within the write() or sendmsg() that causes them, so a
// message is queued by the time that call returns.
//
// Tests depend on each other's order (the first event carries sequence 1,
// the last test unloads the driver); run the binary whole and unshuffled.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zentrope_event.h"
#include "cn_sock.h"
#include "module_ctl.h"
#include "spawn.h"

namespace {

using namespace zt;

const std::string kDir = "/sys/kernel/debug/zt_evtest/";
const char kHex20[] = "00112233445566778899aabbccddeeff01234567";
constexpr size_t kDatagram = NLMSG_HDRLEN + ZT_CN_MSG_SIZE; // 4628

// ---- the driver ----

int Ctl(const std::string &cmd)
{
	return Write(kDir + "ctl", cmd);
}

long long State(const std::string &key)
{
	std::ifstream in(kDir + "state");
	std::string k;
	long long v;
	while (in >> k >> v)
		if (k == key)
			return v;
	ADD_FAILURE() << "no " << key << " in state";
	return -12345;
}

Sock *g_main;

Sock &Main()
{
	if (!g_main)
		g_main = new Sock(true);
	return *g_main;
}

// Makes the fixture socket the registered listener again.
void Relisten()
{
	if (!g_main || g_main->fd() < 0) {
		delete g_main;
		g_main = new Sock(true);
	}
	ASSERT_EQ(Main().Listen(), 0);
	ASSERT_EQ(State("portid"), Main().Portid());
	while (Main().Recv(0))
		;
}

std::string MyComm()
{
	std::ifstream in("/proc/self/comm");
	std::string s;
	std::getline(in, s);
	return s;
}

uint64_t NowNs(clockid_t clk)
{
	timespec ts;
	clock_gettime(clk, &ts);
	return uint64_t(ts.tv_sec) * 1000000000u + ts.tv_nsec;
}

bool AllZero(const void *p, size_t n)
{
	const auto *b = static_cast<const uint8_t *>(p);
	for (size_t i = 0; i < n; i++)
		if (b[i])
			return false;
	return true;
}

// What every message of the module has in common.
void ExpectFrame(const Msg &m, uint32_t msg_type, uint32_t ack)
{
	ASSERT_EQ(m.size, kDatagram);
	EXPECT_EQ(m.nlh.nlmsg_len, kDatagram);
	EXPECT_EQ(m.nlh.nlmsg_type, NLMSG_DONE);
	EXPECT_EQ(m.nlh.nlmsg_pid, 0u) << "not from the kernel";
	EXPECT_EQ(m.cn.id.idx, uint32_t(ZT_CN_IDX));
	EXPECT_EQ(m.cn.id.val, uint32_t(ZT_CN_VAL));
	EXPECT_EQ(m.cn.len, ZT_PAYLOAD_SIZE);
	EXPECT_EQ(m.cn.flags, 0);
	EXPECT_EQ(m.cn.ack, ack);
	EXPECT_EQ(m.nlh.nlmsg_seq, m.cn.seq);
	EXPECT_EQ(m.p.header.msg_type, msg_type);
	EXPECT_LT(m.p.header.cpu, uint32_t(std::thread::hardware_concurrency()));
	EXPECT_TRUE(AllZero(m.p.event.reserved, sizeof(m.p.event.reserved)));
	EXPECT_TRUE(AllZero(m.p.event.padding, sizeof(m.p.event.padding)));
}

uint64_t g_last_seq; // sequence of the last block event received

// A block event from the current process, with the next sequence number.
void ExpectEvent(const Msg &m, uint32_t type, uint32_t kind)
{
	ExpectFrame(m, ZT_MSG_EVENT, 0);
	EXPECT_EQ(m.p.header.sequence, g_last_seq + 1);
	g_last_seq = m.p.header.sequence;
	uint64_t now = NowNs(CLOCK_REALTIME);
	EXPECT_LE(m.p.header.time_ns, now);
	EXPECT_GT(m.p.header.time_ns + 120ull * 1000000000u, now) << "not wall clock";
	EXPECT_EQ(m.p.event.type, type);
	EXPECT_EQ(m.p.event.kind, kind);
	EXPECT_EQ(m.p.event.pid, getpid());
	char comm[ZT_COMM_SIZE] = {};
	strncpy(comm, MyComm().c_str(), sizeof(comm) - 1);
	EXPECT_EQ(memcmp(m.p.event.comm, comm, sizeof(comm)), 0);
}

void ExpectAck(const Msg &m, uint32_t code, uint32_t cn_ack)
{
	ExpectFrame(m, ZT_MSG_ACK, cn_ack);
	EXPECT_EQ(m.p.header.sequence, 0u);
	uint64_t now = NowNs(CLOCK_MONOTONIC);
	EXPECT_LE(m.p.header.time_ns, now);
	EXPECT_GT(m.p.header.time_ns + 120ull * 1000000000u, now) << "not monotonic";
	EXPECT_EQ(m.p.event.type, code);
	EXPECT_TRUE(AllZero(reinterpret_cast<const uint8_t *>(&m.p.event) + 4,
			    sizeof(block_event) - 4));
}

int DropPrivileges()
{
	if (setresgid(65534, 65534, 65534) || setresuid(65534, 65534, 65534))
		return 10;
	return 0;
}

// ---- tests ----

TEST(Channel, NoListenerDropsEverything)
{
	ASSERT_EQ(access((kDir + "ctl").c_str(), W_OK), 0) << "zt_evtest not loaded";
	EXPECT_EQ(State("portid"), 0);
	KernelLog kmsg;
	ASSERT_EQ(Ctl("len 4568"), 0);
	EXPECT_EQ(State("last"), 0) << "send without listener must return 0";
	ASSERT_EQ(Ctl("hash /bin/x " + std::string(kHex20)), 0);
	ASSERT_EQ(Ctl("ipv4 1 1 192.0.2.7 443 /c"), 0);
	EXPECT_EQ(State("seq"), 0) << "a dropped event took a sequence number";
	EXPECT_TRUE(kmsg.Leveled("printk_event").empty()) << "ulog 1 must not fall back to the log";
}

TEST(Channel, FirstEventsAfterListen)
{
	ASSERT_EQ(Main().bind_errno(), 0);
	ASSERT_NE(Main().Portid(), 0u);
	ASSERT_EQ(Main().Listen(), 0);
	EXPECT_EQ(State("portid"), Main().Portid());
	EXPECT_TRUE(Main().Quiet()) << "a listen request is not answered";

	ASSERT_EQ(Ctl("hash /usr/bin/x " + std::string(kHex20)), 0);
	auto m = Main().Recv();
	ASSERT_TRUE(m);
	EXPECT_EQ(m->p.header.sequence, 1u) << "first event after load";
	ExpectEvent(*m, ZT_TYPE_HASH, ZT_KIND_EXECING);
	EXPECT_STREQ(m->p.event.hash, kHex20);
	EXPECT_STREQ(m->p.event.prog, "/usr/bin/x");
	EXPECT_EQ(m->p.event.from_prog_info, 0u);
	EXPECT_TRUE(AllZero(m->p.event.addr, sizeof(m->p.event.addr)));
	EXPECT_TRUE(AllZero(m->p.event.url, sizeof(m->p.event.url)));

	// The same, by absolute offsets in the datagram.
	const uint8_t *d = m->raw.data() + NLMSG_HDRLEN;
	auto u32_at = [d](size_t off) {
		uint32_t w;
		memcpy(&w, d + off, sizeof(w));
		return w;
	};
	EXPECT_EQ(u32_at(0), 16u);
	EXPECT_EQ(u32_at(4), 256u);
	EXPECT_EQ(d[16] | d[17] << 8, 0x11F0);
	EXPECT_EQ(u32_at(20), 1u);
	EXPECT_EQ(u32_at(20 + 24), 5u);
	EXPECT_EQ(memcmp(d + 20 + 24 + 4504, kHex20, 41), 0);

	ASSERT_EQ(Ctl("info some-rule"), 0);
	m = Main().Recv();
	ASSERT_TRUE(m);
	ExpectEvent(*m, ZT_TYPE_PROG, ZT_KIND_EXECING);
	EXPECT_EQ(m->p.header.sequence, 2u);
	EXPECT_STREQ(m->p.event.prog, "some-rule");
	EXPECT_STREQ(m->p.event.hash, "");
	EXPECT_EQ(m->p.event.from_prog_info, 1u);
}

TEST(Channel, EventsOfEveryBuilder)
{
	mkdir("/tmp/zt_ev", 0755);
	{
		std::ofstream("/tmp/zt_ev/opened.bin") << "x";
	}
	std::string hex32 = std::string(kHex20) + "ffeeddccbbaa998877665544";
	struct Case {
		std::string cmd;
		uint32_t type, kind, from_prog_info;
		const char *prog, *hash, *url;
		int family;
		const char *addr;
		uint16_t port;
	} cases[] = {
		{ "hash /p " + hex32, 5, 6, 0, "/p", kHex20, "", 0, "", 0 },
		{ "hash - 0aff", 5, 6, 0, "", "0aff", "", 0, "", 0 },
		{ "hash /p -", 5, 6, 0, "/p", "", "", 0, "", 0 },
		{ "strict 1 /n - " + std::string(kHex20), 5, 6, 0, "/n", kHex20, "", 0, "", 0 },
		{ "strict 2 name - -", 0, 6, 1, "name", "", "", 0, "", 0 },
		{ "strict 2 - /tmp/zt_ev/opened.bin -", 0, 6, 1, "opened.bin", "", "", 0, "", 0 },
		{ "strict 2 - - -", 0, 6, 1, "", "", "", 0, "", 0 },
		{ "strict 3 by-name - -", 0, 6, 1, "by-name", "", "", 0, "", 0 },
		{ "ipv4 1 1 192.0.2.7 443 /usr/bin/curl", 1, 1, 0, "/usr/bin/curl", "", "",
		  AF_INET, "192.0.2.7", 443 },
		{ "ipv6 2 2 2001:db8::1 53 -", 2, 2, 0, "", "", "", AF_INET6, "2001:db8::1", 53 },
		{ "ipv4 4 4 10.0.0.1 65535 /r", 4, 4, 0, "/r", "", "", AF_INET, "10.0.0.1", 65535 },
		{ "ipv4 7 7 0.0.0.0 8080 /srv", 7, 7, 0, "/srv", "", "", AF_INET, "0.0.0.0", 8080 },
		{ "dns example.com /usr/bin/dig", 3, 3, 0, "/usr/bin/dig", "", "example.com", 0, "", 0 },
		// The channel carries every class; only the log line depends on it.
		{ "raw 1 6", 1, 6, 0, "raw", "", "", 0, "", 0 },
		{ "raw 9 200", 9, 200, 0, "raw", "", "", 0, "", 0 },
	};
	Relisten();
	g_last_seq = State("seq");
	for (const auto &c : cases) {
		SCOPED_TRACE(c.cmd);
		ASSERT_EQ(Ctl(c.cmd), 0);
		auto m = Main().Recv();
		ASSERT_TRUE(m);
		ExpectEvent(*m, c.type, c.kind);
		EXPECT_EQ(m->p.event.from_prog_info, c.from_prog_info);
		EXPECT_STREQ(m->p.event.prog, c.prog);
		EXPECT_STREQ(m->p.event.hash, c.hash);
		EXPECT_STREQ(m->p.event.url, c.url);
		const uint8_t *a = m->p.event.addr;
		if (!c.family) {
			EXPECT_TRUE(AllZero(a, ZT_ADDR_SIZE));
			continue;
		}
		EXPECT_EQ(a[0] | a[1] << 8, c.family);
		EXPECT_EQ(a[2] << 8 | a[3], c.port) << "port not in network order";
		uint8_t want[16] = {};
		inet_pton(c.family, c.addr, want);
		if (c.family == AF_INET)
			EXPECT_EQ(memcmp(a + 4, want, 4), 0);
		else
			EXPECT_EQ(memcmp(a + 8, want, 16), 0);
	}
	// An unknown verdict sends nothing and takes no sequence number.
	ASSERT_EQ(Ctl("strict 4 x - -"), 0);
	ASSERT_EQ(Ctl("strict 0 x - -"), 0);
	EXPECT_TRUE(Main().Quiet());
	EXPECT_EQ(State("seq"), (long long)g_last_seq);
	// Bad driver commands are refused before anything is built.
	EXPECT_EQ(Ctl("hash /p 0g"), EINVAL);
	EXPECT_EQ(Ctl("ipv4 1 1 999.1.1.1 1 /p"), EINVAL);
	EXPECT_EQ(Ctl("strict 2 - /nonexistent -"), ENOENT);
	EXPECT_TRUE(Main().Quiet());
}

TEST(Channel, PidIsTheThreadGroupId)
{
	Relisten();
	g_last_seq = State("seq");
	int err = -1;
	std::thread t([&] { err = Ctl("info from-thread"); });
	t.join();
	ASSERT_EQ(err, 0);
	auto m = Main().Recv();
	ASSERT_TRUE(m);
	EXPECT_EQ(m->p.event.pid, getpid());
	EXPECT_EQ(m->p.header.sequence, g_last_seq + 1);
	g_last_seq = m->p.header.sequence;
}

TEST(Channel, BodyLengthBounds)
{
	Relisten();
	g_last_seq = State("seq");
	for (const char *len : { "0", "-1", "4569", "100000" }) {
		SCOPED_TRACE(len);
		ASSERT_EQ(Ctl(std::string("len ") + len), 0);
		EXPECT_EQ(State("last"), -EINVAL);
		EXPECT_TRUE(Main().Quiet());
	}
	EXPECT_EQ(State("seq"), (long long)g_last_seq);

	// A short body: the message keeps its size, the rest stays zero.
	ASSERT_EQ(Ctl("len 100"), 0);
	EXPECT_EQ(State("last"), 100);
	auto m = Main().Recv();
	ASSERT_TRUE(m);
	ExpectFrame(*m, ZT_MSG_EVENT, 0);
	EXPECT_EQ(m->p.header.sequence, ++g_last_seq);
	EXPECT_EQ(m->p.event.type, uint32_t(ZT_TYPE_PROG));
	EXPECT_EQ(m->p.event.kind, uint32_t(ZT_KIND_EXECING));
	EXPECT_EQ(m->p.event.pid, getpid());
	const auto *body = reinterpret_cast<const uint8_t *>(&m->p.event);
	EXPECT_TRUE(AllZero(body + 100, sizeof(block_event) - 100));

	ASSERT_EQ(Ctl("len 4568"), 0);
	EXPECT_EQ(State("last"), 4568);
	m = Main().Recv();
	ASSERT_TRUE(m);
	ExpectEvent(*m, ZT_TYPE_PROG, ZT_KIND_EXECING);
	EXPECT_EQ(std::string(m->p.event.prog), std::string(ZT_PROG_SIZE - 1, 'L'));
}

// The connector sequence is a per-CPU counter, the event sequence global.
TEST(Channel, SequencesPerCpuAndGlobal)
{
	Relisten();
	g_last_seq = State("seq");
	cpu_set_t old;
	sched_getaffinity(0, sizeof(old), &old);
	int ncpu = std::min<int>(std::thread::hardware_concurrency(), 2);
	std::map<uint32_t, uint32_t> last_cn_seq;
	for (int round = 0; round < 3; round++) {
		for (int cpu = 0; cpu < ncpu; cpu++) {
			cpu_set_t one;
			CPU_ZERO(&one);
			CPU_SET(cpu, &one);
			ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
			ASSERT_EQ(Ctl("info cpu"), 0);
			auto m = Main().Recv();
			ASSERT_TRUE(m);
			ExpectEvent(*m, ZT_TYPE_PROG, ZT_KIND_EXECING);
			EXPECT_EQ(m->p.header.cpu, uint32_t(cpu));
			if (last_cn_seq.count(cpu)) {
				EXPECT_EQ(m->cn.seq, last_cn_seq[cpu] + 1) << "cpu " << cpu;
			}
			last_cn_seq[cpu] = m->cn.seq;
		}
	}
	sched_setaffinity(0, sizeof(old), &old);
}

TEST(Listen, MalformedRequestsIgnored)
{
	Relisten();
	Sock other(false);
	for (uint16_t len : { 0, 3, 5, 8 }) {
		SCOPED_TRACE(len);
		ASSERT_EQ(other.Listen(ZT_LISTEN_START, len), 0);
		EXPECT_EQ(State("portid"), Main().Portid());
	}
	// Even from an unprivileged sender: no acknowledgement.
	EXPECT_EQ(0, InChild([] {
		if (DropPrivileges())
			return 10;
		Sock s(false, false);
		return s.Listen(ZT_LISTEN_START, 3, 7) ? 11 : 0;
	}));
	EXPECT_TRUE(Main().Quiet());
	EXPECT_EQ(State("portid"), Main().Portid());
}

// The kernel's netlink capability test: the sender must be capable, and
// so must the socket's opener unless the message names its destination.
// The listener hears of the first refusal, not of each: any user may send
// requests by the thousand.
TEST(Listen, UnprivilegedSenderGetsAck1)
{
	Relisten();
	// Opened as nobody.
	EXPECT_EQ(0, InChild([] {
		if (DropPrivileges())
			return 10;
		Sock s(false, false);
		return s.Listen(ZT_LISTEN_START, ZT_LISTEN_LEN, 41) ? 11 : 0;
	}));
	auto m = Main().Recv();
	ASSERT_TRUE(m);
	ExpectAck(*m, ZT_ACK_DENIED, 42);

	// Opened as root, sent as nobody.
	EXPECT_EQ(0, InChild([] {
		Sock s(false, false);
		if (DropPrivileges())
			return 10;
		return s.Listen(ZT_LISTEN_STOP, ZT_LISTEN_LEN, 0xffffffffu) ? 11 : 0;
	}));
	EXPECT_TRUE(Main().Quiet()) << "a second refusal within seconds";
	EXPECT_EQ(State("portid"), Main().Portid());

	// Opened as nobody, sent by root through the passed descriptor.
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
	EXPECT_EQ(0, InChild([&] {
		if (DropPrivileges())
			return 10;
		int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_CONNECTOR);
		char c = 0, ctl[CMSG_SPACE(sizeof(int))] = {};
		iovec iov{ &c, 1 };
		msghdr mh{};
		mh.msg_iov = &iov;
		mh.msg_iovlen = 1;
		mh.msg_control = ctl;
		mh.msg_controllen = sizeof(ctl);
		cmsghdr *cm = CMSG_FIRSTHDR(&mh);
		cm->cmsg_level = SOL_SOCKET;
		cm->cmsg_type = SCM_RIGHTS;
		cm->cmsg_len = CMSG_LEN(sizeof(int));
		memcpy(CMSG_DATA(cm), &fd, sizeof(int));
		return sendmsg(sv[1], &mh, 0) == 1 ? 0 : 11;
	}));
	char c;
	char ctl[CMSG_SPACE(sizeof(int))] = {};
	iovec iov{ &c, 1 };
	msghdr mh{};
	mh.msg_iov = &iov;
	mh.msg_iovlen = 1;
	mh.msg_control = ctl;
	mh.msg_controllen = sizeof(ctl);
	ASSERT_EQ(recvmsg(sv[0], &mh, 0), 1);
	int passed;
	memcpy(&passed, CMSG_DATA(CMSG_FIRSTHDR(&mh)), sizeof(int));
	close(sv[0]);
	close(sv[1]);
	Sock s(passed);
	ASSERT_EQ(s.Listen(ZT_LISTEN_START, ZT_LISTEN_LEN, 9, false), 0);
	EXPECT_EQ(State("portid"), Main().Portid());
	EXPECT_TRUE(Main().Quiet());

	// Naming the destination leaves only the sender's capability.
	Sock named(false);
	ASSERT_EQ(named.Listen(), 0);
	EXPECT_EQ(State("portid"), named.Portid());
	EXPECT_TRUE(Main().Quiet());
}

TEST(Listen, ChildNamespacesIgnored)
{
	Relisten();
	EXPECT_EQ(0, InChild([] {
		if (unshare(CLONE_NEWUSER))
			return 10;
		Sock s(false, false);
		return s.Listen() ? 11 : 0;
	}));
	EXPECT_EQ(0, InChild([] {
		if (unshare(CLONE_NEWPID))
			return 10;
		// Only children enter the new pid namespace.
		return InChild([] {
			Sock s(false, false);
			return s.Listen() ? 11 : 0;
		}) == 0 ? 0 : 12;
	}));
	EXPECT_TRUE(Main().Quiet()) << "ignored requests get no acknowledgement";
	EXPECT_EQ(State("portid"), Main().Portid());
	// A sender in the initial namespaces does take over.
	Sock other(false);
	ASSERT_EQ(other.Listen(), 0);
	EXPECT_EQ(State("portid"), other.Portid());
}

TEST(Listen, TakeoverNeedsAGroupSubscriber)
{
	Relisten();
	// The fixture socket subscribes, so any privileged sender takes over,
	// and a stop request is a listen request like any other.
	Sock other(false);
	ASSERT_EQ(other.Listen(ZT_LISTEN_STOP), 0);
	EXPECT_EQ(State("portid"), other.Portid());
	g_last_seq = State("seq");
	ASSERT_EQ(Ctl("info to-other"), 0);
	auto m = other.Recv();
	ASSERT_TRUE(m);
	ExpectEvent(*m, ZT_TYPE_PROG, ZT_KIND_EXECING);
	EXPECT_TRUE(Main().Quiet()) << "unicast only, never to the group";

	// Without a subscriber the first listener keeps the registration.
	Main().Close();
	Sock second(false);
	ASSERT_EQ(second.Listen(), 0);
	EXPECT_EQ(State("portid"), other.Portid());
	ASSERT_EQ(Ctl("info still-other"), 0);
	ASSERT_TRUE(other.Recv());
	g_last_seq++;
	EXPECT_TRUE(second.Quiet());
}

// The listener is its socket: released, it is forgotten at once (while
// the group has a subscriber too), and a socket bound to its port id
// afterwards gets nothing.
TEST(Listen, VanishedListener)
{
	Relisten();
	uint32_t old;
	{
		Sock other(false);
		ASSERT_EQ(other.Listen(), 0);
		ASSERT_EQ(State("portid"), other.Portid());
		old = other.Portid();
	}
	EXPECT_EQ(State("portid"), 0);
	Sock thief(false, true, old);
	ASSERT_EQ(thief.bind_errno(), 0);
	long long seq = State("seq");
	ASSERT_EQ(Ctl("info dropped"), 0);
	EXPECT_EQ(State("seq"), seq) << "no listener: not sent";
	EXPECT_TRUE(thief.Quiet());
	EXPECT_TRUE(Main().Quiet());

	Relisten();
	g_last_seq = State("seq");
	ASSERT_EQ(Ctl("info back"), 0);
	auto m = Main().Recv();
	ASSERT_TRUE(m);
	ExpectEvent(*m, ZT_TYPE_PROG, ZT_KIND_EXECING);
}

TEST(KernelLog, UlogOffPrintsLines)
{
	Relisten();
	const std::string pid = std::to_string(getpid()), comm = MyComm();
	struct Case {
		std::string cmd, line; // "" when nothing is printed
	} cases[] = {
		{ "hash /p 0aff", "Blocking hashlist execing pid:" + pid + " comm:" + comm +
					  " prog:/p hash:0aff" },
		{ "info rule", "Blocking program execing pid:" + pid + " comm:" + comm +
				       " prog:rule" },
		{ "ipv4 1 1 192.0.2.7 443 /c", "Blocking ip connecting to 192.0.2.7:443 pid:" +
						       pid + " comm:" + comm + " prog:/c" },
		{ "ipv6 2 2 2001:db8::1 53 /c", "Blocking ip sendmsging to 2001:db8::1:53 pid:" +
							pid + " comm:" + comm + " prog:/c" },
		{ "ipv4 7 7 0.0.0.0 22 /d", "Blocking port binding to 0.0.0.0:22 pid:" + pid +
						    " comm:" + comm + " prog:/d" },
		{ "dns a.example /dig", "Blocking dnslookuping url:a.example pid:" + pid +
						" comm:" + comm + " prog:/dig" },
		{ "raw 1 6", "" },
		{ "raw 2 200", "" },
	};
	ASSERT_EQ(Ctl("ulog 0"), 0);
	long long seq = State("seq");
	for (const auto &c : cases) {
		SCOPED_TRACE(c.cmd);
		KernelLog kmsg;
		ASSERT_EQ(Ctl(c.cmd), 0);
		auto lines = kmsg.Leveled("printk_event");
		if (c.line.empty()) {
			EXPECT_TRUE(lines.empty());
			continue;
		}
		ASSERT_EQ(lines.size(), 1u);
		EXPECT_EQ(lines[0], "6;zentrope: printk_event " + c.line);
	}
	EXPECT_TRUE(Main().Quiet()) << "ulog 0 sends nothing";
	EXPECT_EQ(State("seq"), seq);
	{
		KernelLog kmsg;
		for (int i = 0; i < 200; i++)
			ASSERT_EQ(Ctl("info flood"), 0);
		EXPECT_LT(kmsg.Leveled("printk_event").size(), 20u) << "a refusal loop floods the log";
	}

	// quite silences the log; the exec builders still build (and with
	// ulog 1 send) their events.
	ASSERT_EQ(Ctl("quite 1"), 0);
	{
		KernelLog kmsg;
		ASSERT_EQ(Ctl("hash /p 0aff"), 0);
		ASSERT_EQ(Ctl("ipv4 1 1 192.0.2.7 443 /c"), 0);
		EXPECT_TRUE(kmsg.Leveled("printk_event").empty());
	}
	ASSERT_EQ(Ctl("ulog 1"), 0);
	g_last_seq = State("seq");
	ASSERT_EQ(Ctl("hash /p 0aff"), 0);
	auto m = Main().Recv();
	ASSERT_TRUE(m);
	ExpectEvent(*m, ZT_TYPE_HASH, ZT_KIND_EXECING);
	ASSERT_EQ(Ctl("quite 0"), 0);
}

TEST(Ack, ExplicitCodes)
{
	Relisten();
	ASSERT_EQ(Ctl("ack 5 41"), 0);
	auto m = Main().Recv();
	ASSERT_TRUE(m);
	ExpectAck(*m, 5, 42);
	ASSERT_EQ(Ctl("ack 1 4294967295"), 0);
	m = Main().Recv();
	ASSERT_TRUE(m);
	ExpectAck(*m, 1, 0);
}

// Last: unloading the driver tells the listener first.
TEST(ZzUnload, ListenerGetsAck32)
{
	Relisten();
	ASSERT_EQ(syscall(SYS_delete_module, "zt_evtest", O_NONBLOCK), 0)
		<< strerror(errno);
	auto m = Main().Recv();
	ASSERT_TRUE(m);
	ExpectAck(*m, ZT_ACK_UNLOAD, 0);
	EXPECT_TRUE(Main().Quiet());
	EXPECT_NE(access((kDir + "ctl").c_str(), F_OK), 0);
	// Nobody answers the connector id any more: the request is dropped.
	EXPECT_EQ(Main().Listen(), 0);
	EXPECT_TRUE(Main().Quiet());
}

} // namespace
