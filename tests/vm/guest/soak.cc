// Soak run of the real daemon and module, for the seconds given (default
// 600): while the daemon reloads every few seconds with list files that
// change, threads exec programs and scripts, run listed interpreters on
// scripts, connect, send, bind and query DNS against kept, changing and
// unlisted rules, and a second process writes the control files. Every
// refusal the guest sees must come back as one block-log line carrying the
// module's next event number; a kept rule must never be lifted, and a
// changing rule must be obeyed whenever no reload overlapped the
// operation. Then the daemon is stopped: no module may be left. Prints
// "SOAK ..." lines for the host; exits 1 on any failure.
//
//   zt_soak [SECONDS]   (suites/soak.sh lays out /opt/zentrope first)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "daemon_ctl.h"
#include "dns_query.h"
#include "spawn.h"

namespace {

using namespace zt;
using Clock = std::chrono::steady_clock;

const std::string kDir = "/opt/zentrope", kLists = kDir + "/soak";
const std::string kLog = "/var/log/zt_soak.log", kBlockLog = "/var/log/zt_soak_block.log";
const std::string kW = "/tmp/soak", kP = kW + "/p/", kQ = kW + "/q/", kS = kW + "/s/";
const std::string kTool = "/bin/zt_tool";
constexpr int kListenPort = 7500, kClosedPort = 7501, kSinkPort = 7600;

double Since(Clock::time_point t)
{
	return std::chrono::duration<double>(Clock::now() - t).count();
}

// ---- failures ----

std::atomic<long> g_failures{ 0 };

void Fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char *fmt, ...)
{
	if (g_failures++ >= 40)
		return; // counted, no longer printed
	char msg[1024];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(msg, sizeof(msg), fmt, ap);
	va_end(ap);
	printf("soak: FAIL %s\n", msg);
	fflush(stdout);
}

// ---- the rules ----

enum List { kProg, kHash, kInterp, kUrl, kIp, kPort, kListCount };
const char *const kListFile[kListCount] = { "prog.txt", "hash.txt", "interp.txt",
					     "url.txt", "ip.txt", "port.txt" };

struct Rule {
	List list;
	std::string text; // as the list file has it
};

// The form the module reads a list back in.
std::string Canon(List l, const std::string &t)
{
	unsigned char a[16];
	char out[INET6_ADDRSTRLEN];
	std::string s = t;
	if (l == kUrl || l == kHash)
		std::transform(s.begin(), s.end(), s.begin(), ::tolower);
	if (l == kIp && inet_pton(AF_INET, t.c_str(), a) == 1)
		return inet_ntop(AF_INET, a, out, sizeof(out));
	if (l == kIp && inet_pton(AF_INET6, t.c_str(), a) == 1)
		return inet_ntop(AF_INET6, a, out, sizeof(out));
	return s;
}

// What the module lists now, canonical; program identities ("path dev:..")
// are left out, their names stand for them. The soak's lists are short: a
// small buffer keeps the read cheap enough to repeat without a pause.
std::set<std::string> KernelList(List l)
{
	constexpr size_t kMax = 64 << 10;
	static const char *const kEntries[kListCount][2] = {
		{ "block_prog" }, { nullptr }, { "interp_prog" },
		{ "block_url" }, { "block_ipv4", "block_ipv6" }, { "block_port" },
	};
	std::vector<std::string> lines;
	if (l == kHash) {
		lines = Lines(Slurp(kProcDir + "block_hash_text", kMax));
	} else {
		for (const char *e : kEntries[l])
			if (e)
				for (const std::string &x : Lines(Snapshot(Entry(e), kMax)))
					lines.push_back(x);
	}
	std::set<std::string> out;
	for (const std::string &x : lines)
		if (!x.empty() && x.find(' ') == std::string::npos)
			out.insert(Canon(l, x));
	return out;
}

std::vector<Rule> g_kept, g_rot; // g_rot: at most 64, one bit each
std::atomic<uint64_t> g_bits{ 0 }; // the changing rules of the generation in force

int RotRule(List l, const std::string &text)
{
	g_rot.push_back({ l, text });
	return (int)g_rot.size() - 1;
}

void WriteLists(uint64_t bits)
{
	std::string text[kListCount];
	for (const Rule &r : g_kept)
		text[r.list] += r.text + "\n";
	for (size_t i = 0; i < g_rot.size(); i++)
		if (bits >> i & 1)
			text[g_rot[i].list] += g_rot[i].text + "\n";
	for (int l = 0; l < kListCount; l++)
		Put(kLists + "/" + kListFile[l], text[l]);
}

// "" when the module lists every kept rule (and, unless @bits is null,
// exactly the changing rules of *@bits); else what differs.
std::string Mismatch(const uint64_t *bits)
{
	std::set<std::string> now[kListCount];
	for (int l = 0; l < kListCount; l++)
		now[l] = KernelList((List)l);
	for (const Rule &r : g_kept)
		if (!now[r.list].count(Canon(r.list, r.text)))
			return "kept " + r.text + " missing";
	for (size_t i = 0; bits && i < g_rot.size(); i++) {
		bool want = *bits >> i & 1, have = now[g_rot[i].list].count(Canon(g_rot[i].list, g_rot[i].text));
		if (want != have)
			return g_rot[i].text + (want ? " missing" : " still listed");
	}
	return "";
}

// ---- shared with the control-file process ----

struct Shared {
	std::atomic<uint64_t> epoch; // odd while lists may change
	std::atomic<int> go, stop;
	std::atomic<long> valid, invalid, readbacks, failures;
};
Shared *g_sh;

// ---- operations ----

enum Kind { kExec, kScript, kInterpOpen, kShell, kConnect, kSend, kDns, kBind, kKinds };
const char *const kKindName[kKinds] = { "exec", "script", "interp", "shell",
					"connect", "send", "dns", "bind" };

struct Res {
	int refused_as = -1; // the kind whose refusal it was, -1 when allowed
	bool error = false;
};

Res Allowed()
{
	return {};
}

Res Refused(Kind k)
{
	return { k, false };
}

Res Error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
Res Error(const char *fmt, ...)
{
	char msg[512];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(msg, sizeof(msg), fmt, ap);
	va_end(ap);
	Fail("%s", msg);
	return { -1, true };
}

constexpr int kKept = -1, kFree = -2;

struct Op {
	Kind kind;
	int rule; // index into g_rot, kKept or kFree
	std::string what;
	std::function<Res()> run;
};

struct Tally {
	std::atomic<long> ops{ 0 }, refused{ 0 }, checked{ 0 }, errors{ 0 };
} g_tally[kKinds];
std::atomic<long> g_refusals[kKinds], g_kept_lifted{ 0 }, g_stale{ 0 }, g_false{ 0 };
std::atomic<long> g_watch_reads{ 0 };

void RunOp(const Op &op)
{
	uint64_t e1 = g_sh->epoch.load(), bits = g_bits.load();
	Res r = op.run();
	uint64_t e2 = g_sh->epoch.load();
	Tally &t = g_tally[op.kind];
	t.ops++;
	if (r.error) {
		t.errors++;
		return;
	}
	bool refused = r.refused_as >= 0;
	if (refused) {
		t.refused++;
		g_refusals[r.refused_as]++;
	}
	if (op.rule == kKept && !refused) {
		g_kept_lifted++;
		Fail("kept rule lifted: %s was allowed", op.what.c_str());
	} else if (op.rule == kFree && refused) {
		g_false++;
		Fail("unlisted %s was refused", op.what.c_str());
	} else if (op.rule >= 0 && e1 == e2 && !(e1 & 1)) {
		t.checked++;
		if (refused != (bool)(bits >> op.rule & 1)) {
			g_stale++;
			Fail("%s was %s while its rule was %s (generation %llu)", op.what.c_str(),
			     refused ? "refused" : "allowed", refused ? "not listed" : "listed",
			     (unsigned long long)e1 / 2);
		}
	}
}

Res ExecProg(const std::string &path)
{
	int r = RunProg({ path });
	if (r == -EPERM)
		return Refused(kExec);
	return r == 0 ? Allowed() : Error("exec %s: %d", path.c_str(), r);
}

// A script run by its #! line: refused at exec, or its shell refused the
// open when the rule came between the two.
Res ExecScript(const std::string &path)
{
	int r = RunProg({ path });
	if (r == -EPERM)
		return Refused(kScript);
	if (r == 2)
		return Refused(kShell);
	return r == 0 ? Allowed() : Error("script %s: %d", path.c_str(), r);
}

// zt_tool as an interpreter: its "read" exits with the open's errno.
Res InterpRead(const std::string &interp, const std::string &script)
{
	int r = RunProg({ interp, "read", script });
	if (r == EPERM)
		return Refused(kInterpOpen);
	return r == 0 ? Allowed() : Error("%s read %s: %d", interp.c_str(), script.c_str(), r);
}

// busybox sh on a script, its complaint about a refused open silenced.
Res ShellRun(const std::string &script)
{
	int r = RunProg({ "/bin/sh", "-c", "exec 2>/dev/null; exec /bin/sh " + script });
	if (r == 2)
		return Refused(kShell);
	return r == 0 ? Allowed() : Error("sh %s: %d", script.c_str(), r);
}

// One operation on a fresh socket: EPERM is the module's refusal, the
// errnos in @ok are the kernel's own answers to an allowed one.
template <typename F>
Res SockOp(Kind k, const SockAddr &a, int type, std::initializer_list<int> ok, const char *what, F op)
{
	int fd = socket(a.family(), type | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return Error("socket for %s: %s", what, strerror(errno));
	int err = op(fd) ? errno : 0;
	close(fd);
	if (err == EPERM)
		return Refused(k);
	if (!err || std::find(ok.begin(), ok.end(), err) != ok.end())
		return Allowed();
	return Error("%s: %s", what, strerror(err));
}

Op ConnectOp(int rule, const std::string &ip, int port)
{
	std::string what = "connect " + ip + ":" + std::to_string(port);
	SockAddr a = SockAddrOf(ip, port);
	return { kConnect, rule, what, [=] {
			return SockOp(kConnect, a, SOCK_STREAM, { ECONNREFUSED, ENETUNREACH },
				      what.c_str(), [&](int fd) {
					      return connect(fd, (const sockaddr *)&a.ss, a.len);
				      });
		} };
}

Op SendOp(int rule, const std::string &ip)
{
	std::string what = "send to " + ip;
	SockAddr a = SockAddrOf(ip, kSinkPort);
	return { kSend, rule, what, [=] {
			return SockOp(kSend, a, SOCK_DGRAM, { ENETUNREACH }, what.c_str(), [&](int fd) {
				return sendto(fd, "soak", 4, 0, (const sockaddr *)&a.ss, a.len) < 0;
			});
		} };
}

// Sockets children still hold between fork and exec may keep the port
// for a moment: EADDRINUSE is no refusal.
Op BindOp(int rule, int port, int type)
{
	std::string what = std::string(type == SOCK_STREAM ? "tcp" : "udp") + " bind " +
			   std::to_string(port);
	SockAddr a = SockAddrOf("127.0.0.1", port);
	return { kBind, rule, what, [=] {
			return SockOp(kBind, a, type, { EADDRINUSE }, what.c_str(), [&](int fd) {
				int one = 1;
				setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
				return bind(fd, (const sockaddr *)&a.ss, a.len);
			});
		} };
}

// A query to the responder: refused at the send, or answered.
Op DnsOp(int rule, const std::string &name)
{
	return { kDns, rule, "query " + name, [=] {
			int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
			if (fd < 0)
				return Error("socket for %s: %s", name.c_str(), strerror(errno));
			timeval tv = { 20, 0 };
			setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
			SockAddr a = SockAddrOf("127.0.0.1", 53);
			std::string q = Query({ name });
			if (sendto(fd, q.data(), q.size(), 0, (const sockaddr *)&a.ss, a.len) < 0) {
				int err = errno;
				close(fd);
				return err == EPERM ? Refused(kDns) :
						      Error("query %s: %s", name.c_str(), strerror(err));
			}
			char buf[512];
			ssize_t n = recv(fd, buf, sizeof(buf), 0);
			close(fd);
			if (n < (ssize_t)q.size() || memcmp(buf, q.data(), 2))
				return Error("query %s: no answer", name.c_str());
			return Allowed();
		} };
}

// ---- the guest's own servers ----

int Server(int family, int type, const std::string &ip, int port)
{
	SockAddr a = SockAddrOf(ip, port);
	int fd = socket(family, type | SOCK_CLOEXEC, 0), one = 1;
	if (fd >= 0)
		setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
	if (fd < 0 || bind(fd, (const sockaddr *)&a.ss, a.len) ||
	    (type == SOCK_STREAM && listen(fd, 512))) {
		Fail("server %s:%d: %s", ip.c_str(), port, strerror(errno));
		return -1;
	}
	return fd;
}

// Accepts and closes; drains datagrams; answers queries with their own
// bytes marked as a response.
void Serve(int fd, int what)
{
	pthread_setname_np(pthread_self(), "soak-serve");
	while (!g_sh->stop) {
		pollfd p = { fd, POLLIN, 0 };
		if (poll(&p, 1, 200) <= 0)
			continue;
		if (what == 0) {
			int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
			if (c >= 0)
				close(c);
			continue;
		}
		char buf[512];
		sockaddr_storage from;
		socklen_t flen = sizeof(from);
		ssize_t n = recvfrom(fd, buf, sizeof(buf), MSG_DONTWAIT, (sockaddr *)&from, &flen);
		if (n >= 12 && what == 2) {
			buf[2] |= 0x80;
			sendto(fd, buf, n, 0, (sockaddr *)&from, flen);
		}
	}
	close(fd);
}

// ---- the logs ----

// Follows a log the daemon appends to and may rotate to ".bak": hands out
// whole lines added since the last call, across the rename.
class Follower {
public:
	explicit Follower(std::string path) : path_(std::move(path)) {}
	~Follower()
	{
		if (fd_ >= 0)
			close(fd_);
	}
	template <typename F> void Poll(F on_line)
	{
		for (;;) {
			if (fd_ < 0 && !Open())
				return;
			Drain(on_line);
			struct stat st;
			if (stat(path_.c_str(), &st) || st.st_ino == ino_)
				return;
			Drain(on_line); // rotated: the old file is complete
			close(fd_);
			fd_ = -1;
		}
	}

private:
	bool Open()
	{
		struct stat st;
		fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
		if (fd_ < 0 || fstat(fd_, &st))
			return false;
		ino_ = st.st_ino;
		part_.clear();
		return true;
	}
	template <typename F> void Drain(F on_line)
	{
		char buf[65536];
		ssize_t n;
		while ((n = read(fd_, buf, sizeof(buf))) > 0) {
			part_.append(buf, n);
			size_t start = 0, nl;
			while ((nl = part_.find('\n', start)) != std::string::npos) {
				on_line(part_.substr(start, nl - start));
				start = nl + 1;
			}
			part_.erase(0, start);
		}
	}
	std::string path_, part_;
	int fd_ = -1;
	ino_t ino_ = 0;
};

// Block-log lines by kind, and the event numbers they carry.
struct BlockLog {
	Follower f{ kBlockLog };
	long lines = 0, kinds[kKinds] = {}, other = 0, dups = 0;
	uint64_t max_seq = 0;
	std::vector<bool> seen;

	static std::string Field(const std::string &l, const std::string &key)
	{
		size_t p = l.find(" " + key);
		if (p == std::string::npos)
			return "";
		p += key.size() + 1;
		return l.substr(p, l.find(' ', p) - p);
	}
	static int KindOf(const std::string &l)
	{
		size_t b = l.find(" Blocking ");
		if (b == std::string::npos)
			return -1;
		std::string rest = l.substr(b + 10);
		static const std::pair<const char *, Kind> kNet[] = {
			{ "ip connecting to ", kConnect }, { "ip sendmsging to ", kSend },
			{ "dnslookuping url:", kDns }, { "port binding to ", kBind },
		};
		for (const auto &[prefix, k] : kNet)
			if (rest.rfind(prefix, 0) == 0)
				return k;
		if (rest.find(" execing pid:") == std::string::npos)
			return -1;
		std::string comm = Field(l, "comm:");
		if (comm.rfind("zt-interp", 0) == 0)
			return kInterpOpen;
		if (comm == "sh")
			return kShell;
		if (comm == "soak-script")
			return kScript;
		return comm == "soak-exec" ? kExec : -1;
	}
	void Poll()
	{
		f.Poll([this](const std::string &l) {
			lines++;
			uint64_t seq = strtoull(l.c_str(), nullptr, 10);
			if (seq >= seen.size())
				seen.resize(seq + 4096);
			dups += seen[seq];
			seen[seq] = true;
			max_seq = std::max(max_seq, seq);
			int k = KindOf(l);
			if (k >= 0) {
				kinds[k]++;
			} else if (other++ < 5) {
				printf("soak: unexpected block-log line: %s\n", l.c_str());
			}
		});
	}
	long Gaps() const
	{
		long n = 0;
		for (uint64_t s = 1; s <= max_seq; s++)
			n += !seen[s];
		return n;
	}
};

// The daemon log: reloads it announced, and its error lines.
struct DaemonLog {
	Follower f{ kLog };
	long reloads = 0, errors = 0, cleared = 0;
	void Poll()
	{
		f.Poll([this](const std::string &l) {
			reloads += l.find("zentrope will reload block config") != std::string::npos;
			cleared += l.find(" Clear ") != std::string::npos &&
				   l.find(" config SUCC") != std::string::npos;
			if (l.find(" err") != std::string::npos || l.find("fail") != std::string::npos) {
				errors++;
				Fail("daemon log: %s", l.c_str());
			}
		});
	}
};

// ---- setup ----

void Copy(const std::string &from, const std::string &to, const std::string &tail = "")
{
	Put(to, ReadText(from) + tail);
	chmod(to.c_str(), 0755);
}

std::string Sha1(const std::string &path)
{
	FILE *p = popen(("sha1sum " + path).c_str(), "r");
	char hex[41] = "";
	if (!p || fscanf(p, "%40s", hex) != 1)
		Fail("sha1sum %s", path.c_str());
	if (p)
		pclose(p);
	return hex;
}

struct Lanes {
	std::vector<Op> exec, script, interp, net, dns, keep;
};

// Files and rules: per kind one or more kept rules, changing rules and
// operations nothing lists.
Lanes Setup()
{
	for (const std::string &d : { kW, kP, kQ, kS, kLists })
		mkdir(d.c_str(), 0755);
	mkdir("/var/log", 0755);
	// The interpreters found, as every reload will list them again.
	if (RunProg({ "/bin/sh", kDir + "/mk_usr_interp_name_list" }))
		Fail("mk_usr_interp_name_list failed");
	Lanes ln;
	auto kept = [](List l, const std::string &t) { g_kept.push_back({ l, t }); };
	auto exec = [&](int rule, const std::string &path) {
		ln.exec.push_back({ kExec, rule, "exec " + path, [=] { return ExecProg(path); } });
	};

	for (const char *f : { "kept-path", "zt-kept-short", "free" })
		Copy(kTool, kP + f);
	Copy(kTool, kQ + "zt-kept-short");
	Copy(kTool, kQ + "zt-free-short");
	link((kP + "kept-path").c_str(), (kP + "kept-link").c_str());
	Copy(kTool, kP + "kept-hash", "kept digest\n");
	kept(kProg, kP + "kept-path");
	kept(kProg, "zt-kept-short");
	kept(kHash, Sha1(kP + "kept-hash"));
	for (const char *f : { "kept-path", "kept-link", "zt-kept-short", "kept-hash" })
		exec(kKept, kP + f);
	exec(kKept, kQ + "zt-kept-short");
	for (const std::string &f : { kP + "free", kQ + "zt-free-short", kTool })
		exec(kFree, f);
	for (int i = 0; i < 3; i++) {
		std::string p = kP + "rot-path-" + std::to_string(i);
		Copy(kTool, p);
		exec(RotRule(kProg, p), p);
	}
	for (int i = 0; i < 2; i++) {
		std::string n = "zt-rot-short-" + std::to_string(i);
		Copy(kTool, kQ + n);
		exec(RotRule(kProg, n), kQ + n);
		std::string h = kP + "rot-hash-" + std::to_string(i);
		Copy(kTool, h, "digest " + std::to_string(i) + "\n");
		exec(RotRule(kHash, Sha1(h)), h);
	}

	// Scripts: run by #!, by the listed zt_tool copies and by busybox sh.
	const std::string interp = kP + "zt-interp", interp_rot = kP + "zt-interp-rot";
	Copy(kTool, interp);
	Copy(kTool, interp_rot);
	kept(kInterp, "/bin/sh");
	kept(kInterp, interp);
	int rot_interp = RotRule(kInterp, interp_rot);
	auto scripts = [&](int rule, const std::string &s) {
		Put(s, "#!/bin/sh\nexit 0\n");
		chmod(s.c_str(), 0755);
		ln.script.push_back({ kScript, rule, "script " + s, [=] { return ExecScript(s); } });
		ln.interp.push_back({ kInterpOpen, rule, "zt-interp read " + s,
				      [=] { return InterpRead(interp, s); } });
		ln.interp.push_back({ kShell, rule, "sh " + s, [=] { return ShellRun(s); } });
	};
	kept(kProg, kS + "kept.sh");
	scripts(kKept, kS + "kept.sh");
	scripts(kFree, kS + "free.sh");
	for (int i = 0; i < 2; i++) {
		std::string s = kS + "rot-" + std::to_string(i) + ".sh";
		scripts(RotRule(kProg, s), s);
	}
	ln.interp.push_back({ kInterpOpen, rot_interp, "zt-interp-rot read kept.sh",
			      [=] { return InterpRead(interp_rot, kS + "kept.sh"); } });
	ln.interp.push_back({ kInterpOpen, kFree, "free read kept.sh",
			      [=] { return InterpRead(kP + "free", kS + "kept.sh"); } });

	// Network: 127.0.0.1 and the ports below 7700 are never listed.
	kept(kIp, "127.0.0.20");
	kept(kIp, "fd00::20");
	kept(kPort, "7700");
	kept(kUrl, "kept.soak.example");
	for (const std::string &ip : { "127.0.0.20", "fd00::20" }) {
		ln.net.push_back(ConnectOp(kKept, ip, kListenPort));
		ln.net.push_back(SendOp(kKept, ip));
	}
	for (int type : { SOCK_STREAM, SOCK_DGRAM })
		ln.net.push_back(BindOp(kKept, 7700, type));
	ln.keep = { BindOp(kKept, 7700, SOCK_DGRAM), ConnectOp(kKept, "127.0.0.20", kListenPort),
		    DnsOp(kKept, "kept.soak.example") };
	ln.dns.push_back(DnsOp(kKept, "kept.soak.example"));
	ln.dns.push_back(DnsOp(kKept, "KEPT.Soak.Example"));
	ln.net.push_back(ConnectOp(kFree, "127.0.0.1", kListenPort));
	ln.net.push_back(ConnectOp(kFree, "127.0.0.99", kClosedPort));
	ln.net.push_back(ConnectOp(kFree, "::1", kClosedPort));
	ln.net.push_back(SendOp(kFree, "127.0.0.1"));
	ln.net.push_back(BindOp(kFree, 7790, SOCK_STREAM));
	ln.dns.push_back(DnsOp(kFree, "free.soak.example"));
	for (int i = 0; i < 3; i++) {
		std::string ip = "127.0.0.3" + std::to_string(i);
		int r = RotRule(kIp, ip);
		ln.net.push_back(ConnectOp(r, ip, kListenPort));
		ln.net.push_back(SendOp(r, ip));
		int port = 7710 + i;
		ln.net.push_back(BindOp(RotRule(kPort, std::to_string(port)), port, i ? SOCK_DGRAM : SOCK_STREAM));
		std::string name = "rot" + std::to_string(i) + ".soak.example";
		ln.dns.push_back(DnsOp(RotRule(kUrl, name), name));
	}
	int v6 = RotRule(kIp, "fd00::30");
	ln.net.push_back(ConnectOp(v6, "fd00::30", kListenPort));
	ln.net.push_back(SendOp(v6, "fd00::30"));

	Put(kDir + "/config/config.txt",
	    "[global]\nstrict = 1\ndaemon = 1\nverbose = 1\nquite = 0\n"
	    "log_file = " + kLog + "\nblock_log_file = " + kBlockLog + "\n"
	    "[interp]\ninterp_file = soak/interp.txt\nusr_interp_file = config/usr_interp.txt\n"
	    "[block_prog]\nblock_prog_file = soak/prog.txt\n"
	    "[block_hash]\nblock_hash_file = soak/hash.txt\n"
	    "[block_url]\nblock_url_file = soak/url.txt\n"
	    "[block_ip]\nblock_ip_file = soak/ip.txt\n"
	    "[block_port]\nblock_port_file = soak/port.txt\n");
	return ln;
}

// ---- the control-file process ----

struct Invalid {
	const char *entry;
	std::string cmd;
};

std::vector<Invalid> InvalidCommands()
{
	const std::string hex = "0123456789abcdef0123456789abcdef01234567";
	std::string overlong = "ADD";
	while (overlong.size() <= 131072)
		overlong += " 10.99.0.2";
	return {
		{ "block_port", "ADD 65536" }, { "block_port", "ADD -1" },
		{ "block_port", "ADD 0x50" }, { "block_port", "ADD 0" },
		{ "block_port", "PUT 9912" }, { "block_port", "ADDX 9912" },
		{ "block_port", " ADD 9912" }, { "block_port", "ADD\t9912" },
		{ "block_ipv4", "ADD 1.2.3.256" }, { "block_ipv4", "ADD 10.99.0.0/8" },
		{ "block_ipv4", "ADD ::1" }, { "block_ipv4", "ADD 10.99.0.3x" },
		{ "block_ipv4", "DEL" }, { "block_ipv4", "" }, { "block_ipv4", "\n" },
		{ "block_ipv4", overlong },
		{ "block_ipv6", "ADD 1::2::3" }, { "block_ipv6", "ADD fe80::1%lo" },
		{ "block_ipv6", "ADD 10.99.0.4" }, { "block_ipv6", "ADD 1:2:3:4:5:6:7:8:9" },
		{ "block_url", "ADD ..." }, { "block_url", "ADD ." },
		{ "block_url", "ADD " + std::string(256, 'a') }, { "block_url", "DELETE x.example" },
		{ "block_prog", "PUT /tmp/soak/x" }, { "block_prog", "ADD" },
		{ "interp_prog", "ADDX /tmp/soak/x" }, { "interp_prog", "DEL" },
		{ "block_hash", "ADD " + hex.substr(0, 39) }, { "block_hash", "ADD :4096" },
		{ "block_hash", "ADD 0x" + hex.substr(0, 38) }, { "block_hash", "ADD " + hex + "ab" },
		{ "strict", "5" }, { "strict", "abc" }, { "quite", "2" }, { "ulog", "-1" },
		{ "hash_max_filesize", "104857601" },
	};
}

class Hammer {
public:
	Hammer()
	{
		for (const Rule &r : g_kept)
			kept_[r.list].insert(Canon(r.list, r.text));
		for (int l = 0; l < kListCount; l++)
			known_[l] = kept_[l];
		for (const Rule &r : g_rot)
			known_[r.list].insert(Canon(r.list, r.text));
		for (const auto &[l, e] : kValid)
			known_[l].insert(Canon(l, e));
	}

	void Run()
	{
		std::vector<Invalid> bad = InvalidCommands();
		for (const std::string &l : Lines(ReadText(kDir + "/config/usr_interp.txt")))
			known_[kInterp].insert(l);
		for (size_t i = 0; !g_sh->stop; i++) {
			Valid(kValid[i % 4].first, kValid[i % 4].second);
			Bad(bad[i % bad.size()]);
			usleep(2000);
		}
	}

private:
	static constexpr std::pair<List, const char *> kValid[4] = {
		{ kPort, "9911" }, { kUrl, "hammer.unrelated.example" },
		{ kIp, "10.99.0.1" }, { kIp, "fd00::99" },
	};

	void HFail(const std::string &msg)
	{
		g_sh->failures++;
		Fail("control files: %s", msg.c_str());
	}

	static std::string EntryOf(List l, const std::string &e)
	{
		static const char *const kName[kListCount] = { "block_prog", "", "interp_prog",
							       "block_url", "", "block_port" };
		if (l == kIp)
			return e.find(':') != std::string::npos ? "block_ipv6" : "block_ipv4";
		return kName[l];
	}

	// ADD then DEL of an entry no rule uses; no reload may come between
	// for the read-backs to count.
	void Valid(List l, const std::string &e)
	{
		for (bool add : { true, false }) {
			uint64_t e1 = g_sh->epoch;
			int err = Cmd(EntryOf(l, e), (add ? "ADD " : "DEL ") + e);
			g_sh->valid++;
			if (err)
				HFail((add ? "ADD " : "DEL ") + e + ": " + strerror(err));
			bool listed = KernelList(l).count(Canon(l, e));
			if (e1 == g_sh->epoch && !(e1 & 1) && listed != add)
				HFail(e + (add ? " missing after ADD" : " listed after DEL"));
		}
	}

	// Fails with an error and leaves nothing behind it.
	void Bad(const Invalid &c)
	{
		g_sh->invalid++;
		static const std::map<std::string, std::string> kSwitch = {
			{ "strict", "1\n" }, { "quite", "0\n" }, { "ulog", "1\n" },
			{ "hash_max_filesize", "33554432\n" },
		};
		std::string shown = c.cmd.substr(0, 40);
		if (!Cmd(c.entry, c.cmd))
			HFail(std::string(c.entry) + " took \"" + shown + "\"");
		auto sw = kSwitch.find(c.entry);
		if (sw != kSwitch.end()) {
			std::string now = ReadText(Entry(c.entry));
			if (now != sw->second)
				HFail(std::string(c.entry) + " reads " + now + " after \"" + shown + "\"");
			return;
		}
		List l = !strcmp(c.entry, "block_port") ? kPort :
			 !strcmp(c.entry, "block_url")	 ? kUrl :
			 !strcmp(c.entry, "block_prog")	 ? kProg :
			 !strcmp(c.entry, "interp_prog") ? kInterp :
			 !strcmp(c.entry, "block_hash")	 ? kHash : kIp;
		Check(l, shown);
	}

	void Check(List l, const std::string &after)
	{
		g_sh->readbacks++;
		std::set<std::string> now = KernelList(l);
		for (const std::string &k : kept_[l])
			if (!now.count(k))
				HFail("kept " + k + " missing after \"" + after + "\"");
		for (const std::string &e : now)
			if (!known_[l].count(e))
				HFail("unknown entry " + e + " after \"" + after + "\"");
	}

	std::set<std::string> kept_[kListCount], known_[kListCount];
};

pid_t StartHammer()
{
	pid_t pid = fork();
	if (pid)
		return pid;
	pthread_setname_np(pthread_self(), "soak-ctl");
	while (!g_sh->go && !g_sh->stop)
		usleep(50000);
	if (g_sh->go)
		Hammer().Run();
	_exit(0);
}

// ---- the run ----

struct ReloadStats {
	long n = 0;
	double sum = 0, max = 0;
};

bool DaemonIdle(pid_t pid)
{
	// ppoll, where the event loop waits.
	return ReadText("/proc/" + std::to_string(pid) + "/syscall").rfind("271 ", 0) == 0;
}

// Rewrites the lists every few seconds and waits out each reload; the
// generation's changing rules are published once it is done.
void Reloader(pid_t pid, DaemonLog *dlog, ReloadStats *st)
{
	pthread_setname_np(pthread_self(), "soak-reload");
	std::mt19937_64 rng(Clock::now().time_since_epoch().count());
	const uint64_t mask = (1ull << g_rot.size()) - 1;
	while (!g_sh->stop) {
		for (int i = 20 + (int)(rng() % 30); i > 0 && !g_sh->stop; i--)
			usleep(100000);
		if (g_sh->stop)
			break;
		uint64_t bits = rng() & mask;
		if (bits == g_bits)
			bits ^= 1ull << (rng() % g_rot.size());
		g_sh->epoch++;
		WriteLists(bits);
		long want = dlog->reloads + 1;
		auto t0 = Clock::now();
		kill(pid, SIGUSR1);
		bool done = WaitFor([&] {
			dlog->Poll();
			return dlog->reloads >= want && DaemonIdle(pid) && Mismatch(&bits).empty();
		}, 300, 50);
		if (!done) {
			Fail("reload %ld not done after 300 s: %s", want, Mismatch(&bits).c_str());
			g_sh->stop = 1;
			break;
		}
		double t = Since(t0);
		st->n++;
		st->sum += t;
		st->max = std::max(st->max, t);
		g_bits = bits;
		g_sh->epoch++;
	}
}

void Lane(const char *name, const std::vector<Op> &ops, int pause_ms)
{
	pthread_setname_np(pthread_self(), name);
	for (size_t i = 0; !g_sh->stop; i++) {
		RunOp(ops[i % ops.size()]);
		usleep(pause_ms * 1000);
	}
}

// While a reload runs the kept rules are watched closely: one thread reads
// the lists back without a pause (each read costs the module tens of
// milliseconds under emulation), another tries a kept network operation
// every 5 ms.
void WatchLists()
{
	pthread_setname_np(pthread_self(), "soak-watch");
	while (!g_sh->stop) {
		if (!(g_sh->epoch & 1)) {
			usleep(5000);
			continue;
		}
		std::string m = Mismatch(nullptr);
		g_watch_reads++;
		if (!m.empty()) {
			g_kept_lifted++;
			Fail("during a reload: %s", m.c_str());
		}
	}
}

void Keeper(const std::vector<Op> &ops)
{
	pthread_setname_np(pthread_self(), "soak-keep");
	for (size_t i = 0; !g_sh->stop;) {
		if (g_sh->epoch & 1)
			RunOp(ops[i++ % ops.size()]);
		usleep(5000);
	}
}

long Sum(const std::atomic<long> *a)
{
	long s = 0;
	for (int k = 0; k < kKinds; k++)
		s += a[k];
	return s;
}

pid_t StartDaemon()
{
	int rc = RunProg({ kDir + "/zentroped" });
	pid_t pid = 0;
	if (rc != 0) {
		Fail("zentroped exited %d at start:\n%s", rc, ReadText(kLog).c_str());
	} else if (!WaitFor([&] { return (pid = DaemonPid()) > 1 && DaemonPortid(); }, 300)) {
		Fail("zentroped did not start listening:\n%s", ReadText(kLog).c_str());
		pid = 0;
	}
	return pid;
}

// SIGTERM: the module goes, after the daemon cleared every list.
bool StopDaemon(pid_t pid, DaemonLog *dlog)
{
	kill(pid, SIGTERM);
	bool gone = WaitFor([] { return !ModuleListed(); }, 300);
	WaitFor([&] { return !PathExists("/proc/" + std::to_string(pid)); }, 60);
	dlog->Poll();
	if (!gone)
		Fail("zentrope still loaded 300 s after SIGTERM");
	if (PathExists("/proc/" + std::to_string(pid)))
		Fail("zentroped still running after SIGTERM");
	if (dlog->cleared != 7)
		Fail("the daemon cleared %ld of 7 lists at its stop", dlog->cleared);
	if (PathExists(kSysctlDir))
		Fail("%s still there", kSysctlDir.c_str());
	return gone;
}

void Report(double secs, double elapsed, const BlockLog &bl, const DaemonLog &dl,
	    const ReloadStats &rs, bool unloaded)
{
	utsname u;
	uname(&u);
	printf("SOAK kernel %s seconds %.0f elapsed %.0f\n", u.release, secs, elapsed);
	long ops = 0;
	for (int k = 0; k < kKinds; k++) {
		const Tally &t = g_tally[k];
		ops += t.ops;
		printf("SOAK ops %-7s %8ld refused %7ld checked %7ld errors %ld "
		       "refusals %7ld log %7ld\n", kKindName[k], t.ops.load(), t.refused.load(),
		       t.checked.load(), t.errors.load(), g_refusals[k].load(), bl.kinds[k]);
	}
	printf("SOAK total ops %ld refusals %ld block-log-lines %ld events-sent %llu "
	       "gaps %ld dups %ld other-lines %ld\n", ops, Sum(g_refusals), bl.lines,
	       (unsigned long long)bl.max_seq, bl.Gaps(), bl.dups, bl.other);
	printf("SOAK reloads %ld avg %.2f s max %.2f s daemon-log-errors %ld\n", rs.n,
	       rs.n ? rs.sum / rs.n : 0.0, rs.max, dl.errors);
	printf("SOAK control-files valid %ld invalid %ld readbacks %ld failures %ld\n",
	       g_sh->valid.load(), g_sh->invalid.load(), g_sh->readbacks.load(),
	       g_sh->failures.load());
	printf("SOAK kept-lifted %ld stale %ld unlisted-refused %ld reload-watch-reads %ld "
	       "module-unloaded %s\n", g_kept_lifted.load(), g_stale.load(), g_false.load(),
	       g_watch_reads.load(), unloaded ? "yes" : "no");
	printf("SOAK result %s failures %ld\n", g_failures ? "FAIL" : "PASS", g_failures.load());
	fflush(stdout);
}

// Every refusal seen, once in the block log, numbered without a gap.
void CheckEvents(const BlockLog &bl)
{
	long refusals = Sum(g_refusals);
	for (int k = 0; k < kKinds; k++)
		if (g_refusals[k] != bl.kinds[k])
			Fail("%s: %ld refusals but %ld block-log lines", kKindName[k],
			     g_refusals[k].load(), bl.kinds[k]);
	if (bl.lines != refusals || (long)bl.max_seq != refusals || bl.Gaps() || bl.dups)
		Fail("%ld refusals, %ld block-log lines, %llu events sent (%ld missing, %ld twice)",
		     refusals, bl.lines, (unsigned long long)bl.max_seq, bl.Gaps(), bl.dups);
}

} // namespace

int main(int argc, char **argv)
{
	const double secs = argc > 1 ? atof(argv[1]) : 600;
	setvbuf(stdout, nullptr, _IOLBF, 0);
	g_sh = new (mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
			 MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Shared();
	pthread_setname_np(pthread_self(), "soak");
	Lanes lanes = Setup();
	uint64_t bits = std::mt19937_64(1)() & ((1ull << g_rot.size()) - 1);
	WriteLists(bits);
	g_bits = bits;
	printf("soak: %zu kept and %zu changing rules, %.0f s\n", g_kept.size(), g_rot.size(), secs);

	pid_t hammer = StartHammer();
	auto t0 = Clock::now();
	pid_t pid = StartDaemon();
	BlockLog blog;
	DaemonLog dlog;
	ReloadStats rs;
	bool unloaded = false;
	if (pid) {
		std::this_thread::sleep_for(std::chrono::seconds(1));
		std::string m = Mismatch(&bits);
		if (!m.empty())
			Fail("after the start: %s", m.c_str());
		std::vector<std::thread> ts;
		ts.emplace_back(Serve, Server(AF_INET, SOCK_STREAM, "0.0.0.0", kListenPort), 0);
		ts.emplace_back(Serve, Server(AF_INET, SOCK_DGRAM, "0.0.0.0", kSinkPort), 1);
		ts.emplace_back(Serve, Server(AF_INET, SOCK_DGRAM, "127.0.0.1", 53), 2);
		g_sh->go = 1;
		ts.emplace_back(Reloader, pid, &dlog, &rs);
		ts.emplace_back(Lane, "soak-exec", std::cref(lanes.exec), 20);
		ts.emplace_back(Lane, "soak-script", std::cref(lanes.script), 20);
		ts.emplace_back(Lane, "soak-interp", std::cref(lanes.interp), 20);
		ts.emplace_back(Lane, "soak-net", std::cref(lanes.net), 5);
		ts.emplace_back(Lane, "soak-dns", std::cref(lanes.dns), 10);
		ts.emplace_back(Keeper, std::cref(lanes.keep));
		ts.emplace_back(WatchLists);
		for (double next = 60; !g_sh->stop && Since(t0) < secs; sleep(1)) {
			blog.Poll();
			if (Since(t0) < next)
				continue;
			next += 60;
			long ops = 0;
			for (const Tally &t : g_tally)
				ops += t.ops;
			printf("soak: %.0f/%.0f s: %ld ops, %ld refusals, %ld block-log lines, "
			       "%ld reloads, %ld control commands\n", Since(t0), secs, ops,
			       Sum(g_refusals), blog.lines, rs.n, g_sh->valid + g_sh->invalid);
		}
		g_sh->stop = 1;
		for (std::thread &t : ts)
			t.join();
		WaitFor([&] { blog.Poll(); return blog.lines >= Sum(g_refusals); }, 60, 200);
		std::this_thread::sleep_for(std::chrono::seconds(2));
		blog.Poll();
		dlog.Poll();
		CheckEvents(blog);
		unloaded = StopDaemon(pid, &dlog);
	}
	g_sh->stop = 1;
	int st;
	if (waitpid(hammer, &st, 0) != hammer || !WIFEXITED(st) || WEXITSTATUS(st))
		Fail("the control-file process ended badly");
	if (g_sh->failures)
		Fail("%ld failures in the control-file process", g_sh->failures.load());
	Report(secs, Since(t0), blog, dlog, rs, unloaded);
	return g_failures ? 1 : 0;
}
