// Module start-up and removal in the guest: repeated loads and unloads
// (with listen requests arriving all the while), a load that fails at the
// fifth hook, the module parameters, the one-shot hook removal shared by
// the reboot notifier and the unload, and an unload while a task sits
// inside a hooked call.
//
// Modules (see tests/vm/CMakeLists.txt): the shipped build, and the test
// builds "badhook" (the fifth hook's symbol cannot resolve) and "hooks"
// (call counters and a knob that runs the reboot notifier's removal).
// The guest boots with slab_nomerge, so the module's caches show up in
// /proc/slabinfo under their own names.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

#include "cn_sock.h"
#include "module_ctl.h"
#include "spawn.h"

namespace {

using namespace zt;

const std::string kShipped = "/lib/zentrope/zentrope.ko";
const std::string kBadHook = "/lib/zentrope/badhook/zentrope.ko";
const std::string kHooks = "/lib/zentrope/hooks/zentrope.ko";
const std::string kParams = "/sys/module/zentrope/parameters/";
const char *const kCaches[] = { "hash_sha1_node_cache", "block_event_cache" };

// What a loaded module leaves visible.
struct Presence {
	bool listed, sysctl, proc, connector, test_knobs;
	int caches;
};

bool ConnectorRegistered()
{
	static const std::regex line("^zentrope\\s+16:256\\s*$");
	for (const auto &l : Lines(ReadText("/proc/net/connector")))
		if (std::regex_match(l, line))
			return true;
	return false;
}

Presence Observe()
{
	Presence p{};
	p.listed = ModuleListed();
	p.sysctl = PathExists("/proc/sys/kernel/zentrope");
	p.proc = PathExists("/proc/zentrope");
	p.connector = ConnectorRegistered();
	p.test_knobs = PathExists("/proc/zentrope_test");
	for (const char *c : kCaches)
		p.caches += HasLineStarting("/proc/slabinfo", std::string(c) + " ");
	return p;
}

std::string Describe(const Presence &p)
{
	std::ostringstream s;
	s << "listed=" << p.listed << " sysctl=" << p.sysctl << " proc=" << p.proc
	  << " connector=" << p.connector << " test_knobs=" << p.test_knobs
	  << " caches=" << p.caches;
	return s.str();
}

void ExpectLoaded(const std::string &when, bool knobs = false)
{
	Presence p = Observe();
	EXPECT_TRUE(p.listed && p.sysctl && p.proc && p.connector && p.caches == 2 &&
		    p.test_knobs == knobs)
		<< when << ": " << Describe(p);
}

void ExpectGone(const std::string &when)
{
	Presence p = Observe();
	EXPECT_FALSE(p.listed || p.sysctl || p.proc || p.connector || p.test_knobs ||
		     p.caches)
		<< when << ": " << Describe(p) << "\n" << ReadText("/proc/modules");
}

// Runs /bin/busybox true in a child: exec, exit and the opens of the
// loader all go through hooked functions.
int RunTrue()
{
	return RunProg({ "/bin/busybox", "true" });
}

class Lifecycle : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (ModuleListed())
			UnloadModule();
		ASSERT_FALSE(ModuleListed()) << "zentrope is loaded before the case";
	}
	// A failed case must not leave the module for the next one.
	void TearDown() override
	{
		if (ModuleListed())
			UnloadModule();
	}
};

// Four threads send listen requests all the while: the connector may call
// the module's callback at any moment of an unload, and must never run
// freed code. A short pause leaves the emulated CPUs to the loads.
TEST_F(Lifecycle, TwentyLoadsAndUnloadsInOneBoot)
{
	struct Storm {
		std::atomic<bool> stop{ false };
		std::vector<std::thread> threads;
		~Storm()
		{
			stop = true;
			for (auto &t : threads)
				t.join();
		}
	} storm;
	for (int i = 0; i < 4; i++)
		storm.threads.emplace_back([&] {
			for (Sock s(false); !storm.stop; usleep(500))
				s.Listen();
		});
	for (int i = 0; i < 20 && !HasFailure(); i++) {
		const std::string it = "round " + std::to_string(i);
		ASSERT_EQ(LoadModule(kShipped), 0) << it;
		ExpectLoaded(it + " after load");

		DIR *d = opendir(kParams.c_str());
		ASSERT_NE(d, nullptr) << it;
		std::vector<std::string> names;
		while (struct dirent *e = readdir(d))
			if (e->d_name[0] != '.')
				names.push_back(e->d_name);
		closedir(d);
		EXPECT_GE(names.size(), 2u) << it;
		for (const auto &n : names)
			EXPECT_NE(ReadText(kParams + n, "<unreadable>"), "<unreadable>")
				<< it << ": parameter " << n;

		EXPECT_EQ(RunTrue(), 0) << it;
		ASSERT_EQ(UnloadModule(), 0) << it;
		ExpectGone(it + " after unload");
		EXPECT_EQ(RunTrue(), 0) << it << " after unload";
	}
}

// The fifth hook cannot be installed: the four before it are taken out
// again and everything set up before the hooks is undone. A hook left in
// place would divert the next exec or open into freed module memory.
TEST_F(Lifecycle, LoadFailingAtTheFifthHookLeavesNothingBehind)
{
	KernelLog log;
	ASSERT_TRUE(log.ok());
	EXPECT_EQ(LoadModule(kBadHook, "dyndbg=+p"), ENOENT);
	EXPECT_EQ(log.Count("velmarix: unresolved symbol: zentrope_no_such_symbol"), 1)
		<< log.Dump();
	ExpectGone("after the failed load");

	for (int i = 0; i < 3; i++)
		EXPECT_EQ(RunTrue(), 0) << "exec after the failed load";
	EXPECT_EQ(ReadText("/proc/self/comm").empty(), false);

	ASSERT_EQ(LoadModule(kShipped), 0);
	ExpectLoaded("shipped module after the failed load");
	EXPECT_EQ(RunTrue(), 0);
	ASSERT_EQ(UnloadModule(), 0);
	ExpectGone("shipped module unloaded");
}

// Parameter strings and the load result they must give.
struct ParamCase {
	const char *params;
	int err;
};

TEST_F(Lifecycle, BadLookupAddressRefusesTheLoad)
{
	const ParamCase cases[] = {
		{ "kallsyms_lookup_name_addr=zz", EINVAL },
		{ "kallsyms_lookup_name_addr=", EINVAL },
		{ "kallsyms_lookup_name_addr", EINVAL },
		{ "kallsyms_lookup_name_addr=10000000000000000", ERANGE },
	};
	for (const auto &c : cases) {
		EXPECT_EQ(LoadModule(kShipped, c.params), c.err) << c.params;
		ExpectGone(std::string("after refused ") + c.params);
		if (ModuleListed())
			UnloadModule();
	}
}

TEST_F(Lifecycle, AhashMinsizeIsTakenAndCanBeChanged)
{
	ASSERT_EQ(LoadModule(kShipped, "ahash_minsize=4096"), 0);
	EXPECT_EQ(ReadText(kParams + "ahash_minsize"), "4096\n");
	EXPECT_EQ(Write(kParams + "ahash_minsize", "8192\n"), 0);
	EXPECT_EQ(ReadText(kParams + "ahash_minsize"), "8192\n");
	ASSERT_EQ(UnloadModule(), 0);
}

// kallsyms_lookup_name as /proc/kallsyms shows it to root; 0 if hidden.
unsigned long LookupNameAddress()
{
	for (const auto &l : Lines(ReadText("/proc/kallsyms"))) {
		std::istringstream in(l);
		std::string addr, type, name;
		in >> addr >> type >> name;
		if (name == "kallsyms_lookup_name" && in.peek() == EOF)
			return std::stoul(addr, nullptr, 16);
	}
	return 0;
}

// The function tracer on the other ways of finding kallsyms_lookup_name.
class LookupTrace {
public:
	LookupTrace()
	{
		if (!PathExists(dir_ + "trace"))
			mount("tracefs", dir_.c_str(), "tracefs", 0, nullptr);
		std::vector<std::string> avail;
		for (const auto &l : Lines(ReadText(dir_ + "available_filter_functions")))
			avail.push_back(l.substr(0, l.find(' ')));
		Put("current_tracer", "nop");
		Put("set_ftrace_filter", "");
		for (const char *fn : { "register_kprobe", "__symbol_get", "klp_enable_patch" }) {
			if (std::find(avail.begin(), avail.end(), fn) == avail.end())
				continue;
			if (Put("set_ftrace_filter", fn, true))
				traced_.push_back(fn);
		}
	}
	~LookupTrace()
	{
		Put("tracing_on", "0");
		Put("current_tracer", "nop");
		Put("set_ftrace_filter", "");
	}

	const std::vector<std::string> &traced() const { return traced_; }

	void Start()
	{
		Put("trace", "");
		Put("current_tracer", "function");
		Put("tracing_on", "1");
	}
	// The traced functions that ran since Start().
	std::vector<std::string> Stop()
	{
		Put("tracing_on", "0");
		const std::string trace = ReadText(dir_ + "trace");
		Put("current_tracer", "nop");
		std::vector<std::string> ran;
		for (const auto &fn : traced_)
			if (trace.find(" " + fn + " <-") != std::string::npos ||
			    trace.find(" " + fn + "() <-") != std::string::npos)
				ran.push_back(fn);
		return ran;
	}

private:
	bool Put(const std::string &file, const std::string &value, bool append = false)
	{
		return Write(dir_ + file, value + "\n", append ? O_APPEND : O_TRUNC) == 0;
	}

	const std::string dir_ = "/sys/kernel/tracing/";
	std::vector<std::string> traced_;
};

std::string Join(const std::vector<std::string> &v)
{
	std::string s;
	for (const auto &x : v)
		s += (s.empty() ? "" : ",") + x;
	return s;
}

// Given the address, the module uses it and looks for no other way; a
// load without it (the control) shows that the trace sees those ways.
TEST_F(Lifecycle, GivenLookupAddressIsUsedAsIs)
{
	unsigned long addr = LookupNameAddress();
	ASSERT_NE(addr, 0ul) << "root sees no address of kallsyms_lookup_name";
	char hex[32];
	snprintf(hex, sizeof(hex), "%lx", addr);

	LookupTrace trace;
	const bool traced = !trace.traced().empty();
	if (traced)
		trace.Start();
	ASSERT_EQ(LoadModule(kShipped), 0);
	std::vector<std::string> ran_without;
	if (traced)
		ran_without = trace.Stop();
	EXPECT_EQ(RunTrue(), 0);
	ASSERT_EQ(UnloadModule(), 0);

	if (traced)
		trace.Start();
	ASSERT_EQ(LoadModule(kShipped, std::string("kallsyms_lookup_name_addr=") + hex), 0);
	std::vector<std::string> ran_with;
	if (traced)
		ran_with = trace.Stop();
	ExpectLoaded("loaded with the lookup address");
	EXPECT_EQ(RunTrue(), 0);
	EXPECT_FALSE(ReadText(kParams + "kallsyms_lookup_name_addr").empty());
	ASSERT_EQ(UnloadModule(), 0);

	if (!traced)
		GTEST_SKIP() << "no traceable lookup function; only the load was checked";
	EXPECT_FALSE(ran_without.empty())
		<< "the trace saw no lookup during a plain load (traced: "
		<< Join(trace.traced()) << ")";
	EXPECT_TRUE(ran_with.empty()) << "with the address given these still ran: "
				      << Join(ran_with);
}

// The reboot notifier and the unload share one hook removal: after the
// knob ran it, the unload must not remove the hooks a second time.
TEST_F(Lifecycle, RebootRemovalRunsOnceAndUnloadSkipsIt)
{
	KernelLog log;
	ASSERT_TRUE(log.ok());
	ASSERT_EQ(LoadModule(kHooks, "dyndbg=+p"), 0);
	ExpectLoaded("hooks build loaded", true);
	EXPECT_EQ(log.Count("zentrope: fh_init install fhooks succ"), 1) << log.Dump();

	// Keep the counter file open: re-reading it opens nothing.
	int counters = open("/proc/zentrope_test/hook_calls", O_RDONLY | O_CLOEXEC);
	ASSERT_GE(counters, 0);
	auto read_counters = [counters]() {
		char buf[4096];
		ssize_t n = pread(counters, buf, sizeof(buf), 0);
		return n > 0 ? std::string(buf, n) : std::string();
	};
	const std::string before = read_counters();
	EXPECT_EQ(RunTrue(), 0);
	EXPECT_NE(read_counters(), before) << "the hooks count nothing while installed";

	EXPECT_EQ(Write("/proc/zentrope_test/reboot", "1\n"), 0);
	EXPECT_EQ(log.Count("zentrope: fh_exit remove fhooks succ"), 1) << log.Dump();

	const std::string removed = read_counters();
	EXPECT_EQ(RunTrue(), 0);
	EXPECT_EQ(read_counters(), removed) << "a handler ran after the hooks were removed";
	close(counters);

	ASSERT_EQ(UnloadModule(), 0);
	ExpectGone("after unload");
	EXPECT_EQ(log.Count("zentrope: fh_exit remove fhooks succ"), 1)
		<< "the unload removed the hooks again:\n" << log.Dump();
	EXPECT_EQ(log.Count("zentrope: zentrope_exit zentrope exit succ!"), 1) << log.Dump();
}

// /proc/<tid>/syscall of a thread of this process: its system call number
// while it is blocked in one, "running" otherwise.
std::string SyscallOf(pid_t tid)
{
	std::string s = ReadText("/proc/self/task/" + std::to_string(tid) + "/syscall");
	return s.substr(0, s.find(' '));
}

// A reader opening a FIFO blocks inside do_dentry_open, a hooked function,
// and so inside the module's handler. The unload must wait for it, however
// long, and must not free the module under it.
TEST_F(Lifecycle, UnloadWaitsForTaskInsideHookedCall)
{
	const std::string fifo = "/tmp/zt_lifecycle_fifo";
	unlink(fifo.c_str());
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << strerror(errno);
	ASSERT_EQ(LoadModule(kShipped), 0);
	KernelLog log;
	ASSERT_TRUE(log.ok());

	std::atomic<pid_t> reader_tid{ 0 };
	std::string got;
	int reader_err = 0;
	std::thread reader([&]() {
		reader_tid = static_cast<pid_t>(syscall(SYS_gettid));
		int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
		if (fd < 0) {
			reader_err = errno;
			return;
		}
		char buf[16];
		ssize_t n;
		while ((n = read(fd, buf, sizeof(buf))) > 0)
			got.append(buf, n);
		close(fd);
	});
	// Wait until the reader is blocked in openat (257).
	while (reader_tid == 0 || SyscallOf(reader_tid) != std::to_string(SYS_openat))
		std::this_thread::sleep_for(std::chrono::milliseconds(20));

	std::atomic<bool> unloaded{ false };
	int unload_err = -1;
	std::thread unloader([&]() {
		unload_err = UnloadModule();
		unloaded = true;
	});

	std::this_thread::sleep_for(std::chrono::seconds(5));
	EXPECT_FALSE(unloaded) << "the unload returned with a task inside a handler";
	const std::string stale =
		"velmarix: zentrope: WARNING! Wait hook_users timeout! Stale threads left: "
		"1.Forcing reboot bypass...";
	while (log.Count(stale) == 0 && !unloaded)
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
	EXPECT_GE(log.Count(stale), 1) << log.Dump();
	EXPECT_FALSE(unloaded) << "the unload gave up waiting for the task";

	// Release the reader; its open returns through the handler.
	int w = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
	EXPECT_GE(w, 0) << strerror(errno);
	if (w >= 0) {
		EXPECT_EQ(write(w, "x", 1), 1);
		close(w);
	}
	reader.join();
	unloader.join();
	EXPECT_EQ(reader_err, 0) << strerror(reader_err);
	EXPECT_EQ(got, "x");
	EXPECT_EQ(unload_err, 0) << strerror(unload_err);
	ExpectGone("after the delayed unload");
	EXPECT_EQ(log.Count("velmarix: zentrope: All threads left cleanly."), 1) << log.Dump();
	EXPECT_EQ(RunTrue(), 0);
	unlink(fifo.c_str());
}

} // namespace
