// Benchmark, not a test: the real daemon in the guest. Start-up with
// 10,000-entry lists and a 1,000,000-digest file against a shell loop
// and dd writing the same commands and bytes; a reload with one entry
// changed, and how long a kept rule was absent, against a reload that
// clears and pushes again; block-log lines per second under a storm of
// refused connects, text and JSON, with the events lost as the log counts
// them against the gap in the module's sequence numbers. Prints
// "BENCH daemon ..." lines.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "bench_util.h"
#include "ctl.h"
#include "daemon_ctl.h"
#include "spawn.h"

namespace {

using namespace zt;
using zt_bench::Now;
using zt_bench::Row;

const std::string kDir = "/opt/zentrope", kT = kDir + "/t";
const std::string kBlockLog = "/var/log/zb_block.log";
constexpr int kEntries = 10000, kDigests = 1000000, kKeptPort = 20000;

void WriteLists()
{
	mkdir(kT.c_str(), 0755);
	std::string prog, url, ip, port;
	for (int i = 0; i < kEntries; i++) {
		prog += "/usr/bin/p" + std::to_string(i) + "\n";
		url += "d" + std::to_string(i) + ".example\n";
		ip += "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1\n";
		port += std::to_string(kKeptPort + i) + "\n";
	}
	Put(kT + "/prog.txt", prog);
	Put(kT + "/url.txt", url);
	Put(kT + "/ip.txt", ip);
	Put(kT + "/port.txt", port);
	std::string bin(20u * kDigests, '\0');
	std::mt19937_64 rng(1);
	for (size_t i = 0; i < bin.size(); i += 8) {
		uint64_t v = rng();
		memcpy(&bin[i], &v, 8);
	}
	Put(kT + "/h.bin", bin);
}

void WriteConfig(const std::string &format)
{
	Put(kDir + "/config/config.txt",
	    "[global]\nstrict = 0\ndaemon = 1\nverbose = 0\n"
	    "log_file = /var/log/zb.log\nblock_log_file = " + kBlockLog + "\n"
	    "block_log_format = " + format + "\n"
	    "[block_prog]\nblock_prog_file = t/prog.txt\n"
	    "[block_hash]\nblock_hash_bin_file = t/h.bin\n"
	    "[block_url]\nblock_url_file = t/url.txt\n"
	    "[block_ip]\nblock_ip_file = t/ip.txt\n"
	    "[block_port]\nblock_port_file = t/port.txt\n");
}

// The same commands and bytes as the daemon writes, from busybox sh.
double ShellPush()
{
	std::string script = "c=/proc/sys/kernel/zentrope\nbad=0\n";
	for (const char *l : { "prog:block_prog", "url:block_url", "ip:block_ipv4", "port:block_port" }) {
		std::string s(l), file = s.substr(0, s.find(':')), ctl = s.substr(s.find(':') + 1);
		script += "while read -r e; do echo -n \"ADD $e\" > $c/" + ctl +
			  " || bad=$((bad + 1)); done < " + kT + "/" + file + ".txt\n";
	}
	// Whole records per write, as the feed takes them.
	script += "dd if=" + kT + "/h.bin of=/proc/zentrope/block_hash_bin bs=20000 2>/dev/null || bad=$((bad + 1))\n"
		  "exit $bad\n";
	Put("/tmp/push.sh", script);
	double t0 = Now();
	int rc = RunProg({ "/bin/sh", "/tmp/push.sh" });
	double t = Now() - t0;
	if (rc)
		printf("BENCH daemon shell push failed (%d)\n", rc);
	return t;
}

// Binds the kept port until stopped; the time during which it was allowed.
struct Prober {
	std::atomic<bool> stop{ false };
	double absent = 0;
	long probes = 0, allowed = 0;
	std::thread t{ [this] {
		for (double last = Now(); !stop; probes++) {
			bool ok = Bind(kKeptPort, SOCK_DGRAM) == 0;
			double now = Now();
			if (ok) {
				absent += now - last;
				allowed++;
			}
			last = now;
		}
	} };
	void Stop()
	{
		stop = true;
		t.join();
	}
};

pid_t g_pid;

bool Start()
{
	Put(kBlockLog, "");
	double t0 = Now();
	if (RunProg({ kDir + "/zentroped" })) {
		printf("BENCH daemon start failed\n");
		return false;
	}
	WaitFor([] { return (g_pid = DaemonPid()) > 0 && DaemonPortid(); }, 1200, 20);
	double t = Now() - t0;
	printf("BENCH daemon start-to-listening: %.2f s (%d entries x 4 lists, %d digests)\n",
	       t, kEntries, kDigests);
	fflush(stdout);
	return g_pid > 0;
}

void Reload()
{
	// One entry changed: the last port goes, another comes.
	std::string ports;
	for (int i = 0; i < kEntries - 1; i++)
		ports += std::to_string(kKeptPort + i) + "\n";
	Put(kT + "/port.txt", ports + "9999\n");
	Prober p;
	double t0 = Now();
	kill(g_pid, SIGUSR1);
	WaitFor([] { return ("\n" + Read("block_port")).find("\n9999\n") != std::string::npos; }, 600, 20);
	const double reload = Now() - t0;
	p.Stop();
	printf("BENCH daemon reload, one entry changed: %.2f s (incl. the tool and 1 s pause); "
	       "kept rule absent %.3f ms (%ld of %ld probes allowed)\n",
	       reload, p.absent * 1e3, p.allowed, p.probes);

	// The same change applied by clearing and pushing again.
	Prober q;
	t0 = Now();
	Cmd("block_port", "CLEAR");
	std::string script = "c=/proc/sys/kernel/zentrope/block_port\nwhile read -r e; do "
			     "echo -n \"ADD $e\" > $c; done < " + kT + "/port.txt\n";
	Put("/tmp/repush.sh", script);
	RunProg({ "/bin/sh", "/tmp/repush.sh" });
	const double repush = Now() - t0;
	q.Stop();
	printf("BENCH daemon clear-and-push of the port list alone: %.2f s; kept rule absent "
	       "%.3f ms (%ld of %ld probes allowed)\n", repush, q.absent * 1e3, q.allowed, q.probes);
	Row("daemon", "clear_and_push", repush, "s");
	Row("daemon", "reload", reload, "s", repush);
	Row("daemon", "clear_and_push_rule_absent", q.absent * 1e3, "ms");
	Row("daemon", "reload_rule_absent", p.absent * 1e3, "ms", q.absent * 1e3);
}

int ConnectListed(int i)
{
	std::string ip = "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1";
	return Connect(ip.c_str(), 80);
}

// What the block log says: its event lines past sequence number @after,
// the highest number, and the events its lost lines count.
struct LogCount {
	unsigned long lines = 0, last = 0, lost = 0;
};

LogCount CountLog(unsigned long after)
{
	static const std::regex ev(R"(^(\{"seq":)?(\d+)[ ,])");
	static const std::regex lost(R"(Lost (\d+) block|"lost":(\d+))");
	LogCount c;
	for (const std::string &l : Lines(ReadText(kBlockLog))) {
		std::smatch m;
		if (std::regex_search(l, m, lost)) {
			c.lost += std::stoul(m[1].matched ? m[1] : m[2]);
		} else if (std::regex_search(l, m, ev)) {
			unsigned long seq = std::stoul(m[2]);
			c.lines += seq > after;
			c.last = std::max(c.last, seq);
		}
	}
	return c;
}

// @threads x @per_thread refused connects and one more, whose number ends
// any gap; "numbered" is what the module sent, as its sequence shows.
void Storm(const char *format, int threads, int per_thread)
{
	const LogCount before = CountLog(0);
	std::atomic<long> refused{ 0 };
	double t0 = Now();
	std::vector<std::thread> ts;
	for (int k = 0; k < threads; k++)
		ts.emplace_back([&, k] {
			for (int i = 0; i < per_thread; i++)
				refused += ConnectListed((k * per_thread + i) % kEntries) == -EPERM;
		});
	for (std::thread &t : ts)
		t.join();
	double sent = Now() - t0;
	refused += ConnectListed(0) == -EPERM;
	LogCount c, last;
	// Until the log stops growing for two seconds.
	for (double quiet = Now(); Now() - quiet < 2; usleep(100000)) {
		c = CountLog(before.last);
		if (c.lines != last.lines || c.lost != last.lost) {
			last = c;
			quiet = Now();
		}
	}
	double t = Now() - t0 - 2;
	const unsigned long numbered = c.last - before.last, lost = c.lost - before.lost;
	printf("BENCH daemon refusal storm, %s: %ld refused connects in %.2f s, %lu numbered by "
	       "the module, %lu block-log lines in %.2f s (%.0f lines/s), %lu events lost by "
	       "the sequence, %lu by the log%s\n",
	       format, refused.load(), sent, numbered, c.lines, t, c.lines / t,
	       numbered - c.lines, lost, lost == numbered - c.lines ? "" : " (MISMATCH)");
	const std::string f = format;
	Row("daemon", ("storm_log_rate_" + f).c_str(), c.lines / t, "lines/s");
	Row("daemon", ("storm_events_lost_" + f).c_str(), (double)(numbered - c.lines), "events",
	    (double)numbered);
}

bool Stop()
{
	kill(g_pid, SIGTERM);
	return WaitFor([] { return !ModuleListed(); }, 300);
}

} // namespace

int main(int argc, char **argv)
{
	int storm = argc > 1 ? atoi(argv[1]) : 20000;
	WriteLists();
	WriteConfig("text");
	if (LoadModule("/lib/zentrope/zentrope.ko")) {
		printf("BENCH daemon cannot load the module\n");
		return 1;
	}
	double shell = ShellPush();
	UnloadModule();
	printf("BENCH daemon shell loop and dd, same commands and bytes: %.2f s\n", shell);
	fflush(stdout);
	double t0 = Now();
	if (!Start())
		return 1;
	double daemon = Now() - t0;
	printf("BENCH daemon start / shell push: %.2fx\n", daemon / shell);
	Row("daemon", "shell_push", shell, "s");
	Row("daemon", "start", daemon, "s", shell);
	Reload();
	Storm("text", 2, storm / 2);
	// The next benchmark of a combined run loads its own module.
	if (!Stop())
		return 1;
	WriteConfig("json");
	if (!Start())
		return 1;
	Storm("json", 2, storm / 2);
	return Stop() ? 0 : 1;
}
