// The daemon's whole life over a System: start-up, the push, the event
// loop that turns block events into block-log lines, reloads and the
// stop. It owns the configuration, the logs and the channel's state.
#ifndef ZENTROPED_DAEMON_H
#define ZENTROPED_DAEMON_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "log.h"
#include "metrics.h"
#include "seq_gap.h"
#include "system.h"

// Exit statuses: bad command line, privilege or configuration; a failure
// once the configuration is loaded; a normal stop.
constexpr int kExitUsage = 255;
constexpr int kExitFailed = 1;
constexpr int kExitOk = 0;

// The usage text, on standard output.
void print_usage(const char *argv0);

class Daemon {
public:
	explicit Daemon(System *sys);
	~Daemon();
	Daemon(const Daemon &) = delete;
	Daemon &operator=(const Daemon &) = delete;

	// Start-up to stop, with the configuration at @config (resolved
	// against the installation directory): the exit status.
	int run(const std::string &config, const char *argv0);

	// One datagram from the channel: block-log lines into the batch,
	// the acknowledgements that stop the daemon.
	void handle_datagram(const void *buf, size_t len, uint32_t sender);
	uint64_t events_lost() const { return gaps_.total(); }

private:
	int start(const std::string &config, const char *argv0);
	Status open_outputs();
	int serve();
	Status write_flags();
	Status send_listen(uint32_t value);
	int event_loop();
	bool drain();
	void give_up_lost(bool all);
	void flush_batch();
	void reload(bool interp_only);
	void count_reload(bool interp_only, bool ok,
			  const std::map<std::string, uint64_t> &lists);
	void report(const requests &r);
	int metrics_wait_ms();
	void write_metrics();

	System *sys_;
	std::string config_path_;
	daemon_config cfg_;
	std::unique_ptr<LogSink> log_file_, block_log_file_;
	LogSink *log_ = nullptr, *block_log_ = nullptr;
	std::string host_;
	int fd_ = -1;
	uint32_t portid_ = 0;
	uint32_t listen_counter_ = 0;
	bool exit_requested_ = false;
	seq_gaps gaps_;
	std::string batch_;
	std::vector<unsigned char> buf_;
	daemon_metrics metrics_;
	bool metrics_due_ = false;     // changed since the last write
	bool metrics_tried_ = false;
	bool metrics_failing_ = false; // the last write failed, and was logged
	uint64_t metrics_at_ = 0;      // monotonic time of the last try
	std::string metrics_written_;  // what the file holds
};

#endif
