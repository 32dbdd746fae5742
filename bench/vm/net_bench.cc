// Guest benchmark of the network hooks, in one VM boot on the loopback:
// UDP sendto 127.0.0.1 and TCP connect+close to 127.0.0.1, open+close of a
// tmpfs file, and getxattr of an ordinary attribute (the frame on a path no rule names; trusted.*, as
// tmpfs has user.* attributes only from 6.6 on), with no module, with the
// module and empty lists, and with full lists (IPv4, IPv6 addresses, ports
// and domains that never match); then once more without
// the module, so drift shows. Ratios are against the mean of the two
// module-less runs. Prints "BENCH net ..." lines.
//
//   net_bench [--datagrams N] [--connects N] [--getxattrs N] [--v4 N] [--v6 N] [--ports N] [--urls N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/xattr.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench_util.h"
#include "module_ctl.h"

namespace {

using namespace zt;
using namespace zt_bench;

[[noreturn]] void Die(const std::string &what)
{
	printf("BENCH net error=\"%s\"\n", what.c_str());
	exit(1);
}

sockaddr_in Loop(int port)
{
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return a;
}

const std::string kFile = "/tmp/zt_net_bench_file";

// Microseconds per call of each operation, medians over batches.
std::map<std::string, double> Measure(int datagrams, int connects, int getxattrs)
{
	std::map<std::string, double> us;
	const int batches = 5;
	int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
	int lst = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in u = Loop(7101), t = Loop(7102);
	int one = 1, big = 1 << 24;
	setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
	setsockopt(lst, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	if (bind(rx, (sockaddr *)&u, sizeof(u)) || bind(lst, (sockaddr *)&t, sizeof(t)) ||
	    listen(lst, 4096))
		Die("loopback sockets");
	std::vector<double> send_b, conn_b, xattr_b, open_b;
	char buf[64];
	for (int b = 0; b < batches; b++) {
		double t0 = Now();
		for (int i = 0; i < datagrams / batches; i++) {
			if (sendto(tx, "zentrope", 8, 0, (sockaddr *)&u, sizeof(u)) != 8)
				Die("sendto");
			recv(rx, buf, sizeof(buf), MSG_DONTWAIT);
		}
		send_b.push_back((Now() - t0) / (datagrams / batches) * 1e6);
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
	}
	close(rx);
	close(tx);
	close(lst);
	us["udp_sendto"] = Median(send_b);
	us["tcp_connect"] = Median(conn_b);
	us["getxattr"] = Median(xattr_b);
	us["open_close"] = Median(open_b);
	return us;
}

void Fill(const std::string &entry, int n, const std::function<std::string(int)> &item)
{
	for (int i = 0; i < n; i++)
		if (Cmd(entry, "ADD " + item(i)))
			Die(entry + " ADD " + item(i));
}

} // namespace

int main(int argc, char **argv)
{
	std::map<std::string, int> opt = { { "--datagrams", 100000 }, { "--connects", 5000 },
					   { "--getxattrs", 100000 }, { "--v4", 6000 },
					   { "--v6", 4000 }, { "--ports", 1000 }, { "--urls", 1000 } };
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
	Fill("block_port", opt["--ports"], [](int i) { return std::to_string(20000 + i); });
	Fill("block_url", opt["--urls"], [](int i) { return "d" + std::to_string(i) + ".example"; });
	auto full = run();
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
