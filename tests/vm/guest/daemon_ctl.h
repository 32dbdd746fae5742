// What guest programs that run the real daemon share: files it reads,
// sockets on its rules, its pid file and the moment its connector socket
// is bound.
#ifndef ZT_VM_GUEST_DAEMON_CTL_H
#define ZT_VM_GUEST_DAEMON_CTL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "module_ctl.h"
#include "sock_addr.h"

namespace zt {

// Creates or replaces @path with @text.
inline void Put(const std::string &path, const std::string &text)
{
	std::ofstream(path, std::ios::binary) << text;
}

// Polls @cond every @step_ms for up to @sec seconds.
template <typename F> bool WaitFor(F cond, double sec = 120, int step_ms = 100)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(sec);
	while (std::chrono::steady_clock::now() < end) {
		if (cond())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
	}
	return cond();
}

// -errno of one operation on a fresh IPv4 socket, 0 when it was allowed.
template <typename F> int SockOp(int type, F op)
{
	int fd = socket(AF_INET, type, 0);
	int r = op(fd) ? -errno : 0;
	close(fd);
	return r;
}

inline sockaddr_in Addr(const char *ip, int port)
{
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	inet_pton(AF_INET, ip, &a.sin_addr);
	return a;
}

// -errno of a TCP connect to @ip:@port, 0 when it was allowed.
inline int Connect(const char *ip, int port)
{
	sockaddr_in a = Addr(ip, port);
	return SockOp(SOCK_STREAM, [&](int fd) { return connect(fd, (sockaddr *)&a, sizeof(a)); });
}

// -errno of a bind to 127.0.0.1:@port, 0 when it was allowed.
inline int Bind(int port, int type = SOCK_STREAM)
{
	sockaddr_in a = Addr("127.0.0.1", port);
	return SockOp(type, [&](int fd) { return bind(fd, (sockaddr *)&a, sizeof(a)); });
}

inline pid_t DaemonPid()
{
	return (pid_t)atoi(ReadText("/var/run/zentrope_pid").c_str());
}

// The port id of the connector socket (protocol 11) subscribed to the
// daemon's group (Groups 00008000), 0 while there is none: the daemon's,
// as no other guest program subscribes. The kernel picks the id, so it
// says nothing of the pid.
inline uint32_t DaemonPortid()
{
	const std::regex re("^\\S+ +11 +(\\d+) +00008000 ");
	std::smatch m;
	for (const std::string &l : Lines(ReadText("/proc/net/netlink")))
		if (std::regex_search(l, m, re))
			return static_cast<uint32_t>(std::stoul(m[1]));
	return 0;
}

} // namespace zt

#endif // ZT_VM_GUEST_DAEMON_CTL_H
