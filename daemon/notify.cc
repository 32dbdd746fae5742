#include "notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log.h"

namespace {

// The address NOTIFY_SOCKET names, as sd_notify(3) reads it. 0, or -1
// with *why set.
int notify_address(const std::string &name, sockaddr_un *sa, socklen_t *len,
		   const char **why)
{
	memset(sa, 0, sizeof(*sa));
	sa->sun_family = AF_UNIX;
	size_t n = name.size();
	bool abstract = n && name[0] == '@';
	if (!n || (name[0] != '/' && !abstract)) {
		*why = "neither an absolute path nor an abstract name";
		return -1;
	}
	// A path needs its terminating NUL; an abstract name is all bytes,
	// its "@" becoming the leading NUL.
	if (n > sizeof(sa->sun_path) - (abstract ? 0 : 1)) {
		*why = "name too long";
		return -1;
	}
	memcpy(sa->sun_path, name.data(), n);
	if (abstract)
		sa->sun_path[0] = '\0';
	*len = (socklen_t)(offsetof(sockaddr_un, sun_path) + n + (abstract ? 0 : 1));
	return 0;
}

} // namespace

int notify(const std::string &state)
{
	const char *env = getenv("NOTIFY_SOCKET");
	if (!env)
		return 0;
	const std::string name = env;
	// Messages are one line: the first of the state names it.
	const std::string what = state.substr(0, state.find('\n'));
	sockaddr_un sa;
	socklen_t len = 0;
	const char *why = nullptr;
	if (notify_address(name, &sa, &len, &why)) {
		log_err("notify %s to %s: %s\n", what.c_str(), name.c_str(), why);
		return -1;
	}
	int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		log_err("notify %s to %s: %s\n", what.c_str(), name.c_str(),
			strerror(errno));
		return -1;
	}
	// A manager that does not read must not hold the daemon up for long.
	const struct timeval timeout = { 1, 0 };
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
	ssize_t sent;
	do
		sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
			      (const sockaddr *)&sa, len);
	while (sent < 0 && errno == EINTR);
	int err = errno;
	close(fd);
	if (sent != (ssize_t)state.size()) {
		log_err("notify %s to %s: %s\n", what.c_str(), name.c_str(),
			sent < 0 ? strerror(err) : "short send");
		return -1;
	}
	return 1;
}

int notify_ready()
{
	return notify("READY=1");
}

int notify_reloading()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	unsigned long long usec =
		(unsigned long long)ts.tv_sec * 1000000ull + (unsigned long long)ts.tv_nsec / 1000;
	return notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

int notify_stopping()
{
	return notify("STOPPING=1");
}
