#include "netlink.h"

#include <linux/connector.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.h"
#include "zentrope_event.h"

namespace {

// Room for a burst: a queued event costs about 8.5 KiB of the buffer, and
// the kernel doubles what is set, so 64 MiB holds some 15,000 of them.
constexpr int kBufMin = 64 * 1024 * 1024;

// Current size x 128, at least kBufMin, forced past the system limit.
bool enlarge(int fd, int get_opt, int force_opt)
{
	int size = 0;
	socklen_t len = sizeof(size);
	long want = kBufMin;
	if (!getsockopt(fd, SOL_SOCKET, get_opt, &size, &len) &&
	    (long)size * 128 > kBufMin - 1)
		want = (long)size * 128;
	int v = want > 0x7fffffff ? 0x7fffffff : (int)want;
	return setsockopt(fd, SOL_SOCKET, force_opt, &v, sizeof(v)) == 0;
}

void enlarge_buffers(int fd)
{
	int one = 1;
	bool ok = enlarge(fd, SO_RCVBUF, SO_RCVBUFFORCE);
	ok |= enlarge(fd, SO_SNDBUF, SO_SNDBUFFORCE);
	ok |= !setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &one, sizeof(one));
	if (!ok)
		log_err("set recv/send buf fail\n");
}

template <typename T> void put(unsigned char *p, T v)
{
	memcpy(p, &v, sizeof(v));
}

} // namespace

std::array<unsigned char, kListenMsgSize> listen_message(uint32_t portid,
							 uint32_t counter,
							 uint32_t value)
{
	std::array<unsigned char, kListenMsgSize> m{};
	put<uint32_t>(&m[0], kListenMsgSize);
	put<uint16_t>(&m[4], NLMSG_DONE);
	put<uint32_t>(&m[8], counter + 1);
	put<uint32_t>(&m[12], portid);
	put<uint32_t>(&m[16], ZT_CN_IDX);
	put<uint32_t>(&m[20], ZT_CN_VAL);
	put<uint32_t>(&m[24], counter);
	put<uint16_t>(&m[32], ZT_LISTEN_LEN);
	put<uint32_t>(&m[36], value);
	return m;
}

int cn_open(uint32_t *portid)
{
	int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
	if (fd < 0) {
		log_err("socket: %s [%d].\n", strerror(errno), errno);
		return -1;
	}
	struct sockaddr_nl addr = {};
	socklen_t len = sizeof(addr);
	addr.nl_family = AF_NETLINK;
	addr.nl_groups = ZT_CN_GROUP_MASK;
	if (bind(fd, (struct sockaddr *)&addr, sizeof(addr)) ||
	    getsockname(fd, (struct sockaddr *)&addr, &len)) {
		log_err("bind: %s [%d].\n", strerror(errno), errno);
		close(fd);
		return -1;
	}
	*portid = addr.nl_pid;
	enlarge_buffers(fd);
	return fd;
}
