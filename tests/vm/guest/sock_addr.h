// Socket addresses for the guest programs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

namespace zt {

// An IPv4 or IPv6 socket address, as the text of the address says.
struct SockAddr {
	sockaddr_storage ss{};
	socklen_t len = 0;
	const sockaddr *p() const { return reinterpret_cast<const sockaddr *>(&ss); }
	int family() const { return ss.ss_family; }
};

inline SockAddr SockAddrOf(const std::string &ip, int port)
{
	SockAddr a;
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

} // namespace zt
