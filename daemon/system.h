// Everything the daemon asks of the operating system, behind one
// interface that the host tests replace: the control files (KernelIo),
// the connector socket, signals, the pid file, inserting and removing the
// module, the clock, the interpreter-list tool, the log files and the
// metrics file.
#ifndef ZENTROPED_SYSTEM_H
#define ZENTROPED_SYSTEM_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "bundle.h"
#include "kernel_io.h"
#include "log.h"
#include "status.h"

// What signals asked for since the last look.
struct requests {
	bool exit = false;
	bool reload = false;
	int signal = 0; // the last one, for the verbose message
};

class System : public KernelIo {
public:
	// Real or effective user id 0.
	virtual bool privileged() = 0;
	// Moves into @dir; its absolute path in *cwd.
	virtual Status enter(const char *dir, std::string *cwd) = 0;

	virtual std::unique_ptr<LogSink> open_log(const std::string &path,
						  Status *st) = 0;
	// The single-instance lock, held until the process ends.
	virtual Status lock_pid_file() = 0;
	virtual Status write_pid() = 0;
	// The running executable, which carries the module builds; opened
	// before detach() leaves the directory it was started from.
	virtual Status open_self(const char *argv0) = 0;
	virtual Status detach() = 0;
	// Inserts the fitting build from open_self()'s file and closes it;
	// *picked names the build. An empty message: the installer has
	// reported already.
	virtual Status insert_module(module_build *picked) = 0;
	virtual void remove_module() = 0;

	// The connector socket, bound to the daemon's group, and its port id.
	virtual Status cn_open(int *fd, uint32_t *portid) = 0;
	virtual Status cn_send(int fd, const void *msg, size_t len) = 0;
	// One datagram without waiting: its length, 0 when none is queued, -1
	// with errno on failure; *sender is the port id it came from.
	virtual ssize_t cn_recv(int fd, void *buf, size_t len, uint32_t *sender) = 0;
	virtual void cn_close(int fd) = 0;

	// From now on stop and reload signals are caught, and delivered only
	// while wait() waits.
	virtual Status catch_signals() = 0;
	virtual requests take_requests() = 0;
	// Until @fd is readable (1), @timeout_ms passes (0) or a signal comes
	// (0); -1 with errno on failure.
	virtual int wait(int fd, int timeout_ms) = 0;

	virtual uint64_t realtime_ns() = 0;
	virtual uint64_t monotonic_ns() = 0;
	virtual std::string host_name() = 0;
	// Runs the interpreter-list tool to its end, then lets a second pass.
	virtual void run_interp_tool() = 0;
	// Replaces the file at @path with @text at once (write_file_atomic()).
	virtual Status write_file_atomic(const std::string &path,
					 const std::string &text) = 0;
};

// The operating system itself.
std::unique_ptr<System> real_system();

#endif
