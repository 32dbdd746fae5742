// The event loop: block events to block-log lines, lost events counted,
// reloads, the hourly interpreter refresh, the metrics file.
#include <cerrno>
#include <csignal>
#include <cstring>

#include "block_log.h"
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
// The metrics file is rewritten at most this often.
constexpr uint64_t kMetricsGapNs = 1000000000ull;

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
	const char *why, *op, *rule;
	for (const event_payload &r : recs) {
		if (r.header.msg_type == ZT_MSG_EVENT) {
			gaps_.seen(r.header.sequence, sys_->monotonic_ns());
			batch_ += format_event(r, cfg_.block_log_format, host_);
			if (event_words(r.event, &op, &rule)) {
				metrics_.refusals[{ op, rule }]++;
				metrics_due_ = true;
			}
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
		metrics_.events_lost = gaps_.total();
		metrics_due_ = true;
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
		count_reload(interp_only, false, {});
		return;
	}
	std::map<std::string, uint64_t> lists = count_list_entries(fresh);
	count_reload(interp_only, !reload_apply(&fresh, interp_only), lists);
}

// The hourly refresh is no reload: it pushes only the interpreters.
void Daemon::count_reload(bool interp_only, bool ok,
			  const std::map<std::string, uint64_t> &lists)
{
	metrics_due_ = true;
	if (interp_only) {
		if (ok)
			metrics_.list_entries["interp"] = lists.at("interp");
		return;
	}
	metrics_.reloads++;
	if (!ok) {
		metrics_.reload_failures++;
		return;
	}
	metrics_.list_entries = lists;
	metrics_.last_success_ns = sys_->realtime_ns();
}

// How long the loop may wait with a change not yet written: -1 without
// one.
int Daemon::metrics_wait_ms()
{
	if (!metrics_due_ || cfg_.metrics_file.empty())
		return -1;
	uint64_t since = sys_->monotonic_ns() - metrics_at_;
	if (!metrics_tried_ || since >= kMetricsGapNs)
		return 0;
	return (int)((kMetricsGapNs - since + 999999) / 1000000);
}

// A failure is logged once until a write succeeds again, and the write is
// tried again at the next change: a missing directory must neither fill
// the log nor wake the daemon every second.
void Daemon::write_metrics()
{
	if (!metrics_due_ || cfg_.metrics_file.empty())
		return;
	uint64_t now = sys_->monotonic_ns();
	if (metrics_tried_ && now - metrics_at_ < kMetricsGapNs)
		return;
	metrics_due_ = false;
	std::string text = metrics_text(metrics_);
	if (text == metrics_written_)
		return;
	metrics_tried_ = true;
	metrics_at_ = now;
	Status st = sys_->write_file_atomic(cfg_.metrics_file, text);
	if (!st.ok()) {
		if (!metrics_failing_)
			log_err("metrics file not written, tried again at the next change: %s",
				st.message().c_str());
		metrics_failing_ = true;
		return;
	}
	if (metrics_failing_)
		log_info("metrics file %s written again\n", cfg_.metrics_file.c_str());
	metrics_failing_ = false;
	metrics_written_ = std::move(text);
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
		int metrics_ms = metrics_wait_ms();
		if (metrics_ms >= 0 && timeout_ms > metrics_ms)
			timeout_ms = metrics_ms;
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
		write_metrics();
	}
	flush_batch();
	return ret;
}
