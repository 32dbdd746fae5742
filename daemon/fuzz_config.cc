// Fuzz target: any bytes as the INI configuration, loaded and checked, and
// as a list file, read and checked as an address list and then checked as
// every list at once. The input reaches the parsers through a memfd, so
// every path they open is the real file-reading path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config.h"
#include "config_check.h"
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

std::string fd_path(int fd)
{
	return "/proc/self/fd/" + std::to_string(fd);
}

void check(const std::string &path)
{
	for (const config_problem &p : config_check(path))
		problem_text(p);
}

// A configuration naming @list as every list file.
std::string ini_naming(const std::string &list)
{
	std::string ini;
	for (const list_keys &k : kListKeys)
		ini += std::string("[") + k.section + "]\n" + k.main_key + " = " + list + "\n";
	return ini;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	// Relative list paths resolve below a directory that has none of them.
	g_path_startup = "/nonexistent-zt-fuzz";
	log_set_verbose(false);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	int fd = input_fd(data + 1, size - 1);
	std::string path = fd_path(fd);
	if (data[0] & 1) {
		daemon_config cfg;
		config_load(path, &cfg);
		check(path);
	} else {
		rule_list list;
		if (read_list_file(path, &list) == 0)
			validate_addresses(list);
		std::string ini = ini_naming(path);
		int ini_fd = input_fd((const uint8_t *)ini.data(), ini.size());
		check(fd_path(ini_fd));
		close(ini_fd);
	}
	close(fd);
	return 0;
}
