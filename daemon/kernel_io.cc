#include "kernel_io.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

class SystemIo : public KernelIo {
public:
	int open(const char *path, int flags) override
	{
		return ::open(path, flags | O_CLOEXEC);
	}
	ssize_t read(int fd, void *buf, size_t len) override
	{
		return ::read(fd, buf, len);
	}
	ssize_t write(int fd, const void *buf, size_t len) override
	{
		return ::write(fd, buf, len);
	}
	int close(int fd) override { return ::close(fd); }
};

} // namespace

KernelIo *system_io()
{
	static SystemIo io;
	return &io;
}

KernelIo *g_kio = system_io();

// Reads of a control file stay below the kernel's largest allocation (4
// MiB), which bounds one sysctl read call.
bool kio_read_all(const char *path, std::string *out)
{
	int fd = g_kio->open(path, O_RDONLY);
	if (fd < 0)
		return false;
	out->clear();
	std::string chunk(1u << 20, '\0');
	ssize_t n;
	while ((n = g_kio->read(fd, &chunk[0], chunk.size())) > 0)
		out->append(chunk, 0, (size_t)n);
	g_kio->close(fd);
	return n == 0;
}
