// The result of an operation that can fail: ok, or an error with the
// message to log (one line, newline included). Whoever handles the error
// logs it, once.
#ifndef ZENTROPED_STATUS_H
#define ZENTROPED_STATUS_H

#include <cstdarg>
#include <cstdio>
#include <string>

class Status {
public:
	Status() = default;
	static Status Error(const char *format, ...) __attribute__((format(printf, 1, 2)))
	{
		va_list ap;
		va_start(ap, format);
		char buf[4096 + 256];
		vsnprintf(buf, sizeof(buf), format, ap);
		va_end(ap);
		return Status(buf);
	}
	bool ok() const { return !failed_; }
	const std::string &message() const { return msg_; }

private:
	explicit Status(std::string msg) : failed_(true), msg_(std::move(msg)) {}
	bool failed_ = false;
	std::string msg_;
};

#endif
