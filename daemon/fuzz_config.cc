// Fuzz target: any bytes as the INI configuration, and as a list file read
// and checked as an address list. The input reaches the parsers through a
// memfd, so every path they open is the real file-reading path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config.h"
#include "log.h"

namespace {

int input_fd(const uint8_t *data, size_t size)
{
	int fd = memfd_create("zt-fuzz", MFD_CLOEXEC);
	if (fd < 0 || write(fd, data, size) != (ssize_t)size) {
		perror("memfd");
		abort();
	}
	return fd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// Relative list paths resolve below a directory that has none of them.
	g_path_startup = "/nonexistent-zt-fuzz";
	g_verbose = 0;
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	int fd = input_fd(data + 1, size - 1);
	std::string path = "/proc/self/fd/" + std::to_string(fd);
	if (data[0] & 1) {
		daemon_config cfg;
		config_load(path, &cfg);
	} else {
		rule_list list;
		if (read_list_file(path, &list) == 0)
			validate_addresses(list);
	}
	close(fd);
	return 0;
}
