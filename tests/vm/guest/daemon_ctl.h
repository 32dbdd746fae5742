// What guest programs that run the real daemon share: files it reads,
// its pid file and the moment its connector socket is bound.
#ifndef ZT_VM_GUEST_DAEMON_CTL_H
#define ZT_VM_GUEST_DAEMON_CTL_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "module_ctl.h"

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

inline pid_t DaemonPid()
{
	return (pid_t)atoi(ReadText("/var/run/zentrope_pid").c_str());
}

// The port id of @pid's bound connector socket (protocol 11), 0 when it
// has none yet. The kernel picks the id, so the socket is found by its
// inode among @pid's descriptors.
inline uint32_t DaemonPortid(pid_t pid)
{
	const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
	std::vector<std::string> inodes;
	if (DIR *d = opendir(fds.c_str())) {
		while (struct dirent *e = readdir(d)) {
			char link[64] = {};
			if (readlink((fds + e->d_name).c_str(), link, sizeof(link) - 1) > 0 &&
			    !strncmp(link, "socket:[", 8))
				inodes.push_back(std::string(link + 8, strcspn(link + 8, "]")));
		}
		closedir(d);
	}
	// sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode
	for (const std::string &l : Lines(ReadText("/proc/net/netlink"))) {
		std::istringstream in(l);
		std::string f[10];
		for (auto &x : f)
			in >> x;
		if (f[1] == "11" && std::find(inodes.begin(), inodes.end(), f[9]) != inodes.end())
			return static_cast<uint32_t>(std::stoul(f[2]));
	}
	return 0;
}

// The daemon's connector socket is bound: it is about to send its listen
// request.
inline bool SocketBound(pid_t pid)
{
	return DaemonPortid(pid) != 0;
}

} // namespace zt

#endif // ZT_VM_GUEST_DAEMON_CTL_H
