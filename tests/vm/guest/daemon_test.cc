// The real daemon's life in the guest: command line, build selection,
// start from /opt/zentrope, the lists it pushed, refusals becoming
// block-log lines, a killed daemon's port id that hears nothing, a reload
// that never lifts a kept rule, the pid lock, and a stop that leaves no
// module behind; the JSON block log with a file name no line may trust, and
// a storm whose lost events the log counts exactly. suites/daemon.sh lays
// out /opt/zentrope first.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "cn_sock.h"
#include "ctl.h"
#include "dns_query.h"
#include "daemon_ctl.h"
#include "spawn.h"

namespace {

using namespace zt;

const std::string kDir = "/opt/zentrope";
const std::string kLog = "/var/log/zt.log", kBlockLog = "/var/log/zt_block.log";
const std::string kBlocked = "/tmp/blocked-prog";

bool Contains(const std::string &path, const std::string &s)
{
	return ReadText(path).find(s) != std::string::npos;
}

std::vector<std::string> Matching(const std::string &path, const std::string &re)
{
	std::vector<std::string> out;
	for (const std::string &l : Lines(ReadText(path)))
		if (std::regex_search(l, std::regex(re)))
			out.push_back(l);
	return out;
}

int DnsQuery(const std::string &name)
{
	sockaddr_in a = Addr("127.0.0.1", 53);
	std::string q = Query({ name });
	return SockOp(SOCK_DGRAM, [&](int fd) {
		return sendto(fd, q.data(), q.size(), 0, (sockaddr *)&a, sizeof(a)) < 0;
	});
}

void WriteConfig(const std::string &format = "text")
{
	mkdir((kDir + "/t").c_str(), 0755);
	Put(kDir + "/config/config.txt",
	    "[global]\nstrict = 1\ndaemon = 1\nverbose = 1\nquite = 0\n"
	    "log_file = " + kLog + "\nblock_log_file = " + kBlockLog + "\n"
	    "block_log_format = " + format + "\n"
	    "[interp]\ninterp_file = t/interp.txt\nusr_interp_file = config/usr_interp.txt\n"
	    "[block_prog]\nblock_prog_file = t/prog.txt\n"
	    "[block_url]\nblock_url_file = t/url.txt\n"
	    "[block_ip]\nblock_ip_file = t/ip.txt\nusr_block_ip_file = t/usr_ip.txt\n"
	    "[block_port]\nblock_port_file = t/port.txt\n");
	Put(kDir + "/t/interp.txt", "/bin/sh\n");
	Put(kDir + "/t/prog.txt", kBlocked + "\n");
	Put(kDir + "/t/url.txt", "blocked.example\n");
	Put(kDir + "/t/ip.txt", "127.0.0.9\n");
	Put(kDir + "/t/port.txt", "7001 7002\n");
}

TEST(Daemon, CommandLine)
{
	WriteConfig();
	const struct {
		std::vector<std::string> args;
		int uid, status;
		std::string out;
	} cases[] = {
		{ { "-v" }, -1, 255, "0.5.6.4\n" },
		{ { "-x" }, -1, 255, "Usage: " },
		{ { "-f" }, -1, 255, "Usage: " },
		{ { "-f", "/nonexistent.ini" }, -1, 255, "cannot parse file: /nonexistent.ini" },
		{ {}, 65534, 255, "Your uid or euid must be 0" },
		{ { "-t" }, 65534, 0, "config/config.txt is ok" },
		{ { "-t", "-f", "config/bad.txt" }, -1, 255,
		  "/opt/zentrope/t/bad_ip.txt:2: 10.0.0.300 is not an IPv4 or IPv6 address" },
	};
	Put(kDir + "/config/bad.txt", "[block_ip]\nblock_ip_file = t/bad_ip.txt\n");
	Put(kDir + "/t/bad_ip.txt", "10.0.0.1\n10.0.0.300\n");
	for (const auto &c : cases) {
		std::vector<std::string> argv = { kDir + "/zentroped" };
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		Output o = Capture(argv, c.uid);
		EXPECT_EQ(o.status, c.status) << o.text;
		EXPECT_NE(o.text.find(c.out), std::string::npos) << o.text;
	}
	EXPECT_EQ(Capture({ kDir + "/zentroped", "-v" }).text, "0.5.6.4\n");
}

// zentroped-kylin carries only builds for the 6.6 production kernels.
TEST(Daemon, NoBuildFits)
{
	Put(kDir + "/config/foreground.txt", "[global]\ndaemon = 0\n");
	Output o = Capture({ kDir + "/zentroped-kylin", "-f", "config/foreground.txt" });
	EXPECT_EQ(o.status, 1) << o.text;
	std::string abi32 = "6.6.0-32007", abi40 = "6.6.0";
	for (int a = 32009; a <= 32028; a++)
		if (a != 32016)
			abi32 += "-" + std::to_string(a);
	for (int a = 40009; a <= 40016; a++)
		abi40 += "-" + std::to_string(a);
	EXPECT_NE(o.text.find("but the zentrope only support " + abi32 + " " + abi40 +
			      " . Or abicode not support"),
		  std::string::npos)
		<< o.text;
	utsname u;
	uname(&u);
	EXPECT_NE(o.text.find("Your kernel version is " + std::to_string(atoi(u.release))),
		  std::string::npos)
		<< o.text;
	EXPECT_FALSE(ModuleListed());
}

TEST(Daemon, Life)
{
	WriteConfig();
	RunProg({ "/bin/cp", "/bin/zt_tool", kBlocked });
	Output start = Capture({ kDir + "/zentroped" });
	ASSERT_EQ(start.status, 0) << start.text;
	ASSERT_TRUE(WaitFor([] { return Contains(kLog, "ulog SUCC"); })) << ReadText(kLog);
	pid_t pid = DaemonPid();
	ASSERT_GT(pid, 1);
	ASSERT_TRUE(WaitFor([&] { return DaemonPortid() != 0; })) << ReadText("/proc/net/netlink");
	std::this_thread::sleep_for(std::chrono::seconds(1));

	std::string pidfile = ReadText("/var/run/zentrope_pid");
	EXPECT_EQ(pidfile.size(), 16u);
	EXPECT_TRUE(ModuleListed());
	EXPECT_NE(Read("block_prog").find(kBlocked + "\n"), std::string::npos);
	EXPECT_EQ(Read("block_url"), "blocked.example\n");
	EXPECT_EQ(Read("block_ipv4"), "127.0.0.9\n");
	EXPECT_EQ(Read("block_port"), "7002\n7001\n");
	EXPECT_NE(Read("interp_prog").find("/bin/sh\n"), std::string::npos);
	EXPECT_EQ(ReadText(Entry("strict")), "1\n");

	// A second instance stops at the lock and leaves the module alone.
	Output second = Capture({ kDir + "/zentroped" });
	EXPECT_EQ(second.status, 1);
	EXPECT_TRUE(Contains(kLog, "lock file /var/run/zentrope_pid fail. check the program is running?"));
	EXPECT_TRUE(ModuleListed());

	// One refused exec, connect and DNS query: one block-log line each.
	EXPECT_EQ(RunProg({ kBlocked, "wait" }), -EPERM);
	EXPECT_EQ(Connect("127.0.0.9", 80), -EPERM);
	EXPECT_EQ(DnsQuery("blocked.example"), -EPERM);
	const std::string me = "pid:" + std::to_string(getpid()) + " comm:zt_guest_daemon ";
	const std::string head = R"(^\d+ \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d+ Blocking )";
	const std::string exec_re = head + R"(program execing pid:\d+ comm:\S+ (prog:/tmp/blocked-prog|hash:[0-9a-f]{40})$)";
	const std::string who = "(prog:\\S*|hash:[0-9a-f]{40})$"; // no record: run before the load
	const std::string conn_re = head + "ip connecting to 127.0.0.9:80 " + me + who;
	const std::string dns_re = head + "dnslookuping url:blocked.example " + me + who;
	EXPECT_TRUE(WaitFor([&] { return Matching(kBlockLog, dns_re).size() == 1; }, 30))
		<< ReadText(kBlockLog);
	EXPECT_EQ(Matching(kBlockLog, exec_re).size(), 1u) << ReadText(kBlockLog);
	EXPECT_EQ(Matching(kBlockLog, conn_re).size(), 1u) << ReadText(kBlockLog);

	// A newline in a file name, and so in comm, cannot start a line.
	const std::string forged = "/tmp/x\n1 2026-01-01T00:00:00.000000 Blocking ip connecting"
				   " to 10.0.0.1:80 pid:1 comm:a prog:b";
	RunProg({ "/bin/cp", "/bin/zt_tool", forged });
	EXPECT_EQ(RunProg({ forged, "connect", "80", "127.0.0.9" }), EPERM);
	EXPECT_TRUE(WaitFor([&] { return Contains(kBlockLog, "comm:x\\x0a1 2026-01-01T prog:/tmp/x\\x0a1 2026-01-01T00:00:00.000000 Blocking ip"); }, 30))
		<< ReadText(kBlockLog);
	EXPECT_TRUE(Matching(kBlockLog, "^1 2026-01-01T").empty()) << ReadText(kBlockLog);

	// Killed, the daemon leaves the module loaded. A socket bound to its
	// port id afterwards hears nothing; the next daemon gets the events.
	const uint32_t portid = DaemonPortid();
	ASSERT_NE(portid, 0u);
	kill(pid, SIGKILL);
	ASSERT_TRUE(WaitFor([&] { return kill(pid, 0) != 0; }));
	{
		Sock thief(false, true, portid);
		ASSERT_EQ(thief.bind_errno(), 0);
		EXPECT_EQ(Connect("127.0.0.9", 80), -EPERM);
		EXPECT_TRUE(thief.Quiet(1000)) << "the old port id got an event";
	}
	start = Capture({ kDir + "/zentroped" });
	ASSERT_EQ(start.status, 0) << start.text;
	ASSERT_TRUE(WaitFor([&] { return (pid = DaemonPid()) > 1 && DaemonPortid(); }));
	std::this_thread::sleep_for(std::chrono::seconds(1));
	EXPECT_EQ(Connect("127.0.0.9", 80), -EPERM);
	EXPECT_TRUE(WaitFor([&] { return Matching(kBlockLog, conn_re).size() == 2; }, 30))
		<< ReadText(kBlockLog);

	// Reload: 7002 goes, 7003 and 127.0.0.10 come, 7001 stays refused
	// at every moment, as a process that keeps binding it sees.
	std::atomic<bool> stop{ false };
	std::atomic<int> tries{ 0 }, allowed{ 0 };
	std::thread keeper([&] {
		while (!stop) {
			if (Bind(7001) != -EPERM)
				allowed++;
			tries++;
			std::this_thread::sleep_for(std::chrono::milliseconds(2));
		}
	});
	Put(kDir + "/t/port.txt", "7001 7003\n");
	Put(kDir + "/t/usr_ip.txt", "127.0.0.10\n");
	kill(pid, SIGUSR1);
	bool reloaded = WaitFor([] {
		std::string p = Read("block_port");
		return p.find("7003") != std::string::npos && p.find("7002") == std::string::npos;
	});
	stop = true;
	keeper.join();
	ASSERT_TRUE(reloaded) << Read("block_port") << ReadText(kLog);
	EXPECT_GT(tries, 0);
	EXPECT_EQ(allowed, 0) << "7001 was not refused during the reload";
	EXPECT_EQ(Bind(7002), 0);
	EXPECT_EQ(Bind(7003), -EPERM);
	EXPECT_TRUE(WaitFor([] { return Read("block_ipv4").find("127.0.0.10") != std::string::npos; }));
	EXPECT_EQ(Connect("127.0.0.9", 80), -EPERM);
	EXPECT_TRUE(Contains(kLog, "Recved sig:User defined signal 1 [10], zentrope will reload"));
	EXPECT_FALSE(Contains(kLog, "CLEAR")) << "a reload does not clear";
	EXPECT_TRUE(WaitFor([] { return !Matching(kBlockLog, "Blocking port binding to 127.0.0.1:7001 ").empty(); }, 30));

	// Stop: the lock comes free, and neither module nor lists are left.
	kill(pid, SIGTERM);
	int fd = open("/var/run/zentrope_pid", O_RDWR);
	EXPECT_TRUE(WaitFor([&] { return flock(fd, LOCK_EX | LOCK_NB) == 0; }));
	close(fd);
	EXPECT_TRUE(WaitFor([] { return !ModuleListed(); }, 30));
	EXPECT_TRUE(Contains(kLog, "Clear block ipv6 " + Entry("block_ipv6") + " config SUCC"));
	EXPECT_EQ(RunProg({ kBlocked, "read", "/dev/null" }), 0);
}

// Refusals of every rule type, from programs whose names hold a newline
// and bytes that are not UTF-8, as JSON lines; the host runs jq over the
// lines printed with "ZT-JSON ". Then a storm against a stopped daemon
// overflows its socket: what the log calls lost is exactly what is missing.
TEST(Daemon, JsonAndLostEvents)
{
	WriteConfig("json");
	Put(kDir + "/t/usr_ip.txt", "");
	Put(kDir + "/t/port.txt", "7001 7002\n");
	RunProg({ "/bin/cp", "/bin/zt_tool", kBlocked });
	const std::string odd = "/tmp/a\nb\xff\xfe\"q\\";
	RunProg({ "/bin/cp", "/bin/zt_tool", odd });
	Put(kBlockLog, "");
	ASSERT_EQ(Capture({ kDir + "/zentroped" }).status, 0);
	pid_t pid = 0;
	ASSERT_TRUE(WaitFor([&] { return (pid = DaemonPid()) > 1 && DaemonPortid(); }));
	std::this_thread::sleep_for(std::chrono::seconds(1));

	EXPECT_EQ(RunProg({ kBlocked, "wait" }), -EPERM);
	EXPECT_EQ(RunProg({ odd, "connect", "80", "127.0.0.9" }), EPERM);
	EXPECT_EQ(DnsQuery("blocked.example"), -EPERM);
	EXPECT_EQ(Bind(7001), -EPERM);
	const char *const want[] = {
		R"("op":"execing","rule":"program",)",
		R"("op":"connecting","rule":"ip","pid":\d+,"comm":"a\\\\x0ab\\\\xff\\\\xfe\\"q\\\\x5c","prog":"/tmp/a\\\\x0ab\\\\xff\\\\xfe\\"q\\\\x5c","addr":"127.0.0.9","port":80\}$)",
		R"("op":"dnslookuping","rule":"domain",.*"domain":"blocked.example"\}$)",
		R"("op":"binding","rule":"port",.*"addr":"127.0.0.1","port":7001\}$)",
	};
	ASSERT_TRUE(WaitFor([] { return Lines(ReadText(kBlockLog)).size() >= 4; }, 30));
	for (const char *re : want)
		EXPECT_EQ(Matching(kBlockLog, std::string(R"(^\{"seq":\d+,"time":"[-0-9T:.]{26}Z","host":"[^"]+",)") + re).size(), 1u)
			<< re << "\n" << ReadText(kBlockLog);

	// 128 MiB of socket buffer hold some 15,000 events: the rest is lost.
	// The event after the storm shows the end of the gap.
	const int kStorm = 20000;
	kill(pid, SIGSTOP);
	std::atomic<int> refused{ 0 };
	std::vector<std::thread> ts;
	for (int k = 0; k < 2; k++)
		ts.emplace_back([&] {
			for (int i = 0; i < kStorm / 2; i++)
				refused += Connect("127.0.0.9", 80) == -EPERM;
		});
	for (std::thread &t : ts)
		t.join();
	kill(pid, SIGCONT);
	std::this_thread::sleep_for(std::chrono::seconds(2));
	EXPECT_EQ(Connect("127.0.0.9", 80), -EPERM);
	// The daemon drains in order and writes a lost line after the events
	// before it, so the log is whole once the line is there.
	ASSERT_TRUE(WaitFor([] { return !Matching(kBlockLog, R"("lost":)").empty(); }, 300))
		<< "no event was lost, or the loss was not logged";
	std::this_thread::sleep_for(std::chrono::seconds(2));

	std::set<unsigned long> seqs;
	unsigned long lost = 0, total = 0;
	for (const std::string &l : Lines(ReadText(kBlockLog))) {
		std::smatch m;
		if (std::regex_search(l, m, std::regex(R"(^\{"seq":(\d+),)")))
			seqs.insert(std::stoul(m[1]));
		else if (std::regex_search(l, m, std::regex(R"("lost":(\d+),.*"lost_total":(\d+)\})"))) {
			lost += std::stoul(m[1]);
			total = std::stoul(m[2]);
		}
		if (seqs.size() <= 4 || l.find("\"lost\"") != std::string::npos)
			printf("ZT-JSON %s\n", l.c_str());
	}
	fflush(stdout);
	ASSERT_FALSE(seqs.empty());
	const unsigned long gap = *seqs.rbegin() - *seqs.begin() + 1 - seqs.size();
	printf("storm: %d refused, %zu events logged, %lu lost by the log, gap %lu\n",
	       refused.load(), seqs.size(), lost, gap);
	EXPECT_GT(lost, 0u);
	EXPECT_EQ(lost, gap);
	EXPECT_EQ(total, lost);
	EXPECT_EQ(seqs.size() + lost, (size_t)refused + 5) << "an event was not numbered";

	kill(pid, SIGTERM);
	EXPECT_TRUE(WaitFor([] { return !ModuleListed(); }, 60));
	EXPECT_TRUE(Contains(kLog, std::to_string(lost) + " block events lost in all"));
}

} // namespace
