// The daemon's life over a model of the system: the module's control
// files (FakeModule), a channel fed by the test, signals as the test
// raises them and a clock that moves only when the daemon waits.
#include "daemon.h"

#include <sys/stat.h>

#include <deque>
#include <functional>

#include "fake_module.h"
#include "test_util.h"

namespace {

std::string Read(const std::string &path)
{
	std::ifstream f(path);
	return std::string(std::istreambuf_iterator<char>(f), {});
}

class MemSink : public LogSink {
public:
	explicit MemSink(std::string *text) : text_(text) {}
	void write(const std::string &lines) override { *text_ += lines; }

private:
	std::string *text_;
};

class FakeSystem : public System {
public:
	FakeModule mod;
	std::map<std::string, std::string> logs; // by path
	std::deque<std::vector<unsigned char>> channel;
	std::deque<std::function<void()>> steps; // one per idle wait
	std::vector<uint32_t> listens;		 // values sent
	requests pending;
	std::string cwd;
	int removed = 0, tool_runs = 0;
	uint64_t now = 0, real = 5000;
	module_build build;
	std::vector<std::pair<uint64_t, std::string>> writes; // metrics, when tried
	std::vector<std::pair<uint64_t, int>> waits;	      // when, for how long

	int open(const char *p, int f) override { return mod.open(p, f); }
	ssize_t read(int fd, void *b, size_t n) override { return mod.read(fd, b, n); }
	ssize_t write(int fd, const void *b, size_t n) override { return mod.write(fd, b, n); }
	int close(int fd) override { return mod.close(fd); }

	bool privileged() override { return true; }
	Status enter(const char *, std::string *c) override
	{
		*c = cwd;
		return {};
	}
	std::unique_ptr<LogSink> open_log(const std::string &path, Status *) override
	{
		return std::make_unique<MemSink>(&logs[path]);
	}
	Status lock_pid_file() override { return {}; }
	Status write_pid() override { return {}; }
	Status open_self(const char *) override { return {}; }
	Status detach() override { return {}; }
	Status insert_module(module_build *picked) override { *picked = build; return {}; }
	void remove_module() override { removed++; }

	Status cn_open(int *fd, uint32_t *portid) override
	{
		*fd = 77;
		*portid = 4242;
		return {};
	}
	Status cn_send(int, const void *msg, size_t len) override
	{
		uint32_t v = 0;
		if (len == 40)
			memcpy(&v, (const char *)msg + 36, 4);
		listens.push_back(v);
		return {};
	}
	ssize_t cn_recv(int, void *buf, size_t len, uint32_t *sender) override
	{
		if (channel.empty())
			return 0;
		std::vector<unsigned char> m = std::move(channel.front());
		channel.pop_front();
		memcpy(buf, m.data(), std::min(len, m.size()));
		*sender = 0;
		return (ssize_t)m.size();
	}
	void cn_close(int) override {}

	Status catch_signals() override { return {}; }
	requests take_requests() override
	{
		requests r = pending;
		pending.reload = false;
		pending.signal = 0;
		return r;
	}
	int wait(int, int timeout_ms) override
	{
		waits.emplace_back(now, timeout_ms);
		if (!channel.empty())
			return 1;
		// At most 100 ms a wait, so no test runs into the hourly refresh.
		now += (uint64_t)std::min(timeout_ms, 100) * 1000000;
		if (steps.empty()) {
			pending.exit = true;
			return 0;
		}
		auto step = std::move(steps.front());
		steps.pop_front();
		step();
		return channel.empty() ? 0 : 1;
	}
	uint64_t realtime_ns() override { return real; }
	uint64_t monotonic_ns() override { return now; }
	std::string host_name() override { return "testhost"; }
	void run_interp_tool() override { tool_runs++; }
	Status write_file_atomic(const std::string &path, const std::string &text) override
	{
		writes.emplace_back(now, text);
		return ::write_file_atomic(path, text);
	}

	void send_events(std::vector<uint64_t> seqs)
	{
		for (uint64_t s : seqs)
			channel.push_back(datagram(1, ZT_PAYLOAD_SIZE, ZT_CN_IDX, s));
	}
	void idle(int waits)
	{
		for (int i = 0; i < waits; i++)
			steps.push_back([] {});
	}
};

class DaemonTest : public testing::Test {
protected:
	TempDir dir;
	FakeSystem sys;

	void SetUp() override
	{
		setenv("TZ", "UTC", 1);
		tzset();
		sys.cwd = dir.path();
		dir.file("port.txt", "7001\n");
		Config("text");
	}
	void Config(const std::string &format, const std::string &global = "",
		    const std::string &sections = "")
	{
		dir.file("c.ini", "[global]\ndaemon = 1\nverbose = 0\nlog_file = d.log\n"
				  "block_log_file = b.log\nblock_log_format = " + format + "\n" +
				  global + "[block_port]\nblock_port_file = port.txt\n" + sections);
	}
	int Run()
	{
		Daemon d(&sys);
		return d.run("c.ini", "zentroped");
	}
	std::string BlockLog() { return sys.logs[dir.path() + "/b.log"]; }
	std::string DaemonLog() { return sys.logs[dir.path() + "/d.log"]; }
	size_t Count(const std::string &text, const std::string &s)
	{
		size_t n = 0;
		for (size_t p = 0; (p = text.find(s, p)) != std::string::npos; p += s.size())
			n++;
		return n;
	}
};

// Out of order is not lost; what never comes is counted once, exactly, in
// one line per run, and the stop gives up what is still missing.
TEST_F(DaemonTest, GapInTheSequence)
{
	sys.steps.push_back([&] { sys.send_events({ 1, 2, 4, 3, 7 }); });
	sys.idle(30);
	sys.steps.push_back([&] { sys.send_events({ 8, 10 }); });
	EXPECT_EQ(Run(), kExitOk);
	const std::string log = BlockLog();
	EXPECT_EQ(Count(log, " Blocking program execing "), 7u) << log;
	EXPECT_NE(log.find("\n5-6 1970-01-01T00:00:00.5 Lost 2 block events, 2 in all\n"),
		  std::string::npos) << log;
	EXPECT_NE(log.find("\n9-9 1970-01-01T00:00:00.5 Lost 1 block events, 3 in all\n"),
		  std::string::npos) << log;
	EXPECT_EQ(Count(log, " Lost "), 2u) << log;
	EXPECT_LT(log.find("\n7 2009"), log.find("5-6 ")) << "given up after the grace period";
	EXPECT_NE(DaemonLog().find("3 block events lost in all"), std::string::npos);
}

// Events keep their lines while a reload runs between two halves of a
// burst, and the reload applies the new list without a clear.
TEST_F(DaemonTest, ReloadDuringABurst)
{
	Config("json");
	std::vector<uint64_t> first, second;
	for (uint64_t s = 1; s <= 300; s++)
		(s <= 150 ? first : second).push_back(s);
	sys.steps.push_back([&] {
		sys.send_events(first);
		dir.file("port.txt", "7001\n7003\n");
		sys.pending.reload = true;
	});
	sys.steps.push_back([&] { sys.send_events(second); });
	EXPECT_EQ(Run(), kExitOk);
	const std::string log = BlockLog();
	EXPECT_EQ(Count(log, "{\"seq\":"), 300u);
	EXPECT_EQ(Count(log, "\"lost\""), 0u) << log;
	EXPECT_NE(log.find("{\"seq\":300,\"time\":\"2009-02-13T23:31:30.123456Z\",\"host\":\"testhost\","
			   "\"op\":\"execing\",\"rule\":\"program\",\"pid\":4242,\"comm\":\"curl\","
			   "\"prog\":\"/usr/bin/curl\"}\n"), std::string::npos) << log;
	EXPECT_EQ(sys.tool_runs, 1);
	size_t clears = 0, adds7003 = 0;
	for (const std::string &c : sys.mod.commands) {
		clears += c.find(" CLEAR") != std::string::npos;
		adds7003 += c == std::string(kCtlPort.path) + " ADD 7003";
	}
	EXPECT_EQ(adds7003, 1u);
	EXPECT_EQ(clears, 7u) << "only the stop clears";
	EXPECT_EQ(sys.listens, (std::vector<uint32_t>{ 1, 2 }));
}

// A stop that comes while the lists are pushed ends the daemon the same
// way as any stop: the lists cleared, the module removed.
TEST_F(DaemonTest, StopDuringThePush)
{
	sys.mod.after_write = [&] { sys.pending.exit = true; };
	EXPECT_EQ(Run(), kExitOk);
	EXPECT_EQ(sys.removed, 1);
	EXPECT_TRUE(sys.mod.list(kCtlPort).empty());
	EXPECT_EQ(sys.listens, (std::vector<uint32_t>{ 1, 2 }));
	EXPECT_EQ(BlockLog(), "");
}

// The file in each state the daemon passes through is valid exposition
// text (promtool judges, its lint warnings included) with that state's values.
TEST_F(DaemonTest, MetricsStates)
{
	if (std::system("command -v promtool >/dev/null 2>&1"))
		GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
	const std::string h(40, 'a'), r = "zentrope_refusals_total{op=\"",
			  l = "zentrope_list_entries{list=\"",
			  t = "zentrope_last_reload_success_timestamp_seconds ";
	dir.file("hash.txt", h + " " + std::string(40, 'b') + "\n");
	dir.file("hash.bin", std::string(67, 'x'));
	dir.file("ip.txt", "10.0.0.1\n::1\n");
	Config("text", "metrics_file = m.prom\n", "[block_hash]\nblock_hash_file = hash.txt\n"
		   "block_hash_bin_file = hash.bin\n[block_ip]\nblock_ip_file = ip.txt\n");
	sys.real = 1765148109123456789ull;
	sys.build = { "Deb\"ian", "6.1.0", "57,60-62", "6.1.0\\\n\xff-amd64" };
	struct {
		const char *name;
		uint64_t gap; // sequence numbers skipped before the events
		std::vector<event_payload> events;
		const char *file, *text; // rewritten, then a reload
		std::vector<std::string> lines;
	} cases[] = {
		{ "fresh start", 0, {}, nullptr, nullptr,
		  { l + "block_port\"} 1", l + "block_hash\"} 5", l + "block_ip\"} 2",
		    t + "1765148109.123", "zentrope_module_build_info{platform=\"Deb\\\"ian\","
		    "kernel=\"6.1.0\",abi=\"57,60-62\",release=\"6.1.0\\\\\\n\\\\xff-amd64\"} 1" } },
		{ "refusals", 0,
		  { record(1, 1), record(1, 1), record(3, 3), record(7, 7), record(5, 6, h.c_str()),
		    record(0, 6), record(1, 9) }, nullptr, nullptr,
		  { r + "connecting\",rule=\"ip\"} 2", r + "dnslookuping\",rule=\"domain\"} 1",
		    r + "binding\",rule=\"port\"} 1", r + "execing\",rule=\"hashlist\"} 1",
		    r + "execing\",rule=\"program\"} 1", "zentrope_events_lost_total 0" } },
		{ "lost events", 2, { record(0, 6) }, nullptr, nullptr,
		  { "zentrope_events_lost_total 2" } },
		{ "failed reload", 0, {}, "ip.txt", "10.0.0.300\n",
		  { "zentrope_reloads_total 1", "zentrope_reload_failures_total 1",
		    l + "block_ip\"} 2", t + "1765148109.123" } },
		{ "reload", 0, {}, "ip.txt", "10.0.0.1\n",
		  { "zentrope_reloads_total 2", "zentrope_reload_failures_total 1",
		    l + "block_ip\"} 1", t + "1765148200.000" } },
	};
	uint64_t seq = 1;
	std::vector<std::string> texts;
	for (auto &c : cases) {
		sys.steps.push_back([&] {
			seq += c.gap;
			for (const event_payload &e : c.events)
				sys.channel.push_back(datagram(1, ZT_PAYLOAD_SIZE, ZT_CN_IDX, seq++, e));
			if (c.file)
				dir.file(c.file, c.text);
			sys.pending.reload = c.file != nullptr;
			sys.real = 1765148200000000000ull;
		});
		sys.idle(15);
		sys.steps.push_back([&] { texts.push_back(sys.writes.back().second); });
	}
	EXPECT_EQ(Run(), kExitOk);
	ASSERT_EQ(texts.size(), std::size(cases));
	EXPECT_EQ(texts.back(), Read(dir.path() + "/m.prom"));
	for (size_t i = 0; i < texts.size(); i++) {
		const std::string check = "o=$(promtool check metrics <" + dir.file("in", texts[i]) +
					  " 2>&1); r=$?; echo \"$o\"; [ $r = 0 ] && [ -z \"$o\" ]";
		EXPECT_EQ(std::system(check.c_str()), 0) << cases[i].name << "\n" << texts[i];
		for (const std::string &line : cases[i].lines)
			EXPECT_NE(texts[i].find("\n" + line + "\n"), std::string::npos)
				<< cases[i].name << ": " << line << "\n" << texts[i];
	}
}

// Without the directory: logged once, tried again at the next change. Then
// a change is written within a second, never within a second of the last
// write, nothing while nothing changes (the hourly refresh here), and only
// meanwhile is the wait bounded; readable whatever the umask, never
// through a link planted at the temporary name.
TEST_F(DaemonTest, MetricsWrites)
{
	Config("text", "metrics_file = gone/m.prom\n");
	const std::string victim = dir.file("victim", "keep\n"), gone = dir.path() + "/gone";
	uint64_t last_event = 0, made = 0;
	for (uint64_t i = 1; i <= 28; i++) {
		sys.steps.push_back([&, i] {
			if (i == 3) {
				made = sys.now;
				mkdir(gone.c_str(), 0755);
				symlink(victim.c_str(), (gone + "/m.prom.tmp").c_str());
			}
			sys.send_events({ i });
			last_event = sys.now;
		});
		sys.idle(i < 3 ? 15 : 0);
	}
	sys.idle(30);
	sys.steps.push_back([&] { sys.now += 3600000000000ull; });
	sys.idle(30);
	mode_t old = umask(077);
	EXPECT_EQ(Run(), kExitOk);
	umask(old);
	EXPECT_EQ(Count(DaemonLog(), "metrics file not written"), 1u) << DaemonLog();
	EXPECT_EQ(Count(DaemonLog(), "written again"), 1u);
	EXPECT_EQ(sys.tool_runs, 1);
	ASSERT_GE(sys.writes.size(), 6u);
	EXPECT_EQ(sys.writes[3].first, made) << "three tries without the directory";
	for (size_t i = 4; i < sys.writes.size(); i++) {
		EXPECT_GE(sys.writes[i].first - sys.writes[i - 1].first, 1000000000ull) << i;
		EXPECT_NE(sys.writes[i].second, sys.writes[i - 1].second) << i;
	}
	const auto &[written, text] = sys.writes.back();
	EXPECT_EQ(text, Read(gone + "/m.prom"));
	EXPECT_NE(text.find("rule=\"program\"} 28\n"), std::string::npos) << text;
	EXPECT_TRUE(written > last_event && written - last_event <= 1000000000ull) << written;
	for (const auto &[at, timeout] : sys.waits)
		if (at >= last_event)
			EXPECT_TRUE(at < written ? timeout <= 1000 : timeout > 1000) << at;
	struct stat st = {};
	lstat((gone + "/m.prom").c_str(), &st);
	EXPECT_EQ(st.st_mode, S_IFREG | 0644u);
	EXPECT_EQ(Read(victim), "keep\n");
}

} // namespace
