// Sockets on the guest's loopback for the network suites: addresses from
// text, one-shot connects, sends and binds that report the errno, and a DNS
// responder on 127.0.0.1:53.
#ifndef ZT_VM_GUEST_INET_H
#define ZT_VM_GUEST_INET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace zt {

struct Sa {
	sockaddr_storage ss{};
	socklen_t len = 0;
	const sockaddr *p() const { return reinterpret_cast<const sockaddr *>(&ss); }
};

inline Sa Addr(const std::string &ip, int port)
{
	Sa a;
	auto *v4 = reinterpret_cast<sockaddr_in *>(&a.ss);
	auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a.ss);
	if (inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
		v4->sin_family = AF_INET;
		v4->sin_port = htons(port);
		a.len = sizeof(*v4);
	} else if (inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
		v6->sin6_family = AF_INET6;
		v6->sin6_port = htons(port);
		a.len = sizeof(*v6);
	}
	return a;
}

inline int Errno(long r)
{
	return r < 0 ? errno : 0;
}

// A fresh socket of @type for @ip's family, optionally bound to @ip.
inline int Socket(const std::string &ip, int type, bool bind_it = false, int port = 0)
{
	Sa a = Addr(ip, port);
	int fd = socket(a.ss.ss_family, type | SOCK_CLOEXEC, 0);
	if (fd >= 0 && bind_it && bind(fd, a.p(), a.len))
		ADD_FAILURE() << "bind " << ip << ": " << strerror(errno);
	return fd;
}

inline int Connect(const std::string &ip, int port, int type = SOCK_STREAM)
{
	int fd = Socket(ip, type);
	Sa a = Addr(ip, port);
	int err = Errno(connect(fd, a.p(), a.len));
	close(fd);
	return err;
}

inline int SendTo(const std::string &ip, int port, const std::string &data = "x")
{
	int fd = Socket(ip, SOCK_DGRAM);
	Sa a = Addr(ip, port);
	int err = Errno(sendto(fd, data.data(), data.size(), 0, a.p(), a.len));
	close(fd);
	return err;
}

inline int Bind(const std::string &ip, int port)
{
	int fd = Socket(ip, SOCK_STREAM);
	Sa a = Addr(ip, port);
	int err = Errno(bind(fd, a.p(), a.len));
	close(fd);
	return err;
}

// Answers A queries on 127.0.0.1:53 with 1.2.3.4, others with no answer.
class Responder {
public:
	Responder() : fd_(Socket("127.0.0.1", SOCK_DGRAM, true, 53)), t_([this] { Run(); }) {}
	~Responder()
	{
		stop_ = true;
		t_.join();
		close(fd_);
	}

private:
	void Run()
	{
		char buf[1500];
		while (!stop_) {
			pollfd p{ fd_, POLLIN, 0 };
			if (poll(&p, 1, 100) != 1)
				continue;
			sockaddr_storage from;
			socklen_t fl = sizeof(from);
			ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &fl);
			if (n < 12)
				continue;
			std::string r(buf, n);
			r[2] = char(r[2] | 0x80);
			bool a = n >= 4 && r[n - 3] == 1 && r[n - 4] == 0;
			if (a) {
				r[7] = 1;
				r += std::string("\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4\1\2\3\4", 16);
			}
			sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from), fl);
		}
	}
	int fd_;
	std::atomic<bool> stop_{ false };
	std::thread t_;
};

inline std::string Output(const std::string &cmd)
{
	std::string out;
	FILE *p = popen((cmd + " 2>&1").c_str(), "r");
	char buf[512];
	while (p && fgets(buf, sizeof(buf), p))
		out += buf;
	if (p)
		pclose(p);
	return out;
}

} // namespace zt

#endif // ZT_VM_GUEST_INET_H
