// The 15 diverted kernel functions behave as without the module: a table of
// operations (fork, exec, exit, open, connect, send, receive, bind, utimes and
// the four extended-attribute calls, successes and failures alike) runs before
// the load, while the module is loaded and after its removal, and every
// outcome must be the same each time. With the hooks build (--counters),
// each operation must also have gone through the handlers it names. Then
// threads run the table in a loop while the module is removed and loaded
// again a few times.
//
//   zt_guest_hooks --ko /lib/zentrope/zentrope.ko [--counters] [gtest flags]
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "daemon_ctl.h"
#include "spawn.h"

namespace {

using namespace zt;

std::string g_ko;
bool g_counters = false;

const std::vector<std::string> kHookNames = {
	"bprm_execve",
	"exit_signals",
	"do_dentry_open",
	"security_bprm_creds_from_file",
	"security_socket_connect",
	"security_socket_sendmsg",
	"inet_recvmsg",
	"security_socket_bind",
	"vfs_utimes",
	"security_inode_setxattr",
	"security_inode_getxattr",
	"security_inode_removexattr",
	"vfs_listxattr",
	"inet6_recvmsg",
	"wake_up_new_task",
};

// ---- outcome helpers: text that is the same for the same behaviour ----

std::string Err(int e)
{
	const char *n = strerrorname_np(e);
	return std::string("err=") + (n ? n : std::to_string(e));
}

// "ret=N" for a call that succeeded, "err=EXXX" for one that failed.
std::string Ret(long r)
{
	return r < 0 ? Err(errno) : "ret=" + std::to_string(r);
}

std::string Status(int status)
{
	if (WIFEXITED(status))
		return "exit=" + std::to_string(WEXITSTATUS(status));
	if (WIFSIGNALED(status))
		return "signal=" + std::to_string(WTERMSIG(status));
	return "status=" + std::to_string(status);
}

// Work files of one runner (one per thread), created anew for each run.
struct Ctx {
	std::string dir;
	std::string Path(const std::string &name) const { return dir + "/" + name; }
};

void WriteFile(const std::string &path, const std::string &data, mode_t mode)
{
	unlink(path.c_str());
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
	if (fd < 0)
		return;
	(void)!write(fd, data.data(), data.size());
	fchmod(fd, mode);
	close(fd);
}

// Files the runs only execute are written once: a child that another
// thread forks while one is open for writing would keep it open, and the
// exec fail with ETXTBSY. Call Prepare() for every runner before threads
// start.
void Prepare(const Ctx &c)
{
	mkdir(c.dir.c_str(), 0755);
	WriteFile(c.Path("data"), "twelve bytes", 0644);
	if (!PathExists(c.Path("script"))) {
		WriteFile(c.Path("noexec"), "#!/bin/sh\necho no\n", 0644);
		WriteFile(c.Path("garbage"), std::string("\x01\x02\x03 not a program\n"), 0755);
		WriteFile(c.Path("script"), "#!/bin/sh\necho script \"$1\"\nexit 3\n", 0755);
	}
	WriteFile(c.Path("times"), "t", 0644);
	WriteFile(c.Path("xattrs"), "x", 0644);
	unlink(c.Path("link").c_str());
	(void)!symlink("times", c.Path("link").c_str());
	unlink(c.Path("fifo").c_str());
	mkfifo(c.Path("fifo").c_str(), 0600);
	mkdir(c.Path("subdir").c_str(), 0755);
	unlink(c.Path("sock").c_str());
}

// Runs @argv in a child (execv, no shell) with its stdout captured.
// "exec=<errno>" when the exec itself failed, else the exit status and output.
std::string Outcome(const std::vector<std::string> &argv)
{
	Output o = Capture(argv, -1, false);
	if (o.exec_errno)
		return "exec " + Err(o.exec_errno);
	return Status(o.wait_status) + " out=" + o.text;
}

// A child that does @body and ends; its wait status.
std::string Child(const std::function<void()> &body)
{
	return Status(InChild([&] {
		body();
		return 0;
	}));
}

void *Sleeper(void *)
{
	pause();
	return nullptr;
}

// ---- sockets on the loopback address ----

struct Fd {
	int fd = -1;
	explicit Fd(int f = -1) : fd(f) {}
	~Fd()
	{
		if (fd >= 0)
			close(fd);
	}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	operator int() const { return fd; }
};

// A socket bound to 127.0.0.1 on a free port; its address in @addr. A
// receive that waits longer than the limit fails (EAGAIN) instead of
// hanging the run, and so shows as a changed outcome.
int Bound(int type, sockaddr_in *addr)
{
	int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
	*addr = Addr("127.0.0.1", 0);
	socklen_t len = sizeof(*addr);
	timeval limit{ 30, 0 };
	if (s < 0 || bind(s, (sockaddr *)addr, sizeof(*addr)) ||
	    getsockname(s, (sockaddr *)addr, &len) ||
	    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit))) {
		if (s >= 0)
			close(s);
		return -1;
	}
	return s;
}

int Connect(int s, const sockaddr_in &a)
{
	return connect(s, (const sockaddr *)&a, sizeof(a));
}

// A connected TCP pair over the loopback.
bool TcpPair(Fd *client, Fd *server)
{
	sockaddr_in a;
	Fd l(Bound(SOCK_STREAM, &a));
	if (l < 0 || listen(l, 1))
		return false;
	client->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (Connect(*client, a))
		return false;
	server->fd = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
	return server->fd >= 0;
}

// ---- the table ----

struct Op {
	std::string name;
	std::vector<const char *> hooks; // handlers the operation goes through
	std::function<std::string(const Ctx &)> run;
};

std::string XattrList(ssize_t n, const char *buf)
{
	if (n < 0)
		return Err(errno);
	std::vector<std::string> names;
	for (ssize_t i = 0; i < n; i += strlen(buf + i) + 1)
		names.emplace_back(buf + i);
	std::sort(names.begin(), names.end());
	std::string s = "ret=" + std::to_string(n);
	for (const auto &x : names)
		s += " " + x;
	return s;
}

std::string XattrGet(ssize_t n, const char *buf)
{
	return n < 0 ? Err(errno) : "ret=" + std::to_string(n) + " " + std::string(buf, n);
}

// The extended-attribute calls for one name space. user.* on tmpfs needs
// 6.6 or newer; before that it fails with EOPNOTSUPP, with or without the
// module, and the comparison holds all the same.
std::vector<Op> XattrOps(const std::string &ns)
{
	const std::string a = ns + "zt_a", b = ns + "zt_b";
	auto P = [](const Ctx &c) { return c.Path("xattrs"); };
	std::vector<Op> ops = {
		{ "set", { "security_inode_setxattr" },
		  [=](const Ctx &c) {
			  removexattr(P(c).c_str(), a.c_str());
			  removexattr(P(c).c_str(), b.c_str());
			  return Ret(setxattr(P(c).c_str(), a.c_str(), "value-a", 7, 0));
		  } },
		{ "set_create_existing", { "security_inode_setxattr" },
		  [=](const Ctx &c) {
			  return Ret(setxattr(P(c).c_str(), a.c_str(), "x", 1, XATTR_CREATE));
		  } },
		{ "set_replace_missing", { "security_inode_setxattr" },
		  [=](const Ctx &c) {
			  return Ret(setxattr(P(c).c_str(), b.c_str(), "x", 1, XATTR_REPLACE));
		  } },
		{ "fset_second", { "security_inode_setxattr" },
		  [=](const Ctx &c) {
			  Fd fd(open(P(c).c_str(), O_RDONLY | O_CLOEXEC));
			  return Ret(fsetxattr(fd, b.c_str(), "bb", 2, XATTR_CREATE));
		  } },
		{ "get", { "security_inode_getxattr" },
		  [=](const Ctx &c) {
			  char buf[64];
			  return XattrGet(getxattr(P(c).c_str(), a.c_str(), buf, sizeof(buf)), buf);
		  } },
		{ "get_size", { "security_inode_getxattr" },
		  [=](const Ctx &c) { return Ret(getxattr(P(c).c_str(), a.c_str(), nullptr, 0)); } },
		{ "get_too_small", { "security_inode_getxattr" },
		  [=](const Ctx &c) {
			  char buf[2];
			  return Ret(getxattr(P(c).c_str(), a.c_str(), buf, sizeof(buf)));
		  } },
		{ "fget_missing", { "security_inode_getxattr" },
		  [=](const Ctx &c) {
			  Fd fd(open(P(c).c_str(), O_RDONLY | O_CLOEXEC));
			  char buf[8];
			  return Ret(fgetxattr(fd, (ns + "zt_none").c_str(), buf, sizeof(buf)));
		  } },
		{ "list", { "vfs_listxattr" },
		  [=](const Ctx &c) {
			  char buf[256];
			  return XattrList(listxattr(P(c).c_str(), buf, sizeof(buf)), buf);
		  } },
		{ "list_too_small", { "vfs_listxattr" },
		  [=](const Ctx &c) {
			  char buf[3];
			  return Ret(listxattr(P(c).c_str(), buf, sizeof(buf)));
		  } },
		{ "flist", { "vfs_listxattr" },
		  [=](const Ctx &c) {
			  Fd fd(open(P(c).c_str(), O_RDONLY | O_CLOEXEC));
			  char buf[256];
			  return XattrList(flistxattr(fd, buf, sizeof(buf)), buf);
		  } },
		{ "remove", { "security_inode_removexattr" },
		  [=](const Ctx &c) { return Ret(removexattr(P(c).c_str(), a.c_str())); } },
		{ "remove_again", { "security_inode_removexattr" },
		  [=](const Ctx &c) { return Ret(removexattr(P(c).c_str(), a.c_str())); } },
		{ "fremove", { "security_inode_removexattr" },
		  [=](const Ctx &c) {
			  Fd fd(open(P(c).c_str(), O_RDONLY | O_CLOEXEC));
			  return Ret(fremovexattr(fd, b.c_str()));
		  } },
		// user.* is refused on a symlink before the security check.
		{ "lset_symlink", {},
		  [=](const Ctx &c) {
			  return Ret(lsetxattr(c.Path("link").c_str(), a.c_str(), "l", 1, 0));
		  } },
		{ "list_after", { "vfs_listxattr" },
		  [=](const Ctx &c) {
			  char buf[256];
			  return XattrList(listxattr(P(c).c_str(), buf, sizeof(buf)), buf);
		  } },
	};
	return ops;
}

std::vector<Op> MakeOps()
{
	const char *kExec[] = { "bprm_execve", "security_bprm_creds_from_file" };
	std::vector<Op> ops = {
		// exec and exit
		{ "exec_echo", { kExec[0], kExec[1], "exit_signals" },
		  [](const Ctx &) { return Outcome({ "/bin/busybox", "echo", "hello" }); } },
		{ "exec_script", { kExec[0], kExec[1], "exit_signals" },
		  [](const Ctx &c) { return Outcome({ c.Path("script"), "arg" }); } },
		{ "exec_missing", {},
		  [](const Ctx &c) { return Outcome({ c.Path("none") }); } },
		{ "exec_not_executable", {},
		  [](const Ctx &c) { return Outcome({ c.Path("noexec") }); } },
		{ "exec_bad_format", { "bprm_execve" },
		  [](const Ctx &c) { return Outcome({ c.Path("garbage") }); } },
		{ "exec_directory", {},
		  [](const Ctx &c) { return Outcome({ c.Path("subdir") }); } },
		{ "exit_status", { "wake_up_new_task", "exit_signals" },
		  [](const Ctx &) { return Child([] { _exit(7); }); } },
		{ "exit_signal", { "exit_signals" },
		  [](const Ctx &) { return Child([] { raise(SIGKILL); }); } },
		{ "exit_group_with_threads", { "exit_signals" },
		  [](const Ctx &) {
			  return Child([] {
				  pthread_t t;
				  for (int i = 0; i < 3; i++)
					  pthread_create(&t, nullptr, Sleeper, nullptr);
				  _exit(3);
			  });
		  } },
		{ "thread_exit", { "exit_signals" },
		  [](const Ctx &) {
			  std::thread t([] {});
			  t.join();
			  return std::string("joined");
		  } },

		// open
		{ "open_read", { "do_dentry_open" },
		  [](const Ctx &c) {
			  Fd fd(open(c.Path("data").c_str(), O_RDONLY | O_CLOEXEC));
			  if (fd < 0)
				  return Err(errno);
			  char buf[64];
			  ssize_t n = read(fd, buf, sizeof(buf));
			  return n < 0 ? Err(errno) : std::string(buf, n);
		  } },
		{ "open_missing", {},
		  [](const Ctx &c) { return Ret(open(c.Path("none").c_str(), O_RDONLY) < 0 ? -1 : 0); } },
		{ "open_create_exclusive_existing", {},
		  [](const Ctx &c) {
			  int fd = open(c.Path("data").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
			  if (fd >= 0)
				  close(fd);
			  return Ret(fd < 0 ? -1 : 0);
		  } },
		{ "open_directory_for_writing", {},
		  [](const Ctx &c) {
			  int fd = open(c.Path("subdir").c_str(), O_WRONLY);
			  if (fd >= 0)
				  close(fd);
			  return Ret(fd < 0 ? -1 : 0);
		  } },
		{ "open_fifo_nonblocking_writer", { "do_dentry_open" },
		  [](const Ctx &c) {
			  int fd = open(c.Path("fifo").c_str(), O_WRONLY | O_NONBLOCK);
			  if (fd >= 0)
				  close(fd);
			  return Ret(fd < 0 ? -1 : 0);
		  } },
		{ "open_truncate", { "do_dentry_open" },
		  [](const Ctx &c) {
			  WriteFile(c.Path("trunc"), "some content", 0644);
			  Fd fd(open(c.Path("trunc").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
			  struct stat st;
			  if (fd < 0 || fstat(fd, &st))
				  return Err(errno);
			  return "size=" + std::to_string(st.st_size);
		  } },
		{ "open_path_only", { "do_dentry_open" },
		  [](const Ctx &c) {
			  Fd fd(open(c.Path("data").c_str(), O_PATH | O_CLOEXEC));
			  char b;
			  if (fd < 0)
				  return Err(errno);
			  return "read " + Ret(read(fd, &b, 1));
		  } },
		{ "open_tmpfile", { "do_dentry_open" },
		  [](const Ctx &c) {
			  Fd fd(open(c.dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
			  if (fd < 0)
				  return Err(errno);
			  return "write " + Ret(write(fd, "abc", 3));
		  } },
		{ "open_proc", { "do_dentry_open" },
		  [](const Ctx &) { return ReadText("/proc/self/comm", "<none>"); } },

		// connect
		{ "tcp_connect", { "security_socket_connect" },
		  [](const Ctx &) {
			  Fd c, s;
			  if (!TcpPair(&c, &s))
				  return Err(errno);
			  sockaddr_in peer;
			  socklen_t len = sizeof(peer);
			  getpeername(c, (sockaddr *)&peer, &len);
			  return std::string("connected family=") + std::to_string(peer.sin_family);
		  } },
		{ "tcp_connect_refused", { "security_socket_connect" },
		  [](const Ctx &) {
			  // Bound but not listening: the SYN gets a reset.
			  sockaddr_in a;
			  Fd quiet(Bound(SOCK_STREAM, &a));
			  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
			  return Ret(Connect(s, a));
		  } },
		{ "udp_connect", { "security_socket_connect" },
		  [](const Ctx &) {
			  sockaddr_in a;
			  Fd peer(Bound(SOCK_DGRAM, &a));
			  Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
			  return Ret(Connect(s, a));
		  } },
		{ "connect_short_address", { "security_socket_connect" },
		  [](const Ctx &) {
			  sockaddr_in a = Addr("127.0.0.1", 9);
			  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
			  return Ret(connect(s, (sockaddr *)&a, 3));
		  } },
		{ "connect_wrong_family", { "security_socket_connect" },
		  [](const Ctx &) {
			  sockaddr_in a = Addr("127.0.0.1", 9);
			  a.sin_family = AF_APPLETALK;
			  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
			  return Ret(connect(s, (sockaddr *)&a, sizeof(a)));
		  } },
		{ "unix_connect_missing", { "security_socket_connect" },
		  [](const Ctx &c) {
			  sockaddr_un u{};
			  u.sun_family = AF_UNIX;
			  snprintf(u.sun_path, sizeof(u.sun_path), "%s", c.Path("none").c_str());
			  Fd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
			  return Ret(connect(s, (sockaddr *)&u, sizeof(u)));
		  } },

		// bind
		{ "bind_udp", { "security_socket_bind" },
		  [](const Ctx &) {
			  sockaddr_in a;
			  Fd s(Bound(SOCK_DGRAM, &a));
			  return std::string(s >= 0 && a.sin_port ? "bound" : "failed");
		  } },
		{ "bind_port_in_use", { "security_socket_bind" },
		  [](const Ctx &) {
			  sockaddr_in a;
			  Fd first(Bound(SOCK_STREAM, &a));
			  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
			  return Ret(bind(s, (sockaddr *)&a, sizeof(a)));
		  } },
		{ "bind_twice", { "security_socket_bind" },
		  [](const Ctx &) {
			  sockaddr_in a;
			  Fd s(Bound(SOCK_DGRAM, &a));
			  sockaddr_in b = Addr("127.0.0.1", 0);
			  return Ret(bind(s, (sockaddr *)&b, sizeof(b)));
		  } },
		{ "bind_short_address", { "security_socket_bind" },
		  [](const Ctx &) {
			  sockaddr_in a = Addr("127.0.0.1", 0);
			  Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
			  return Ret(bind(s, (sockaddr *)&a, 2));
		  } },
		{ "bind_unix_then_existing_path", { "security_socket_bind" },
		  [](const Ctx &c) {
			  sockaddr_un u{};
			  u.sun_family = AF_UNIX;
			  snprintf(u.sun_path, sizeof(u.sun_path), "%s", c.Path("sock").c_str());
			  unlink(u.sun_path);
			  Fd s1(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
			  Fd s2(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
			  std::string r = Ret(bind(s1, (sockaddr *)&u, sizeof(u)));
			  r += " " + Ret(bind(s2, (sockaddr *)&u, sizeof(u)));
			  unlink(u.sun_path);
			  return r;
		  } },

		// send and receive
		{ "udp_sendto_recvfrom", { "security_socket_sendmsg", "inet_recvmsg" },
		  [](const Ctx &) {
			  sockaddr_in ra, sa;
			  Fd r(Bound(SOCK_DGRAM, &ra)), s(Bound(SOCK_DGRAM, &sa));
			  std::string out = "sent " + Ret(sendto(s, "datagram", 8, 0,
								 (sockaddr *)&ra, sizeof(ra)));
			  char buf[32];
			  sockaddr_in from{};
			  socklen_t len = sizeof(from);
			  ssize_t n = recvfrom(r, buf, sizeof(buf), 0, (sockaddr *)&from, &len);
			  out += " got " + (n < 0 ? Err(errno) : std::string(buf, n));
			  out += from.sin_port == sa.sin_port ? " from sender" : " from elsewhere";
			  return out;
		  } },
		{ "udp6_sendto_recv", { "security_socket_sendmsg", "inet6_recvmsg" },
		  [](const Ctx &) {
			  sockaddr_in6 a{ AF_INET6, 0, 0, in6addr_loopback, 0 };
			  socklen_t len = sizeof(a);
			  timeval limit{ 30, 0 };
			  Fd r(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0)), s(socket(AF_INET6, SOCK_DGRAM, 0));
			  if (bind(r, (sockaddr *)&a, len) || getsockname(r, (sockaddr *)&a, &len) ||
			      setsockopt(r, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)))
				  return Err(errno);
			  char buf[8];
			  return Ret(sendto(s, "six", 3, 0, (sockaddr *)&a, len)) + " " + Ret(recv(r, buf, 8, 0));
		  } },
		{ "udp_recv_empty", { "inet_recvmsg" },
		  [](const Ctx &) {
			  sockaddr_in a;
			  Fd r(Bound(SOCK_DGRAM, &a));
			  char buf[8];
			  return Ret(recv(r, buf, sizeof(buf), MSG_DONTWAIT));
		  } },
		{ "udp_peek_then_truncated_read", { "security_socket_sendmsg", "inet_recvmsg" },
		  [](const Ctx &) {
			  sockaddr_in a;
			  Fd r(Bound(SOCK_DGRAM, &a));
			  Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
			  Connect(s, a);
			  std::string out = "sent " + Ret(send(s, "0123456789", 10, 0));
			  char buf[4];
			  out += " peek " + Ret(recv(r, buf, sizeof(buf), MSG_PEEK | MSG_TRUNC));
			  iovec iov{ buf, sizeof(buf) };
			  msghdr m{};
			  m.msg_iov = &iov;
			  m.msg_iovlen = 1;
			  out += " read " + Ret(recvmsg(r, &m, MSG_TRUNC));
			  out += (m.msg_flags & MSG_TRUNC) ? " truncated " : " whole ";
			  out += std::string(buf, sizeof(buf));
			  return out;
		  } },
		{ "udp_sendmsg_two_pieces", { "security_socket_sendmsg" },
		  [](const Ctx &) {
			  sockaddr_in a;
			  Fd r(Bound(SOCK_DGRAM, &a));
			  Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
			  Connect(s, a);
			  char p1[] = "abc", p2[] = "defg";
			  iovec iov[2] = { { p1, 3 }, { p2, 4 } };
			  msghdr m{};
			  m.msg_iov = iov;
			  m.msg_iovlen = 2;
			  std::string out = Ret(sendmsg(s, &m, 0));
			  char buf[16];
			  ssize_t n = recv(r, buf, sizeof(buf), 0);
			  return out + " " + (n < 0 ? Err(errno) : std::string(buf, n));
		  } },
		{ "udp_send_unconnected", { "security_socket_sendmsg" },
		  [](const Ctx &) {
			  Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
			  return Ret(send(s, "x", 1, 0));
		  } },
		{ "udp_send_too_big", { "security_socket_sendmsg" },
		  [](const Ctx &) {
			  sockaddr_in a;
			  Fd r(Bound(SOCK_DGRAM, &a));
			  Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
			  std::string big(70000, 'x');
			  return Ret(sendto(s, big.data(), big.size(), 0, (sockaddr *)&a, sizeof(a)));
		  } },
		{ "tcp_send_unconnected", { "security_socket_sendmsg" },
		  [](const Ctx &) {
			  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
			  return Ret(send(s, "x", 1, MSG_NOSIGNAL));
		  } },
		{ "tcp_send_recv_and_end", { "security_socket_sendmsg", "inet_recvmsg" },
		  [](const Ctx &) {
			  Fd c, s;
			  if (!TcpPair(&c, &s))
				  return Err(errno);
			  std::string out = "sent " + Ret(send(c, "stream", 6, 0));
			  char buf[16];
			  size_t got = 0;
			  while (got < 6) {
				  ssize_t n = recv(s, buf + got, sizeof(buf) - got, 0);
				  if (n <= 0)
					  break;
				  got += n;
			  }
			  out += " got " + std::string(buf, got);
			  shutdown(c, SHUT_WR);
			  out += " then " + Ret(recv(s, buf, sizeof(buf), 0));
			  return out;
		  } },
		{ "tcp_recv_unconnected", { "inet_recvmsg" },
		  [](const Ctx &) {
			  Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
			  char b;
			  return Ret(recv(s, &b, 1, MSG_DONTWAIT));
		  } },

		// utimes
		{ "utimensat_set", { "vfs_utimes" },
		  [](const Ctx &c) {
			  timespec ts[2] = { { 1000000000, 5 }, { 1200000000, 7 } };
			  std::string out = Ret(utimensat(AT_FDCWD, c.Path("times").c_str(), ts, 0));
			  struct stat st;
			  stat(c.Path("times").c_str(), &st);
			  return out + " atime=" + std::to_string(st.st_atim.tv_sec) + "." +
				 std::to_string(st.st_atim.tv_nsec) + " mtime=" +
				 std::to_string(st.st_mtim.tv_sec) + "." +
				 std::to_string(st.st_mtim.tv_nsec);
		  } },
		{ "futimens_mtime_only", { "vfs_utimes" },
		  [](const Ctx &c) {
			  Fd fd(open(c.Path("times").c_str(), O_RDONLY | O_CLOEXEC));
			  timespec ts[2] = { { 0, UTIME_OMIT }, { 1300000000, 0 } };
			  std::string out = Ret(futimens(fd, ts));
			  struct stat st;
			  fstat(fd, &st);
			  return out + " atime=" + std::to_string(st.st_atim.tv_sec) +
				 " mtime=" + std::to_string(st.st_mtim.tv_sec);
		  } },
		{ "utimensat_symlink_itself", { "vfs_utimes" },
		  [](const Ctx &c) {
			  timespec ts[2] = { { 1100000000, 0 }, { 1100000000, 0 } };
			  std::string out = Ret(utimensat(AT_FDCWD, c.Path("link").c_str(), ts,
							  AT_SYMLINK_NOFOLLOW));
			  struct stat st;
			  lstat(c.Path("link").c_str(), &st);
			  return out + " link mtime=" + std::to_string(st.st_mtim.tv_sec);
		  } },
		{ "utimensat_now", { "vfs_utimes" },
		  [](const Ctx &c) {
			  return Ret(utimensat(AT_FDCWD, c.Path("times").c_str(), nullptr, 0));
		  } },
		{ "utimensat_bad_nanoseconds", {},
		  [](const Ctx &c) {
			  timespec ts[2] = { { 0, 2000000000 }, { 0, 0 } };
			  return Ret(utimensat(AT_FDCWD, c.Path("times").c_str(), ts, 0));
		  } },
		{ "utimensat_missing", {},
		  [](const Ctx &c) {
			  return Ret(utimensat(AT_FDCWD, c.Path("none").c_str(), nullptr, 0));
		  } },
	};
	for (const char *ns : { "user.", "trusted.", "security." }) {
		for (auto &op : XattrOps(ns)) {
			op.name = std::string("xattr_") + ns + op.name;
			ops.push_back(std::move(op));
		}
	}
	return ops;
}

const std::vector<Op> &Ops()
{
	static const std::vector<Op> ops = MakeOps();
	return ops;
}

std::vector<std::string> RunAll(const Ctx &c)
{
	Prepare(c);
	std::vector<std::string> out;
	for (const auto &op : Ops())
		out.push_back(op.run(c));
	return out;
}

// ---- the hooks build's call counters ----

class Counters {
public:
	Counters() : fd_(open("/proc/zentrope_test/hook_calls", O_RDONLY | O_CLOEXEC)) {}
	~Counters()
	{
		if (fd_ >= 0)
			close(fd_);
	}
	bool ok() const { return fd_ >= 0; }
	// Re-reads the open file: no open of its own shows in the counts.
	std::map<std::string, long> Read() const
	{
		char buf[4096];
		ssize_t n = pread(fd_, buf, sizeof(buf), 0);
		std::map<std::string, long> m;
		for (const auto &l : Lines(n > 0 ? std::string(buf, n) : "")) {
			std::istringstream in(l);
			std::string name;
			long v;
			if (in >> name >> v)
				m[name] = v;
		}
		return m;
	}

private:
	int fd_;
};

// ---- the cases ----

class Hooks : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_FALSE(g_ko.empty()) << "no --ko given";
		if (ModuleListed())
			UnloadModule();
		ASSERT_FALSE(ModuleListed());
		mkdir("/tmp/zt_hooks", 0755);
	}
	void TearDown() override
	{
		if (ModuleListed())
			UnloadModule();
	}
};

TEST_F(Hooks, TableCoversEveryHook)
{
	std::set<std::string> covered;
	for (const auto &op : Ops())
		covered.insert(op.hooks.begin(), op.hooks.end());
	EXPECT_EQ(covered, std::set<std::string>(kHookNames.begin(), kHookNames.end()));
}

TEST_F(Hooks, CallsBehaveAsWithoutTheModule)
{
	const Ctx c{ "/tmp/zt_hooks/main" };
	const auto before = RunAll(c);
	for (size_t i = 0; i < before.size(); i++)
		printf("hooks: %-40s %s\n", Ops()[i].name.c_str(), before[i].c_str());

	ASSERT_EQ(LoadModule(g_ko), 0) << g_ko;
	std::vector<std::string> loaded;
	if (g_counters) {
		Counters counters;
		ASSERT_TRUE(counters.ok());
		auto all0 = counters.Read();
		std::vector<std::string> names;
		for (const auto &kv : all0)
			names.push_back(kv.first);
		EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
			  std::set<std::string>(kHookNames.begin(), kHookNames.end()));
		Prepare(c);
		for (const auto &op : Ops()) {
			auto c0 = counters.Read();
			loaded.push_back(op.run(c));
			auto c1 = counters.Read();
			for (const char *h : op.hooks)
				EXPECT_GT(c1[h], c0[h]) << op.name << " did not go through " << h;
		}
		auto all1 = counters.Read();
		for (const auto &h : kHookNames)
			EXPECT_GT(all1[h], all0[h]) << h << " counted no call";
	} else {
		loaded = RunAll(c);
	}
	ASSERT_EQ(UnloadModule(), 0);
	const auto after = RunAll(c);

	ASSERT_EQ(before.size(), Ops().size());
	for (size_t i = 0; i < Ops().size(); i++) {
		EXPECT_EQ(loaded[i], before[i]) << Ops()[i].name << " with the module loaded";
		EXPECT_EQ(after[i], before[i]) << Ops()[i].name << " after the unload";
	}
}

// Every call-through is a direct jump to the instruction after the
// function's ftrace site, which follows the end-branch marker where there
// is one (IBT kernels seal it off functions never called indirectly): a
// legal target without a marker, and the site is not entered again.
TEST_F(Hooks, CallThroughIsDirectAndSkipsTheSite)
{
	if (!g_counters)
		GTEST_SKIP() << "the hooks build shows where its call-throughs lead";
	ASSERT_EQ(LoadModule(g_ko), 0) << g_ko;
	const std::string text = Slurp("/proc/zentrope_test/call_through");
	ASSERT_EQ(UnloadModule(), 0);
	const std::vector<std::string> lines = Lines(text);
	ASSERT_EQ(lines.size(), kHookNames.size() + 1) << text;
	const bool ibt = lines[0] == "ibt 1";
	int marked = 0;
	for (size_t i = 1; i < lines.size(); i++) {
		char name[64];
		int endbr, direct;
		unsigned long site, target;
		ASSERT_EQ(sscanf(lines[i].c_str(), "%63s endbr:%d site:%lu target:%lu direct:%d",
				 name, &endbr, &site, &target, &direct), 5) << lines[i];
		EXPECT_EQ(direct, 1) << lines[i];
		EXPECT_EQ(target, site + 5) << lines[i];
		EXPECT_EQ(site, endbr ? 4u : 0u) << lines[i];
		marked += endbr;
	}
	if (ibt)
		EXPECT_GT(marked, 0) << "no hooked function starts with an end-branch marker";
}

// Threads run the table over and over while the module goes and comes
// back; every outcome must match the thread's own run before the load.
TEST_F(Hooks, CallsStayCorrectWhileTheModuleComesAndGoes)
{
	const int kThreads = 4, kCycles = 4;
	std::mutex mu;
	std::condition_variable cv;
	std::vector<long> rounds(kThreads, 0);
	std::vector<std::string> mismatches;
	std::atomic<bool> stop{ false };

	auto ctx = [](int t) { return Ctx{ "/tmp/zt_hooks/t" + std::to_string(t) }; };
	for (int t = 0; t < kThreads; t++)
		Prepare(ctx(t));
	std::vector<std::thread> workers;
	for (int t = 0; t < kThreads; t++) {
		workers.emplace_back([&, t]() {
			const Ctx c = ctx(t);
			const auto base = RunAll(c);
			{
				std::lock_guard<std::mutex> g(mu);
				rounds[t]++;
			}
			cv.notify_all();
			while (!stop) {
				const auto now = RunAll(c);
				std::lock_guard<std::mutex> g(mu);
				for (size_t i = 0; i < now.size(); i++)
					if (now[i] != base[i] && mismatches.size() < 20)
						mismatches.push_back(Ops()[i].name +
								     ": " + now[i] + " instead of " +
								     base[i]);
				rounds[t]++;
				cv.notify_all();
			}
		});
	}
	// Waits until every thread finished @n more rounds of the table.
	auto wait_rounds = [&](long n) {
		std::unique_lock<std::mutex> l(mu);
		std::vector<long> start = rounds;
		cv.wait(l, [&] {
			for (int t = 0; t < kThreads; t++)
				if (rounds[t] < start[t] + n)
					return false;
			return true;
		});
	};
	{
		std::unique_lock<std::mutex> l(mu);
		cv.wait(l, [&] {
			return std::all_of(rounds.begin(), rounds.end(),
					   [](long r) { return r >= 1; });
		});
	}
	int load_errors = 0, unload_errors = 0;
	// Two rounds each: at least one runs wholly in the new state.
	for (int i = 0; i < kCycles; i++) {
		load_errors += LoadModule(g_ko) != 0;
		wait_rounds(2);
		unload_errors += UnloadModule() != 0;
		wait_rounds(2);
	}
	stop = true;
	for (auto &w : workers)
		w.join();
	EXPECT_EQ(load_errors, 0);
	EXPECT_EQ(unload_errors, 0);
	EXPECT_FALSE(ModuleListed());
	for (const auto &m : mismatches)
		ADD_FAILURE() << m;
	long total = 0;
	for (long r : rounds)
		total += r;
	printf("hooks: %d threads ran the table %ld times over %d load/unload cycles\n",
	       kThreads, total, kCycles);
}

} // namespace

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if (a == "--ko" && i + 1 < argc)
			g_ko = argv[++i];
		else if (a == "--counters")
			g_counters = true;
		else {
			fprintf(stderr, "usage: %s --ko PATH [--counters] [gtest flags]\n", argv[0]);
			return 2;
		}
	}
	return RUN_ALL_TESTS();
}
