// Daemon log and block log: time-prefixed messages, size-based rotation.
#ifndef ZENTROPED_LOG_H
#define ZENTROPED_LOG_H

#include <cstddef>
#include <cstdio>
#include <string>

// The two output streams: null until start-up sets them, then stdout or a
// line-buffered file opened "a+".
extern FILE *g_log;
extern FILE *g_block_log;
extern std::string g_log_path;
extern std::string g_block_log_path;
// "global:verbose": informational messages are written only when non-zero.
extern int g_verbose;

// Rotation happens once a log reaches this size.
constexpr long kLogRotateSize = 31457280;

// "%FT%T.<usec> " of the current time; returns its length, 0 on failure.
size_t log_time_prefix(char *buf, size_t size);

// One message, one line. Errors fall back to stderr and information to
// stdout while no daemon log is set.
void log_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// log_info only when verbose.
#define log_verbose(...)                                                       \
	do {                                                                   \
		if (g_verbose)                                                 \
			log_info(__VA_ARGS__);                                 \
	} while (0)

// Rotates *stream to "<path>.bak" once it has grown to kLogRotateSize or
// its path has gone. 0 when nothing was due or it rotated, -1 when *stream
// is null or its size cannot be read.
int log_rotate_check(FILE **stream, const std::string &path);

// Opens a log for appending, line buffered; null on failure (logged).
FILE *log_open(const std::string &path);
// Closes a log stream unless it is stdout; sets it to null.
void log_close(FILE **stream);

#endif
