#include "system.h"

#include <fcntl.h>
#include <poll.h>
#include <linux/netlink.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "bundle.h"
#include "metrics.h"
#include "netlink.h"

namespace {

const char kPidPath[] = "/var/run/zentrope_pid";
const char kInterpTool[] = "/opt/zentrope/mk_usr_interp_name_list";

// Written only by the handler, read and cleared by take_requests().
volatile sig_atomic_t g_exit_requested;
volatile sig_atomic_t g_reload_requested;
volatile sig_atomic_t g_last_signal;

void on_signal(int sig)
{
	if (sig == SIGUSR1)
		g_reload_requested = 1;
	else if (sig == SIGINT || sig == SIGQUIT || sig == SIGTERM)
		g_exit_requested = 1;
	else
		return;
	g_last_signal = sig;
}

uint64_t clock_ns(clockid_t id)
{
	struct timespec ts;
	clock_gettime(id, &ts);
	return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

class RealSystem : public System {
public:
	~RealSystem() override
	{
		if (self_ >= 0)
			::close(self_);
		if (pid_fd_ >= 0)
			::close(pid_fd_);
	}

	// The control files are plain files: the same calls as system_io().
	int open(const char *p, int f) override { return system_io()->open(p, f); }
	ssize_t read(int fd, void *b, size_t n) override { return system_io()->read(fd, b, n); }
	ssize_t write(int fd, const void *b, size_t n) override
	{
		return system_io()->write(fd, b, n);
	}
	int close(int fd) override { return system_io()->close(fd); }

	bool privileged() override { return !getuid() || !geteuid(); }

	Status enter(const char *dir, std::string *cwd) override
	{
		char buf[4096];
		if (chdir(dir))
			return Status::Error("chdir %s err\n", dir);
		if (!getcwd(buf, sizeof(buf)))
			return Status::Error("get cur working dir err\n");
		*cwd = buf;
		return {};
	}

	std::unique_ptr<LogSink> open_log(const std::string &path, Status *st) override
	{
		return FileSink::open(path, st);
	}

	// Never through a link: root writing where a link points would let
	// whoever made the link pick the file.
	Status lock_pid_file() override
	{
		int fd = ::open(kPidPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
		if (fd < 0)
			return Status::Error("open %s: %s\n", kPidPath, strerror(errno));
		errno = 0;
		if (flock(fd, LOCK_EX | LOCK_NB)) {
			int err = errno;
			::close(fd);
			if (err == EWOULDBLOCK)
				return Status::Error("lock file %s fail. check the program is running?\n",
						     kPidPath);
			return Status::Error("lock %s: %s\n", kPidPath, strerror(err));
		}
		pid_fd_ = fd;
		return {};
	}

	Status write_pid() override
	{
		char buf[16] = {};
		snprintf(buf, sizeof(buf), "%d", getpid());
		if (pwrite(pid_fd_, buf, sizeof(buf), 0) != (ssize_t)sizeof(buf) ||
		    fsync(pid_fd_))
			return Status::Error("write %s: %s\n", kPidPath, strerror(errno));
		return {};
	}

	// The image that runs, not whatever file argv[0] names now; argv[0]
	// only where /proc is not mounted.
	Status open_self(const char *argv0) override
	{
		self_ = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
		if (self_ < 0)
			self_ = ::open(argv0, O_RDONLY | O_CLOEXEC);
		if (self_ < 0)
			return Status::Error("open %s: %s\n", argv0, strerror(errno));
		return {};
	}

	Status detach() override
	{
		if (daemon(0, 0))
			return Status::Error("daemon: %s\n", strerror(errno));
		return {};
	}

	Status insert_module(module_build *picked) override
	{
		int r = install_module(self_, picked);
		::close(self_);
		self_ = -1;
		return r ? Status::Error("%s", "") : Status();
	}

	void remove_module() override { ::remove_module(); }

	Status cn_open(int *fd, uint32_t *portid) override
	{
		*fd = ::cn_open(portid);
		return *fd < 0 ? Status::Error("%s", "") : Status();
	}

	Status cn_send(int fd, const void *msg, size_t len) override
	{
		if (send(fd, msg, len, 0) < 0)
			return Status::Error("Failed to send: %s [%d].\n", strerror(errno), errno);
		return {};
	}

	ssize_t cn_recv(int fd, void *buf, size_t len, uint32_t *sender) override
	{
		struct sockaddr_nl from = {};
		socklen_t flen = sizeof(from);
		ssize_t n = recvfrom(fd, buf, len, MSG_DONTWAIT, (struct sockaddr *)&from, &flen);
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			return 0;
		*sender = from.nl_pid;
		return n;
	}

	void cn_close(int fd) override { ::close(fd); }

	// The signals stay blocked outside the wait, so one that arrives
	// between the look at the requests and the wait still ends the wait
	// at once. No SA_RESTART: the wait returns on a signal.
	Status catch_signals() override
	{
		struct sigaction sa = {};
		sa.sa_handler = on_signal;
		sigemptyset(&sa.sa_mask);
		for (int sig : { SIGINT, SIGQUIT, SIGTERM, SIGUSR1 })
			sigaddset(&sa.sa_mask, sig);
		for (int sig : { SIGINT, SIGQUIT, SIGTERM, SIGUSR1 })
			if (sigaction(sig, &sa, nullptr))
				return Status::Error("sigaction: %s\n", strerror(errno));
		if (sigprocmask(SIG_BLOCK, &sa.sa_mask, &wait_mask_))
			return Status::Error("sigprocmask: %s\n", strerror(errno));
		return {};
	}

	requests take_requests() override
	{
		requests r;
		r.exit = g_exit_requested;
		r.reload = g_reload_requested;
		r.signal = g_last_signal;
		g_reload_requested = 0;
		g_last_signal = 0;
		return r;
	}

	int wait(int fd, int timeout_ms) override
	{
		struct pollfd pfd = { fd, POLLIN, 0 };
		const struct timespec t = { timeout_ms / 1000, (timeout_ms % 1000) * 1000000L };
		int n = ppoll(&pfd, 1, &t, &wait_mask_);
		if (n < 0)
			return errno == EINTR ? 0 : -1;
		return n > 0 && (pfd.revents & POLLIN) ? 1 : 0;
	}

	uint64_t realtime_ns() override { return clock_ns(CLOCK_REALTIME); }
	uint64_t monotonic_ns() override { return clock_ns(CLOCK_MONOTONIC); }

	std::string host_name() override
	{
		char buf[256] = "";
		gethostname(buf, sizeof(buf) - 1);
		return buf;
	}

	// Signals are let through meanwhile, as while waiting, so a stop
	// during the tool is not held up by it.
	void run_interp_tool() override
	{
		sigset_t loop_mask;
		sigprocmask(SIG_SETMASK, &wait_mask_, &loop_mask);
		if (system(kInterpTool) == -1)
			log_verbose("run %s err\n", kInterpTool);
		sleep(1);
		sigprocmask(SIG_SETMASK, &loop_mask, nullptr);
	}

	Status write_file_atomic(const std::string &path, const std::string &text) override
	{
		return ::write_file_atomic(path, text);
	}

private:
	int self_ = -1;
	int pid_fd_ = -1;
	sigset_t wait_mask_;
};

} // namespace

std::unique_ptr<System> real_system()
{
	return std::make_unique<RealSystem>();
}
