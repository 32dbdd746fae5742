// The installed package's daemon, run the way its unit has systemd run it:
// ExecStart= as written, with an empty environment but for NOTIFY_SOCKET
// (a datagram socket of this test's), in /, its standard output captured as
// the journal would take it. READY=1 comes once the lists are in the
// control files; a refusal shows on the standard output; ExecReload= makes
// it reload (RELOADING=1, READY=1); KillSignal= stops it (STOPPING=1) and no
// module is left. suites/package.sh unpacks the package and runs its
// maintainer scripts around this.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <ctime>
#include <map>
#include <regex>

#include "daemon_ctl.h"
#include "spawn.h"

namespace {

using namespace zt;

const std::string kUnit = "/lib/systemd/system/zentroped.service";
const std::string kConfig = "/opt/zentrope/config/";
const std::string kNotifyPath = "/tmp/zt-notify.sock";
const std::string kStdout = "/tmp/zentroped.stdout";

// The [Service] settings of the unit (a later line wins); "" when unset.
std::map<std::string, std::string> Service()
{
	std::map<std::string, std::string> out;
	bool in_service = false;
	for (const std::string &l : Lines(ReadText(kUnit))) {
		if (!l.empty() && l[0] == '[')
			in_service = l == "[Service]";
		size_t eq = l.find('=');
		if (in_service && eq != std::string::npos && l[0] != '#')
			out[l.substr(0, eq)] = l.substr(eq + 1);
	}
	return out;
}

// A command line of the unit, split on spaces, the way systemd splits one
// without quotes; the prefixes "-@:+!" are dropped. $MAINPID and
// ${MAINPID} become @mainpid.
std::vector<std::string> Words(std::string line, pid_t mainpid = 0)
{
	for (const char *var : { "${MAINPID}", "$MAINPID" })
		for (size_t at; (at = line.find(var)) != std::string::npos;)
			line.replace(at, strlen(var), std::to_string(mainpid));
	std::vector<std::string> w;
	size_t b = line.find_first_not_of("-@:+!");
	while (b != std::string::npos && b < line.size()) {
		size_t e = line.find(' ', b);
		w.push_back(line.substr(b, e == std::string::npos ? e : e - b));
		b = e == std::string::npos ? e : line.find_first_not_of(' ', e);
	}
	return w;
}

// The entries of a list file, as the daemon reads them.
std::vector<std::string> Entries(const std::string &file)
{
	std::vector<std::string> out;
	for (std::string l : Lines(ReadText(kConfig + file))) {
		l.erase(0, l.find_first_not_of(" \t\r"));
		l.erase(l.find_last_not_of(" \t\r") + 1);
		if (!l.empty())
			out.push_back(l);
	}
	return out;
}

bool HasLine(const std::string &text, const std::string &line)
{
	for (const std::string &l : Lines(text))
		if (l == line)
			return true;
	return false;
}

unsigned long long MonotonicUsec()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (unsigned long long)ts.tv_sec * 1000000ull + ts.tv_nsec / 1000;
}

// What the shipped lists put in the control files is all there, and the
// strict switch is set: a text naming what is missing, "" when nothing is.
std::string ListsMissing()
{
	std::string missing;
	const struct {
		const char *file, *entry;
	} lists[] = {
		{ "interp.txt", "interp_prog" },
		{ "usr_interp.txt", "interp_prog" },
		{ "block_prog.txt", "block_prog" },
		{ "block_url.txt", "block_url" },
	};
	for (const auto &l : lists) {
		std::string have = Read(l.entry);
		for (const std::string &e : Entries(l.file))
			if (!HasLine(have, e))
				missing += " " + e + " (" + l.entry + ")";
	}
	for (const std::string &a : Entries("block_ip.txt")) {
		std::string entry = a.find(':') == std::string::npos ? "block_ipv4" : "block_ipv6";
		if (!HasLine(Read(entry), a))
			missing += " " + a + " (" + entry + ")";
	}
	if (Read("strict") != "1\n")
		missing += " strict=1";
	return missing;
}

struct Note {
	std::string text; // "" when none came
	pid_t sender = 0;
};

// The service manager's side of NOTIFY_SOCKET: a bound datagram socket
// that takes its senders' credentials.
class NotifySocket {
public:
	NotifySocket()
	{
		unlink(kNotifyPath.c_str());
		fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
		sockaddr_un sa = {};
		sa.sun_family = AF_UNIX;
		strcpy(sa.sun_path, kNotifyPath.c_str());
		int on = 1;
		ok_ = fd_ >= 0 && bind(fd_, (sockaddr *)&sa, sizeof(sa)) == 0 &&
		      setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) == 0;
	}
	~NotifySocket()
	{
		close(fd_);
		unlink(kNotifyPath.c_str());
	}
	bool ok() const { return ok_; }

	// The next notification within @sec seconds.
	Note Next(double sec)
	{
		Note n;
		pollfd p = { fd_, POLLIN, 0 };
		if (poll(&p, 1, (int)(sec * 1000)) != 1)
			return n;
		char buf[4096];
		char cbuf[CMSG_SPACE(sizeof(ucred))];
		iovec iov = { buf, sizeof(buf) };
		msghdr m = {};
		m.msg_iov = &iov;
		m.msg_iovlen = 1;
		m.msg_control = cbuf;
		m.msg_controllen = sizeof(cbuf);
		ssize_t got = recvmsg(fd_, &m, 0);
		if (got <= 0)
			return n;
		n.text.assign(buf, (size_t)got);
		for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
			if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
				ucred cr;
				memcpy(&cr, CMSG_DATA(c), sizeof(cr));
				n.sender = cr.pid;
			}
		return n;
	}

private:
	int fd_ = -1;
	bool ok_ = false;
};

// Starts @argv as systemd starts a service: a session of its own, default
// signal handling, no blocked signals, working directory /, an environment
// of NOTIFY_SOCKET alone, standard input from /dev/null, standard output
// and error to @out.
pid_t StartAsSystemd(const std::vector<std::string> &argv, const std::string &out)
{
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	setsid();
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	for (int sig = 1; sig < NSIG; sig++)
		signal(sig, SIG_DFL);
	int in = open("/dev/null", O_RDONLY);
	int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
	if (in < 0 || o < 0 || chdir("/") || clearenv() ||
	    setenv("NOTIFY_SOCKET", kNotifyPath.c_str(), 1))
		_exit(126);
	dup2(in, 0);
	dup2(o, 1);
	dup2(o, 2);
	std::vector<char *> args = ArgvOf(argv);
	execv(args[0], args.data());
	_exit(127);
}

// Its exit status once it has ended within @sec seconds, else -1.
int WaitExit(pid_t pid, double sec)
{
	int status = -1, st;
	WaitFor([&] {
		if (waitpid(pid, &st, WNOHANG) != pid)
			return false;
		status = ExitCode(st);
		return true;
	}, sec);
	return status;
}

TEST(Package, Unit)
{
	std::map<std::string, std::string> s = Service();
	EXPECT_EQ(s["Type"], "notify");
	EXPECT_EQ(Words(s["ExecStart"]), std::vector<std::string>{ "/opt/zentrope/zentroped" });
	EXPECT_EQ(Words(s["ExecReload"], 42), (std::vector<std::string>{ "/bin/kill", "-USR1", "42" }));
	EXPECT_EQ(s["Restart"], "on-failure");
	const std::string unit = ReadText(kUnit);
	for (const char *line : { "Before=network-pre.target", "Wants=network-pre.target",
				  "After=local-fs.target", "WantedBy=multi-user.target" })
		EXPECT_TRUE(std::regex_search(unit, std::regex(std::string("(^|\n)") + line + "( |\n)")))
			<< line;
}

TEST(Package, DaemonAsTheUnitRunsIt)
{
	std::map<std::string, std::string> unit = Service();
	std::vector<std::string> start = Words(unit["ExecStart"]);
	ASSERT_FALSE(start.empty());
	std::vector<std::string> progs = Entries("block_prog.txt");
	ASSERT_FALSE(progs.empty());
	const std::string blocked = progs[0];
	RunProg({ "/bin/mkdir", "-p", blocked.substr(0, blocked.rfind('/')) });
	ASSERT_EQ(RunProg({ "/bin/cp", "/bin/busybox", blocked }), 0);

	NotifySocket manager;
	ASSERT_TRUE(manager.ok()) << strerror(errno);
	pid_t pid = StartAsSystemd(start, kStdout);
	ASSERT_GT(pid, 0);

	// Ready: nothing before it, and by then everything is in force.
	Note n = manager.Next(120);
	ASSERT_EQ(n.text, "READY=1") << ReadText(kStdout);
	std::string missing = ListsMissing();
	bool bound = DaemonPortid() != 0;
	EXPECT_EQ(missing, "") << "READY=1 came before these were pushed";
	EXPECT_TRUE(bound) << "READY=1 came before the event socket was bound";
	EXPECT_EQ(n.sender, pid) << "not from the main process";
	EXPECT_EQ(DaemonPid(), pid);
	EXPECT_TRUE(ModuleListed());

	// Refusals, and their block-log lines on the standard output.
	EXPECT_EQ(RunProg({ blocked, "true" }), -EPERM);
	EXPECT_EQ(Connect("192.0.2.1", 80), -EPERM);
	const std::string head = R"((^|\n)\d+ \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d+ Blocking )";
	const std::regex exec_line(head + "program execing pid:\\d+ comm:\\S+ (prog:" + blocked +
				   "|hash:[0-9a-f]{40})\n");
	const std::regex connect_line(head + "ip connecting to 192.0.2.1:80 pid:" +
				      std::to_string(getpid()) + " ");
	EXPECT_TRUE(WaitFor([&] { return std::regex_search(ReadText(kStdout), exec_line); }, 30))
		<< ReadText(kStdout);
	EXPECT_TRUE(WaitFor([&] { return std::regex_search(ReadText(kStdout), connect_line); }, 30))
		<< ReadText(kStdout);
	EXPECT_NE(ReadText(kStdout).find("config 1 to /proc/sys/kernel/zentrope/strict SUCC"),
		  std::string::npos)
		<< "the daemon log goes to the standard output too";

	// ExecReload= as systemd runs it: RELOADING=1 with the time, then
	// READY=1 once the new list is in force.
	Put(kConfig + "usr_block_url.txt", "also-blocked.example\n");
	unsigned long long before = MonotonicUsec();
	EXPECT_EQ(RunProg(Words(unit["ExecReload"], pid)), 0);
	n = manager.Next(60);
	unsigned long long after = MonotonicUsec();
	const std::string reloading = "RELOADING=1\nMONOTONIC_USEC=";
	ASSERT_EQ(n.text.compare(0, reloading.size(), reloading), 0) << n.text;
	unsigned long long usec = std::stoull(n.text.substr(reloading.size()));
	EXPECT_GE(usec, before);
	EXPECT_LE(usec, after);
	EXPECT_EQ(n.sender, pid);
	n = manager.Next(60);
	ASSERT_EQ(n.text, "READY=1") << ReadText(kStdout);
	EXPECT_TRUE(HasLine(Read("block_url"), "also-blocked.example")) << Read("block_url");
	EXPECT_TRUE(HasLine(Read("block_url"), "blocked.example")) << Read("block_url");
	EXPECT_NE(ReadText(kStdout).find("zentrope will reload block config!"), std::string::npos);

	// KillSignal= (SIGTERM when unset): STOPPING=1, exit 0, no module.
	const std::map<std::string, int> signals = {
		{ "", SIGTERM }, { "SIGTERM", SIGTERM }, { "SIGINT", SIGINT }, { "SIGQUIT", SIGQUIT },
	};
	ASSERT_TRUE(signals.count(unit["KillSignal"])) << unit["KillSignal"];
	ASSERT_EQ(kill(pid, signals.at(unit["KillSignal"])), 0);
	n = manager.Next(60);
	EXPECT_EQ(n.text, "STOPPING=1");
	EXPECT_EQ(WaitExit(pid, 60), 0) << ReadText(kStdout);
	EXPECT_FALSE(ModuleListed());
	EXPECT_FALSE(PathExists("/sys/module/zentrope"));
	EXPECT_EQ(manager.Next(0.5).text, "") << "nothing after STOPPING=1";
	EXPECT_EQ(RunProg({ blocked, "true" }), 127)
		<< "runs now (busybox, under a name it does not know)";
	unlink((kConfig + "usr_block_url.txt").c_str());
	unlink(blocked.c_str());
	rmdir(blocked.substr(0, blocked.rfind('/')).c_str());
}

} // namespace
