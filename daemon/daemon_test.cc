// The daemon's life over a model of the system: the module's control
// files (FakeModule), a channel fed by the test, signals as the test
// raises them and a clock that moves only when the daemon waits.
#include "daemon.h"

#include <deque>
#include <functional>

#include "fake_module.h"
#include "test_util.h"

namespace {

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
	uint64_t now = 0;

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
	Status insert_module() override { return {}; }
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
	uint64_t realtime_ns() override { return 5000; }
	uint64_t monotonic_ns() override { return now; }
	std::string host_name() override { return "testhost"; }
	void run_interp_tool() override { tool_runs++; }

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
	void Config(const std::string &format)
	{
		dir.file("c.ini", "[global]\ndaemon = 1\nverbose = 0\nlog_file = d.log\n"
				  "block_log_file = b.log\nblock_log_format = " + format + "\n"
				  "[block_port]\nblock_port_file = port.txt\n");
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
	EXPECT_TRUE(sys.mod.lists[kCtlPort.path].empty());
	EXPECT_EQ(sys.listens, (std::vector<uint32_t>{ 1, 2 }));
	EXPECT_EQ(BlockLog(), "");
}

} // namespace
