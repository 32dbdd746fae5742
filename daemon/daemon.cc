#include "daemon.h"

#include "netlink.h"
#include "notify.h"
#include "push.h"
#include "version.h"
#include "zentrope_event.h"

namespace {

const char kInstallDir[] = "/opt/zentrope";

} // namespace

void print_usage(const char *argv0)
{
	printf("Usage: %s [-f configfile] [-t] [-v] [-h]\n\t-f\tconfig file path. "
	       "Default is ./config/config.txt\n\t-t\tcheck the configuration and "
	       "exit\n\t-v\tout version\n\t-h\tthis help screen\n%s\n\n%s\n",
	       argv0, ZT_VERSION, "Copyright (C) 2026 The zentrope developers");
}

Daemon::Daemon(System *sys) : sys_(sys)
{
	g_kio = sys;
}

Daemon::~Daemon()
{
	log_attach(nullptr);
	g_kio = system_io();
}

// Relative log paths name files under the installation directory, also
// when a rotation reopens them after the daemon has left it.
Status Daemon::open_outputs()
{
	if (!cfg_.daemon) {
		log_ = block_log_ = stdout_sink();
		log_attach(log_);
		return {};
	}
	Status st;
	log_file_ = sys_->open_log(resolve_path(*cfg_.log_file), &st);
	log_ = log_file_ ? log_file_.get() : stdout_sink();
	log_attach(log_);
	log_status(st);
	st = {};
	block_log_file_ = sys_->open_log(resolve_path(*cfg_.block_log_file), &st);
	block_log_ = block_log_file_ ? block_log_file_.get() : stdout_sink();
	log_status(st);
	if (log_->is_stdout() || block_log_->is_stdout())
		return Status::Error("Daemon mode must be set log file (log_file config) and block "
				     "log out file(block_log_file config)\n");
	return {};
}

Status Daemon::write_flags()
{
	if (write_flag(kStrictPath, cfg_.strict))
		return Status::Error("write strict err!\n");
	if (write_flag(kQuitePath, cfg_.quite))
		return Status::Error("write quite err!\n");
	if (write_flag(kUlogPath, 1))
		return Status::Error("write ulog err!\n");
	return {};
}

Status Daemon::send_listen(uint32_t value)
{
	auto m = listen_message(portid_, listen_counter_, value);
	listen_counter_ += 2;
	return sys_->cn_send(fd_, m.data(), m.size());
}

// From the push to the stop; the module is removed whatever happened.
int Daemon::serve()
{
	int status = kExitFailed;
	Status st;
	// Counted first: the push empties the lists.
	std::map<std::string, uint64_t> lists = count_list_entries(cfg_);

	// Caught from here on: a stop during the push is then acted on once
	// the loop starts, with lists cleared and module removed, instead of
	// killing the daemon with half the lists in force.
	if (!(st = sys_->catch_signals()).ok() || push_all(&cfg_))
		goto remove;
	if (!(st = write_flags()).ok() || !(st = sys_->cn_open(&fd_, &portid_)).ok())
		goto remove;
	if (!(st = send_listen(ZT_LISTEN_START)).ok())
		goto close_socket;
	metrics_.list_entries = std::move(lists);
	metrics_.last_success_ns = sys_->realtime_ns();
	metrics_due_ = true;
	write_metrics();
	notify_ready();
	event_loop();
	notify_stopping();
	give_up_lost(true);
	flush_batch();
	if (gaps_.total())
		log_err("%llu block events lost in all\n", (unsigned long long)gaps_.total());
	log_status(send_listen(ZT_LISTEN_STOP));
	clear_all();
	status = kExitOk;
close_socket:
	sys_->cn_close(fd_);
	fd_ = -1;
remove:
	log_status(st);
	sys_->remove_module();
	return status;
}

int Daemon::start(const std::string &config, const char *argv0)
{
	std::string cwd;
	Status st = sys_->enter(kInstallDir, &cwd);
	if (!st.ok()) {
		fputs(st.message().c_str(), stderr);
		return kExitUsage;
	}
	g_path_startup = cwd;
	config_path_ = resolve_path(config);
	if (config_load(config_path_, &cfg_))
		return kExitUsage;
	log_set_verbose(cfg_.verbose);
	host_ = sys_->host_name();
	if (!(st = open_outputs()).ok() && cfg_.daemon) {
		// Without a lock or a module: nothing to undo.
		log_status(st);
		print_usage(argv0);
		return kExitFailed;
	}
	if (!(st = sys_->lock_pid_file()).ok() || !(st = sys_->open_self(argv0)).ok() ||
	    (cfg_.daemon && !(st = sys_->detach()).ok()) || !(st = sys_->write_pid()).ok() ||
	    !(st = sys_->insert_module(&metrics_.build)).ok()) {
		log_status(st);
		return kExitFailed;
	}
	return serve();
}

int Daemon::run(const std::string &config, const char *argv0)
{
	if (!sys_->privileged()) {
		log_err("Your uid or euid must be 0\n");
		return kExitUsage;
	}
	return start(config, argv0);
}
