// File access of the list push: the module's control files and the digest
// feed, behind an interface the host tests replace with a model.
#ifndef ZENTROPED_KERNEL_IO_H
#define ZENTROPED_KERNEL_IO_H

#include <sys/types.h>

#include <cstddef>
#include <string>

class KernelIo {
public:
	virtual ~KernelIo() = default;
	// As the system calls: -1 with errno set on failure.
	virtual int open(const char *path, int flags) = 0;
	virtual ssize_t read(int fd, void *buf, size_t len) = 0;
	virtual ssize_t write(int fd, const void *buf, size_t len) = 0;
	virtual int close(int fd) = 0;
};

// The system's own calls; what g_kio points at unless a test swaps it.
KernelIo *system_io();
extern KernelIo *g_kio;

// Reads a whole file through g_kio; false when it cannot be opened or read.
bool kio_read_all(const char *path, std::string *out);

#endif
