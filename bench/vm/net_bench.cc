// Guest benchmark of the network hooks, in one VM boot on the loopback:
// UDP sendto+recv 127.0.0.1, UDP recv alone, bind of a UDP socket to an
// unlisted port, TCP connect+accept+close to 127.0.0.1, open+close of a
// tmpfs file, getxattr of an ordinary attribute (the frame on a path no
// rule names; trusted.*, as tmpfs has user.* attributes only from 6.6 on)
// and fork+exit+wait, with no module, with the module and empty lists, and
// with full lists (6,000 IPv4 and 4,000 IPv6 addresses, 10,000 ports and
// 10,000 domains, none the traffic's); then once more without the module,
// so drift shows. Ratios are against the mean of the two module-less runs.
// With the full lists also: UDP sendto from a forked child against its
// parent, and a 64 KiB datagram of questions to port 53 against the same
// to port 5353. Prints "BENCH net ..." lines.
//
//   net_bench [--datagrams N] [--connects N] [--getxattrs N] [--v4 N] [--v6 N]
//             [--ports N] [--urls N] [--dns N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <unistd.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench_util.h"
#include "daemon_ctl.h"

namespace {

using namespace zt;
using namespace zt_bench;

[[noreturn]] void Die(const std::string &what)
{
	printf("BENCH net error=\"%s\"\n", what.c_str());
	exit(1);
}

const std::string kFile = "/tmp/zt_net_bench_file";
const int kUnlistedPort = 7200;	// to 8199, for the binds

// Microseconds per call of each operation, medians over batches.
std::map<std::string, double> Measure(int datagrams, int connects, int getxattrs)
{
	std::map<std::string, double> us;
	const int batches = 5;
	// A fork copies the page tables of the heap: what the fills and the
	// datagrams left freed goes back, so every run forks the same process.
	malloc_trim(0);
	int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
	int lst = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in u = Addr("127.0.0.1", 7101), t = Addr("127.0.0.1", 7102);
	int one = 1, big = 1 << 24;
	setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
	setsockopt(lst, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	if (bind(rx, (sockaddr *)&u, sizeof(u)) || bind(lst, (sockaddr *)&t, sizeof(t)) ||
	    listen(lst, 4096))
		Die("loopback sockets");
	std::vector<double> send_b, recv_b, bind_b, conn_b, xattr_b, open_b, fork_b;
	char buf[64];
	const int queued = 1000;	// datagrams waiting for the recv loop, sockets for bind
	for (int b = 0; b < batches; b++) {
		double t0 = Now();
		for (int i = 0; i < datagrams / batches; i++) {
			if (sendto(tx, "zentrope", 8, 0, (sockaddr *)&u, sizeof(u)) != 8)
				Die("sendto");
			recv(rx, buf, sizeof(buf), MSG_DONTWAIT);
		}
		send_b.push_back((Now() - t0) / (datagrams / batches) * 1e6);
		double spent = 0;
		for (int i = 0; i < datagrams / batches; i += queued) {
			for (int j = 0; j < queued; j++)
				if (sendto(tx, "zentrope", 8, 0, (sockaddr *)&u, sizeof(u)) != 8)
					Die("sendto");
			t0 = Now();
			for (int j = 0; j < queued; j++)
				if (recv(rx, buf, sizeof(buf), MSG_DONTWAIT) != 8)
					Die("recv");
			spent += Now() - t0;
		}
		recv_b.push_back(spent / (datagrams / batches / queued * queued) * 1e6);
		// The bind alone: making and freeing sockets (RCU-deferred) varies
		// with when the grace periods end.
		spent = 0;
		for (int i = 0; i < connects / batches; i += queued) {
			std::vector<int> socks(queued);
			std::vector<sockaddr_in> to(queued);
			for (int j = 0; j < queued; j++) {
				socks[j] = socket(AF_INET, SOCK_DGRAM, 0);
				to[j] = Addr("127.0.0.1", kUnlistedPort + j);
			}
			// Only the binds are timed, not the parsing of the address.
			t0 = Now();
			for (int j = 0; j < queued; j++) {
				if (bind(socks[j], (sockaddr *)&to[j], sizeof(to[j])))
					Die("bind");
			}
			spent += Now() - t0;
			for (int s : socks)
				close(s);
		}
		bind_b.push_back(spent / (connects / batches / queued * queued) * 1e6);
		t0 = Now();
		for (int i = 0; i < connects / batches; i++) {
			int c = socket(AF_INET, SOCK_STREAM, 0);
			if (connect(c, (sockaddr *)&t, sizeof(t)))
				Die("connect");
			int a = accept(lst, nullptr, nullptr);
			close(a);
			close(c);
		}
		conn_b.push_back((Now() - t0) / (connects / batches) * 1e6);
		t0 = Now();
		for (int i = 0; i < getxattrs / batches; i++)
			if (getxattr(kFile.c_str(), "trusted.zt", buf, sizeof(buf)) != 1)
				Die("getxattr");
		xattr_b.push_back((Now() - t0) / (getxattrs / batches) * 1e6);
		t0 = Now();
		for (int i = 0; i < getxattrs / batches; i++)
			close(open(kFile.c_str(), O_RDONLY));
		open_b.push_back((Now() - t0) / (getxattrs / batches) * 1e6);
		t0 = Now();
		for (int i = 0; i < connects / batches; i++) {
			pid_t p = fork();
			if (p == 0)
				_exit(0);
			waitpid(p, nullptr, 0);
		}
		fork_b.push_back((Now() - t0) / (connects / batches) * 1e6);
	}
	close(rx);
	close(tx);
	close(lst);
	us["udp_sendto"] = Median(send_b);
	us["udp_recv"] = Median(recv_b);
	us["udp_bind"] = Median(bind_b);
	us["tcp_connect"] = Median(conn_b);
	us["getxattr"] = Median(xattr_b);
	us["open_close"] = Median(open_b);
	us["fork_wait"] = Median(fork_b);
	return us;
}

// Microseconds per UDP sendto of @n, from this process.
double SendCost(int n)
{
	int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
	sockaddr_in u = Addr("127.0.0.1", 7103);
	char buf[64];
	if (bind(rx, (sockaddr *)&u, sizeof(u)))
		Die("child sockets");
	double t0 = Now();
	for (int i = 0; i < n; i++) {
		sendto(tx, "zentrope", 8, 0, (sockaddr *)&u, sizeof(u));
		recv(rx, buf, sizeof(buf), MSG_DONTWAIT);
	}
	double us = (Now() - t0) / n * 1e6;
	close(rx);
	close(tx);
	return us;
}

// A forked child is judged by the records it took from its parent.
void ChildVsParent(int n)
{
	int fds[2];
	if (pipe(fds))
		Die("pipe");
	double parent = SendCost(n), child = 0;
	pid_t p = fork();
	if (p == 0) {
		child = SendCost(n);
		_exit(write(fds[1], &child, sizeof(child)) == sizeof(child) ? 0 : 1);
	}
	if (read(fds[0], &child, sizeof(child)) != sizeof(child))
		Die("child figure");
	waitpid(p, nullptr, 0);
	close(fds[0]);
	close(fds[1]);
	printf("BENCH net udp_sendto_child child_us=%.2f parent_us=%.2f ratio=%.3f\n", child,
	       parent, child / parent);
	Row("net", "udp_sendto_forked_child", child, "us", parent);
}

// The worst a sender can ask of the DNS check: a 64 KiB datagram of
// questions, none of the @domains listed (the full list). Against the
// same datagram to a port never inspected.
void DnsWorstCase(int n, int domains)
{
	std::string q = { 0x12, 0x34, 1, 0, char(0xff), char(0xff), 0, 0, 0, 0, 0, 0 };
	const std::string question("\0\0\1\0\1", 5);	/* the root name: the shortest */
	while (q.size() + question.size() <= 65507)
		q += question;
	int tx = socket(AF_INET, SOCK_DGRAM, 0);
	std::map<int, double> us;
	for (int port : { 5353, 53 }) {
		sockaddr_in to = Addr("127.0.0.1", port);
		double t0 = Now();
		for (int i = 0; i < n; i++)
			if (sendto(tx, q.data(), q.size(), 0, (sockaddr *)&to, sizeof(to)) < 0)
				Die("64 KiB datagram");
		us[port] = (Now() - t0) / n * 1e6;
	}
	close(tx);
	printf("BENCH net dns_64k questions=%zu domains=%d port53_us=%.2f port5353_us=%.2f ratio=%.3f\n",
	       (q.size() - 12) / question.size(), domains, us[53], us[5353], us[53] / us[5353]);
	Row("net", "dns_64k_datagram", us[53], "us", us[5353]);
}

// @n entries from @item, in as few ADD commands as fit.
void Fill(const std::string &entry, int n, const std::function<std::string(int)> &item)
{
	std::vector<std::string> tokens;
	for (int i = 0; i < n; i++)
		tokens.push_back(item(i));
	if (int err = AddAll(entry, tokens))
		Die(entry + " ADD: " + strerror(err));
}

// The counts the module reports against those pushed; the ports, which it
// does not report, by a bind to the first of them being refused.
void ExpectFull(const std::map<std::string, int> &opt, int first_port)
{
	for (const auto &[key, n] : { std::pair<std::string, int>{ "num_block_ipv4", opt.at("--v4") },
				      { "num_block_ipv6", opt.at("--v6") },
				      { "num_block_url", opt.at("--urls") } })
		if (DebugCount(key) != n)
			Die(key + " is " + std::to_string(DebugCount(key)) + ", not " +
			    std::to_string(n));
	if (opt.at("--ports") > 0) {
		int s = socket(AF_INET, SOCK_DGRAM, 0);
		sockaddr_in a = Addr("127.0.0.1", first_port);
		if (!bind(s, (sockaddr *)&a, sizeof(a)))
			Die("a listed port was bound");
		close(s);
	}
}

} // namespace

int main(int argc, char **argv)
{
	std::map<std::string, int> opt = { { "--datagrams", 100000 }, { "--connects", 5000 },
					   { "--getxattrs", 100000 }, { "--v4", 6000 },
					   { "--v6", 4000 }, { "--ports", 10000 }, { "--urls", 10000 },
					   { "--dns", 200 } };
	for (int i = 1; i + 1 < argc; i += 2) {
		if (!opt.count(argv[i]))
			Die(std::string("unknown option ") + argv[i]);
		opt[argv[i]] = atoi(argv[i + 1]);
	}
	setvbuf(stdout, nullptr, _IOLBF, 0);
	struct utsname u;
	uname(&u);
	printf("BENCH net setup kernel=%s datagrams=%d connects=%d getxattrs=%d v4=%d v6=%d ports=%d urls=%d\n",
	       u.release, opt["--datagrams"], opt["--connects"], opt["--getxattrs"], opt["--v4"],
	       opt["--v6"], opt["--ports"], opt["--urls"]);
	if (system(("touch " + kFile).c_str()) || setxattr(kFile.c_str(), "trusted.zt", "1", 1, 0))
		Die("user attribute");
	auto run = [&] { return Measure(opt["--datagrams"], opt["--connects"], opt["--getxattrs"]); };

	run(); // warm-up
	auto none1 = run();
	if (LoadModule("/lib/zentrope/zentrope.ko"))
		Die("cannot load the module");
	auto empty = run();
	// Entries that never match the benchmark's own traffic.
	Fill("block_ipv4", opt["--v4"], [](int i) {
		return "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
		       std::to_string(i & 255);
	});
	Fill("block_ipv6", opt["--v6"], [](int i) { return "fd00::" + std::to_string(i % 10000); });
	const int first_port = 20000;	// to 29999: none of 7101-8199, 53, 5353, ephemeral
	Fill("block_port", opt["--ports"], [](int i) { return std::to_string(first_port + i); });
	Fill("block_url", opt["--urls"], [](int i) { return "d" + std::to_string(i) + ".example"; });
	ExpectFull(opt, first_port);
	auto full = run();
	ChildVsParent(opt["--datagrams"] / 5);
	DnsWorstCase(opt["--dns"], opt["--urls"]);
	if (UnloadModule())
		Die("cannot unload the module");
	auto none2 = run();

	for (const auto &[op, base1] : none1) {
		const double base = (base1 + none2[op]) / 2;
		printf("BENCH net %s none_us=%.2f none_again_us=%.2f empty_us=%.2f full_us=%.2f "
		       "ratio_empty=%.3f ratio_full=%.3f drift=%.3f\n",
		       op.c_str(), base1, none2[op], empty[op], full[op], empty[op] / base,
		       full[op] / base, none2[op] / base1);
		Row("net", (op + "_none").c_str(), base, "us");
		Row("net", (op + "_empty").c_str(), empty[op], "us", base);
		Row("net", (op + "_full").c_str(), full[op], "us", base);
		Row("net", (op + "_none_again").c_str(), none2[op], "us", base1);
	}
	return 0;
}
