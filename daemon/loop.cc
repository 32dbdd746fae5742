#include "loop.h"

#include <poll.h>
#include <sys/socket.h>
#include <linux/netlink.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "config.h"
#include "event.h"
#include "log.h"
#include "notify.h"
#include "reload.h"

volatile sig_atomic_t g_exit_requested;
volatile sig_atomic_t g_reload_requested;
std::string g_config_path;

namespace {

// The last signal, reported by the loop: a handler that wrote through
// stdio could corrupt a line being written when it arrived.
volatile sig_atomic_t g_last_signal;
// The mask before the handlers came: in force only while the loop waits
// and while the interpreter-list tool runs.
sigset_t g_wait_mask;

constexpr int kPollTimeoutMs = 3600 * 1000;
constexpr time_t kRefreshSec = 3599;
constexpr size_t kRecvBufSize = 16u << 20;
const char kInterpTool[] = "/opt/zentrope/mk_usr_interp_name_list";

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

void report_signal()
{
	int sig = g_last_signal;
	if (!sig)
		return;
	g_last_signal = 0;
	log_verbose(sig == SIGUSR1 ?
			    "Recved sig:%s [%d], zentrope will reload block config!\n" :
			    "Recved sig:%s [%d], zentrope will exit!\n",
		    strsignal(sig), sig);
}

void write_block_line(const event_payload &rec)
{
	std::string line = format_block_line(rec);
	if (line.empty() || log_rotate_check(&g_block_log, g_block_log_path) < 0)
		return;
	fputs(line.c_str(), g_block_log);
}

void handle_record(const event_payload &rec)
{
	const char *why;
	switch (rec.header.msg_type) {
	case ZT_MSG_EVENT:
		write_block_line(rec);
		break;
	case ZT_MSG_ACK:
		if (ack_stops(rec.event.type, &why)) {
			g_exit_requested = 1;
			log_verbose("%s", why);
		}
		break;
	}
}

} // namespace

// The signals stay blocked outside the wait, so one that arrives between
// the check of the flags and the wait still ends the wait at once.
int install_signal_handlers()
{
	struct sigaction sa = {};
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	for (int sig : { SIGINT, SIGQUIT, SIGTERM, SIGUSR1 })
		sigaddset(&sa.sa_mask, sig);
	for (int sig : { SIGINT, SIGQUIT, SIGTERM, SIGUSR1 })
		if (sigaction(sig, &sa, nullptr))
			return -1;
	return sigprocmask(SIG_BLOCK, &sa.sa_mask, &g_wait_mask);
}

void handle_message(const void *buf, size_t len, uint32_t sender_pid)
{
	std::vector<event_payload> recs;
	switch (decode_message(buf, len, sender_pid, &recs)) {
	case msg_status::kNlError:
		log_err("Error message received.\n");
		break;
	case msg_status::kBadLength:
		log_err("Error message received length.\n");
		break;
	case msg_status::kIgnored:
		return;
	case msg_status::kRecords:
		for (const event_payload &r : recs)
			handle_record(r);
		break;
	}
	if (g_log)
		fflush(g_log);
	if (g_block_log)
		fflush(g_block_log);
}

// The record is a local: it is freed on every path, the failed ones too.
void reload_lists(bool interp_only)
{
	sigset_t loop_mask;
	sigprocmask(SIG_SETMASK, &g_wait_mask, &loop_mask);
	if (system(kInterpTool) == -1)
		log_verbose("run %s err\n", kInterpTool);
	sleep(1);
	sigprocmask(SIG_SETMASK, &loop_mask, nullptr);
	daemon_config cfg;
	if (config_load(g_config_path, &cfg)) {
		log_err("Reload config:%s err!\n", g_config_path.c_str());
		return;
	}
	reload_apply(&cfg, interp_only);
}

// Receives one datagram; false when the loop must end.
static bool receive(int fd, std::vector<unsigned char> *buf, int *ret)
{
	struct sockaddr_nl from = {};
	socklen_t flen = sizeof(from);
	errno = 0;
	ssize_t got = recvfrom(fd, buf->data(), buf->size(), 0,
			       (struct sockaddr *)&from, &flen);
	if (got < 0) {
		if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS)
			return true;
		log_err("recv buf: %s [%d].\n", strerror(errno), errno);
		*ret = -1;
		return false;
	}
	if (got >= 16)
		handle_message(buf->data(), (size_t)got, from.nl_pid);
	return true;
}

int event_loop(int fd)
{
	static std::vector<unsigned char> buf(kRecvBufSize);
	time_t last_refresh = time(nullptr);
	struct pollfd pfd = { fd, POLLIN, 0 };
	const struct timespec timeout = { kPollTimeoutMs / 1000, 0 };
	int ret = 0;

	while (!g_exit_requested) {
		if (g_reload_requested) {
			g_reload_requested = 0;
			notify_reloading();
			reload_lists(false);
			notify_ready();
			last_refresh = time(nullptr);
			continue;
		}
		errno = 0;
		int n = ppoll(&pfd, 1, &timeout, &g_wait_mask);
		report_signal();
		if (n < 0) {
			if (errno == EINTR)
				continue;
			log_err("poll error %s [%d].\n", strerror(errno), errno);
			return 0;
		}
		if (n > 0 && (pfd.revents & POLLIN) && !receive(fd, &buf, &ret))
			return ret;
		if (time(nullptr) - last_refresh > kRefreshSec) {
			reload_lists(true);
			last_refresh = time(nullptr);
		}
	}
	return ret;
}
