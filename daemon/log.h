// Daemon log and block log: where lines go, time-prefixed messages,
// size-based rotation.
#ifndef ZENTROPED_LOG_H
#define ZENTROPED_LOG_H

#include <cstddef>
#include <memory>
#include <string>

#include "status.h"

// Rotation happens once a log reaches this size.
constexpr long kLogRotateSize = 31457280;

// Where a log's lines go. write() takes whole lines, as many as there are,
// and writes them at once.
class LogSink {
public:
	virtual ~LogSink() = default;
	virtual void write(const std::string &lines) = 0;
	virtual bool is_stdout() const { return false; }
};

// Standard output, never rotated.
LogSink *stdout_sink();

// A log file, appended to. Before each write it is rotated to
// "<path>.bak" once it has grown to kLogRotateSize or its path has gone.
// A symbolic link is refused, and a new file is made 0640, whatever the
// umask allows beyond that: logs name what users ran.
class FileSink : public LogSink {
public:
	static std::unique_ptr<FileSink> open(const std::string &path, Status *st);
	~FileSink() override;
	void write(const std::string &lines) override;
	// 0 when nothing was due or it rotated, -1 when the size cannot be read.
	int rotate_check();

private:
	FileSink(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
	std::string path_;
	int fd_;
};

// "%FT%T.<usec> " of the current time; returns its length, 0 on failure.
size_t log_time_prefix(char *buf, size_t size);

// The daemon log: messages go to @sink from now on; null sends errors to
// stderr and information to stdout, as before a daemon log exists.
void log_attach(LogSink *sink);
// "global:verbose": informational messages are written only when set.
void log_set_verbose(bool on);
bool log_verbose_on();

// One message, one line.
void log_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// log_info only when verbose.
#define log_verbose(...)                                                       \
	do {                                                                   \
		if (log_verbose_on())                                          \
			log_info(__VA_ARGS__);                                 \
	} while (0)
// An error handed up as a value, logged where it is handled.
void log_status(const Status &st);

// Writes all of @s, again after EINTR and short writes: 0, or -1 with
// errno set (EIO when the file takes nothing).
int write_all(int fd, const std::string &s);

#endif
