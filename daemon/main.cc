// zentroped: installs the zentrope module carried in its own executable,
// pushes the configured rule lists and writes the block log until stopped.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bundle.h"
#include "config.h"
#include "log.h"
#include "loop.h"
#include "netlink.h"
#include "notify.h"
#include "push.h"
#include "version.h"
#include "zentrope_event.h"

namespace {

const char kVersion[] = ZT_VERSION;
const char kInstallDir[] = "/opt/zentrope";
const char kPidPath[] = "/var/run/zentrope_pid";

// Exit statuses: bad command line, privilege or configuration; a failure
// once the configuration is loaded; a normal stop.
constexpr int kExitUsage = 255;
constexpr int kExitFailed = 1;
constexpr int kExitOk = 0;

void usage(const char *argv0)
{
	printf("Usage: %s [-f configfile] [-v] [-h]\n\t-f\tconfig file path. "
	       "Default is ./config/config.txt\n\t-v\tout version\n\t-h\tthis help "
	       "screen\n%s\n\n%s\n",
	       argv0, kVersion, "Copyright (C) 2026 The zentrope developers");
}

// 0 to go on, else the exit status.
int parse_options(int argc, char **argv, std::string *config)
{
	int opt;
	while ((opt = getopt(argc, argv, "f:vh")) != -1) {
		switch (opt) {
		case 'f':
			*config = optarg;
			break;
		case 'v':
			printf("%s\n", kVersion);
			return kExitUsage;
		default:
			usage(argv[0]);
			return kExitUsage;
		}
	}
	return 0;
}

// Relative log paths name files under the installation directory, also
// when a rotation reopens them after the daemon has left it.
void open_output(const opt_path &path, FILE **stream, std::string *stored)
{
	*stream = stdout;
	*stored = resolve_path(*path);
	FILE *f = log_open(*stored);
	if (!f) {
		log_err("Unable to open %s for writing: %s\n", stored->c_str(),
			strerror(errno));
		return;
	}
	*stream = f;
}

void open_outputs(const daemon_config &cfg)
{
	if (!cfg.daemon) {
		// A line as soon as it is written, also into a pipe or the journal.
		setvbuf(stdout, nullptr, _IOLBF, 0);
		g_log = g_block_log = stdout;
		return;
	}
	open_output(cfg.log_file, &g_log, &g_log_path);
	open_output(cfg.block_log_file, &g_block_log, &g_block_log_path);
}

// Opened and locked for the daemon's whole life; -1 when another runs.
int lock_pid_file()
{
	int fd = open(kPidPath, O_RDWR | O_CREAT | O_CLOEXEC, 0744);
	if (fd < 0) {
		log_err("open %s: %s\n", kPidPath, strerror(errno));
		return -1;
	}
	errno = 0;
	if (flock(fd, LOCK_EX | LOCK_NB)) {
		if (errno == EWOULDBLOCK)
			log_err("lock file %s fail. check the program is running?\n",
				kPidPath);
		else
			log_err("lock %s: %s\n", kPidPath, strerror(errno));
		close(fd);
		return -1;
	}
	return fd;
}

int write_pid(int fd)
{
	char buf[16] = {};
	snprintf(buf, sizeof(buf), "%d", getpid());
	if (pwrite(fd, buf, sizeof(buf), 0) != (ssize_t)sizeof(buf) || fsync(fd)) {
		log_err("write %s: %s\n", kPidPath, strerror(errno));
		return -1;
	}
	return 0;
}

// argv[0] as started (relative to the installation directory once the
// daemon is there), else the running image itself.
int open_own_executable(const char *argv0)
{
	int fd = open(argv0, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		log_err("open %s: %s\n", argv0, strerror(errno));
	return fd;
}

int detach(const daemon_config &cfg, const char *argv0)
{
	if (!cfg.daemon)
		return 0;
	if (g_log == stdout || g_block_log == stdout) {
		log_err("Daemon mode must be set log file (log_file config) and block "
			"log out file(block_log_file config)\n");
		usage(argv0);
		return -1;
	}
	if (daemon(0, 0)) {
		log_err("daemon: %s\n", strerror(errno));
		return -1;
	}
	return 0;
}

int write_flags(const daemon_config &cfg)
{
	if (write_flag(kStrictPath, cfg.strict)) {
		log_err("write strict err!\n");
		return -1;
	}
	if (write_flag(kQuitePath, cfg.quite)) {
		log_err("write quite err!\n");
		return -1;
	}
	if (write_flag(kUlogPath, 1)) {
		log_err("write ulog err!\n");
		return -1;
	}
	return 0;
}

// From the push to the stop; the module is removed whatever happened.
int serve(daemon_config *cfg)
{
	int status = kExitFailed;
	uint32_t portid = 0;
	int fd = -1;

	if (push_all(cfg) || write_flags(*cfg) || (fd = cn_open(&portid)) < 0)
		goto remove;
	if (cn_send_listen(fd, portid, ZT_LISTEN_START) < 0 ||
	    install_signal_handlers())
		goto close_socket;
	notify_ready();
	event_loop(fd);
	notify_stopping();
	cn_send_listen(fd, portid, ZT_LISTEN_STOP);
	clear_all();
	status = kExitOk;
close_socket:
	close(fd);
remove:
	syscall(SYS_delete_module, "zentrope", O_NONBLOCK);
	return status;
}

int start(int argc, char **argv, daemon_config *cfg)
{
	if (getuid() && geteuid()) {
		log_err("Your uid or euid must be 0\n");
		return kExitUsage;
	}
	std::string config = "./config/config.txt";
	if (int r = parse_options(argc, argv, &config))
		return r;
	if (chdir(kInstallDir)) {
		fprintf(stderr, "chdir %s err\n", kInstallDir);
		return kExitUsage;
	}
	char cwd[4096];
	if (!getcwd(cwd, sizeof(cwd))) {
		fprintf(stderr, "get cur working dir err\n");
		return kExitUsage;
	}
	g_path_startup = cwd;
	g_config_path = resolve_path(config);
	if (config_load(g_config_path, cfg))
		return kExitUsage;
	g_verbose = cfg->verbose;
	open_outputs(*cfg);

	int pid_fd = lock_pid_file();
	if (pid_fd < 0)
		return kExitFailed;
	int status = kExitFailed;
	int exe = open_own_executable(argv[0]);
	if (exe < 0)
		goto unlock;
	if (detach(*cfg, argv[0]) || write_pid(pid_fd) || install_module(exe)) {
		close(exe);
		goto unlock;
	}
	close(exe);
	status = serve(cfg);
unlock:
	close(pid_fd);
	return status;
}

} // namespace

int main(int argc, char **argv)
{
	daemon_config cfg;
	int status = start(argc, argv, &cfg);
	log_close(&g_log);
	log_close(&g_block_log);
	return status;
}
