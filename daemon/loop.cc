// The event loop: block events to block-log lines, lost events counted,
// reloads, the hourly interpreter refresh.
#include <cerrno>
#include <csignal>
#include <cstring>

#include "daemon.h"
#include "event.h"
#include "notify.h"
#include "reload.h"

namespace {

constexpr uint64_t kRefreshNs = 3600ull * 1000000000ull;
constexpr size_t kRecvBufSize = 16u << 20;
// Datagrams taken per wake-up before the batch is written: bounds the
// batch, and a signal is noticed at least this often.
constexpr int kDrainMax = 256;

} // namespace

void Daemon::report(const requests &r)
{
	if (!r.signal)
		return;
	log_verbose(r.signal == SIGUSR1 ?
			    "Recved sig:%s [%d], zentrope will reload block config!\n" :
			    "Recved sig:%s [%d], zentrope will exit!\n",
		    strsignal(r.signal), r.signal);
}

void Daemon::handle_datagram(const void *buf, size_t len, uint32_t sender)
{
	std::vector<event_payload> recs;
	switch (decode_message(buf, len, sender, &recs)) {
	case msg_status::kNlError:
		log_err("Error message received.\n");
		return;
	case msg_status::kBadLength:
		log_err("Error message received length.\n");
		return;
	case msg_status::kIgnored:
		return;
	case msg_status::kRecords:
		break;
	}
	const char *why;
	for (const event_payload &r : recs) {
		if (r.header.msg_type == ZT_MSG_EVENT) {
			gaps_.seen(r.header.sequence, sys_->monotonic_ns());
			batch_ += format_event(r, cfg_.block_log_format, host_);
		} else if (r.header.msg_type == ZT_MSG_ACK && ack_stops(r.event.type, &why)) {
			exit_requested_ = true;
			log_verbose("%s", why);
		}
	}
}

void Daemon::give_up_lost(bool all)
{
	for (const lost_events &l : gaps_.expire(sys_->monotonic_ns(), all)) {
		lost_events at = l;
		at.time_ns = sys_->realtime_ns();
		batch_ += format_lost(at, cfg_.block_log_format, host_);
	}
}

void Daemon::flush_batch()
{
	if (batch_.empty())
		return;
	block_log_->write(batch_);
	batch_.clear();
}

// Takes what is queued, up to kDrainMax datagrams; false when the loop
// must end.
bool Daemon::drain()
{
	if (buf_.empty())
		buf_.resize(kRecvBufSize);
	for (int i = 0; i < kDrainMax && !exit_requested_; i++) {
		uint32_t sender = 0;
		errno = 0;
		ssize_t got = sys_->cn_recv(fd_, buf_.data(), buf_.size(), &sender);
		if (got == 0)
			break;
		if (got < 0) {
			if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS)
				break;
			log_err("recv buf: %s [%d].\n", strerror(errno), errno);
			return false;
		}
		if (got >= 16)
			handle_datagram(buf_.data(), (size_t)got, sender);
	}
	return true;
}

// The record is a local: it is freed on every path, the failed ones too.
void Daemon::reload(bool interp_only)
{
	sys_->run_interp_tool();
	daemon_config fresh;
	if (config_load(config_path_, &fresh)) {
		log_err("Reload config:%s err!\n", config_path_.c_str());
		return;
	}
	reload_apply(&fresh, interp_only);
}

int Daemon::event_loop()
{
	uint64_t last_refresh = sys_->monotonic_ns();
	int ret = 0;

	for (;;) {
		requests r = sys_->take_requests();
		report(r);
		if (r.exit || exit_requested_)
			break;
		if (r.reload) {
			notify_reloading();
			reload(false);
			notify_ready();
			last_refresh = sys_->monotonic_ns();
			continue;
		}
		uint64_t since = sys_->monotonic_ns() - last_refresh;
		int timeout_ms = since >= kRefreshNs ? 0 : (int)((kRefreshNs - since) / 1000000);
		// A missing event is given up after its grace period, not at the
		// next event, which may be an hour away.
		if (gaps_.pending() && timeout_ms > 100)
			timeout_ms = 100;
		int n = sys_->wait(fd_, timeout_ms);
		if (n < 0) {
			log_err("poll error %s [%d].\n", strerror(errno), errno);
			break;
		}
		if (n > 0 && !drain()) {
			ret = -1;
			break;
		}
		give_up_lost(false);
		flush_batch();
		if (sys_->monotonic_ns() - last_refresh >= kRefreshNs) {
			reload(true);
			last_refresh = sys_->monotonic_ns();
		}
	}
	flush_batch();
	return ret;
}
