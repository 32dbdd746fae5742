#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kMsgSize = 40960;

LogSink *g_sink;
bool g_verbose = true;

enum class Kind { kError, kInfo };

class StdoutSink : public LogSink {
public:
	void write(const std::string &lines) override
	{
		fwrite(lines.data(), 1, lines.size(), stdout);
		fflush(stdout);
	}
	bool is_stdout() const override { return true; }
};

int open_log_fd(const std::string &path)
{
	return ::open(path.c_str(),
		      O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
}

} // namespace

int write_all(int fd, const std::string &s)
{
	for (size_t done = 0; done < s.size();) {
		ssize_t n = ::write(fd, s.data() + done, s.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n == 0)
			errno = EIO;
		if (n <= 0)
			return -1;
		done += (size_t)n;
	}
	return 0;
}

namespace {

void log_write(Kind kind, const char *fmt, va_list ap)
{
	static char buf[kMsgSize];
	memset(buf, 0, sizeof(buf));
	size_t n = log_time_prefix(buf, sizeof(buf));
	vsnprintf(buf + n, sizeof(buf) - n, fmt, ap);
	if (g_sink) {
		g_sink->write(buf);
		return;
	}
	fputs(buf, kind == Kind::kError ? stderr : stdout);
}

} // namespace

LogSink *stdout_sink()
{
	static StdoutSink s;
	return &s;
}

std::unique_ptr<FileSink> FileSink::open(const std::string &path, Status *st)
{
	int fd = open_log_fd(path);
	if (fd < 0) {
		*st = Status::Error("Unable to open %s for writing: %s\n", path.c_str(),
				    strerror(errno));
		return nullptr;
	}
	return std::unique_ptr<FileSink>(new FileSink(path, fd));
}

FileSink::~FileSink()
{
	close(fd_);
}

// The new file is opened before the old one is let go: when it cannot be
// opened, writing goes on into the renamed file and no line is lost.
int FileSink::rotate_check()
{
	if (access(path_.c_str(), F_OK) == 0) {
		struct stat st;
		if (fstat(fd_, &st))
			return -1;
		if (!S_ISREG(st.st_mode) || st.st_size < kLogRotateSize)
			return 0;
	}
	rename(path_.c_str(), (path_ + ".bak").c_str());
	int fresh = open_log_fd(path_);
	if (fresh < 0) {
		int err = errno;
		// Into the old file: a message logged here must not recurse.
		char pfx[64] = "";
		log_time_prefix(pfx, sizeof(pfx));
		write_all(fd_, std::string(pfx) + "Unable to open " + path_ +
				       " for writing: " + strerror(err) + "\n");
		return 0;
	}
	close(fd_);
	fd_ = fresh;
	return 0;
}

void FileSink::write(const std::string &lines)
{
	rotate_check();
	write_all(fd_, lines);
}

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

void log_attach(LogSink *sink)
{
	g_sink = sink;
}

void log_set_verbose(bool on)
{
	g_verbose = on;
}

bool log_verbose_on()
{
	return g_verbose;
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

void log_status(const Status &st)
{
	if (!st.ok())
		log_err("%s", st.message().c_str());
}
