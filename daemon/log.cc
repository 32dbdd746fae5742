#include "log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

FILE *g_log;
FILE *g_block_log;
std::string g_log_path;
std::string g_block_log_path;
int g_verbose = 1;

namespace {

constexpr size_t kMsgSize = 40960;

enum class Kind { kError, kInfo };

void log_write(Kind kind, const char *fmt, va_list ap)
{
	static char buf[kMsgSize];
	memset(buf, 0, sizeof(buf));
	size_t n = log_time_prefix(buf, sizeof(buf));
	vsnprintf(buf + n, sizeof(buf) - n, fmt, ap);
	if (g_log) {
		log_rotate_check(&g_log, g_log_path);
		fputs(buf, g_log);
		return;
	}
	fputs(buf, kind == Kind::kError ? stderr : stdout);
}

} // namespace

size_t log_time_prefix(char *buf, size_t size)
{
	struct timespec ts;
	struct tm tm;
	if (clock_gettime(CLOCK_REALTIME, &ts) || !localtime_r(&ts.tv_sec, &tm))
		return 0;
	size_t n = strftime(buf, size, "%FT%T", &tm);
	if (!n)
		return 0;
	int m = snprintf(buf + n, size - n, ".%ld ", ts.tv_nsec / 1000);
	if (m < 0 || (size_t)m >= size - n)
		return 0;
	return n + m;
}

void log_err(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	log_write(Kind::kError, fmt, ap);
	va_end(ap);
}

void log_info(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	log_write(Kind::kInfo, fmt, ap);
	va_end(ap);
}

FILE *log_open(const std::string &path)
{
	FILE *f = fopen(path.c_str(), "a+");
	if (!f)
		return nullptr;
	setvbuf(f, nullptr, _IOLBF, 0);
	return f;
}

void log_close(FILE **stream)
{
	if (*stream && *stream != stdout)
		fclose(*stream);
	*stream = nullptr;
}

// The new file is opened before the old stream is let go: when it cannot
// be opened, writing goes on into the renamed file and no line is lost.
int log_rotate_check(FILE **stream, const std::string &path)
{
	if (!*stream)
		return -1;
	if (*stream == stdout)
		return 0;
	if (access(path.c_str(), F_OK) == 0) {
		struct stat st;
		if (fstat(fileno(*stream), &st))
			return -1;
		if (st.st_size < kLogRotateSize)
			return 0;
	}
	std::string bak = path + ".bak";
	rename(path.c_str(), bak.c_str());
	FILE *fresh = log_open(path);
	if (!fresh) {
		int err = errno;
		// Through the old stream: a message logged here must not recurse.
		char pfx[64] = "";
		log_time_prefix(pfx, sizeof(pfx));
		fprintf(*stream, "%sUnable to open %s for writing: %s\n", pfx,
			path.c_str(), strerror(err));
		return 0;
	}
	fflush(*stream);
	fclose(*stream);
	*stream = fresh;
	return 0;
}
