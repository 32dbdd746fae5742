// A netlink connector socket on the module's channel, as the daemon opens
// it: subscribe to group 16, send listen requests, receive whole datagrams.
#ifndef ZT_VM_GUEST_CN_SOCK_H
#define ZT_VM_GUEST_CN_SOCK_H

#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "zentrope_event.h"

namespace zt {

// struct cn_msg without its flexible data member, to embed it.
struct CnHeader {
	cb_id id;
	uint32_t seq, ack;
	uint16_t len, flags;
};
static_assert(sizeof(CnHeader) == sizeof(cn_msg) && sizeof(cn_msg) == ZT_CN_HDR_SIZE);

struct Msg {
	size_t size = 0; // datagram bytes
	nlmsghdr nlh{};
	CnHeader cn{};
	event_payload p{};
	std::vector<uint8_t> raw; // the datagram as received
};

class Sock {
public:
	// @group: subscribe to the daemon's group, as the daemon does;
	// @portid: bind to that port id (0: the kernel picks one).
	explicit Sock(bool group = true, bool do_bind = true, uint32_t portid = 0)
	{
		fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
		if (fd_ < 0 || !do_bind)
			return;
		sockaddr_nl sa{};
		sa.nl_family = AF_NETLINK;
		sa.nl_pid = portid;
		sa.nl_groups = group ? ZT_CN_GROUP_MASK : 0;
		if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)))
			bind_errno_ = errno;
	}
	explicit Sock(int fd) : fd_(fd) {}
	~Sock() { Close(); }
	Sock(const Sock &) = delete;
	Sock &operator=(const Sock &) = delete;

	void Close()
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = -1;
	}
	int fd() const { return fd_; }
	int bind_errno() const { return bind_errno_; }

	// The port id the kernel gave the socket (after bind or first send).
	uint32_t Portid() const
	{
		sockaddr_nl sa{};
		socklen_t len = sizeof(sa);
		if (getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len))
			return 0;
		return sa.nl_pid;
	}

	// A listen request with @len data bytes holding @value; the errno.
	// @to_kernel false: connect, then send without a destination address.
	int Listen(uint32_t value = ZT_LISTEN_START, uint16_t len = ZT_LISTEN_LEN,
		   uint32_t ack = 0, bool to_kernel = true) const
	{
		return SendListen(fd_, value, len, ack, to_kernel);
	}

	static int SendListen(int fd, uint32_t value, uint16_t len, uint32_t ack,
			      bool to_kernel)
	{
		std::vector<uint8_t> buf(NLMSG_SPACE(sizeof(cn_msg) + len + 8));
		auto *nlh = reinterpret_cast<nlmsghdr *>(buf.data());
		nlh->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + len);
		nlh->nlmsg_type = NLMSG_DONE;
		auto *cn = static_cast<cn_msg *>(NLMSG_DATA(nlh));
		cn->id.idx = ZT_CN_IDX;
		cn->id.val = ZT_CN_VAL;
		cn->seq = 0;
		cn->ack = ack;
		cn->len = len;
		memcpy(cn->data, &value, std::min<size_t>(len, sizeof(value)));
		sockaddr_nl to{};
		to.nl_family = AF_NETLINK;
		auto *sa = reinterpret_cast<sockaddr *>(&to);
		if (!to_kernel && connect(fd, sa, sizeof(to)))
			return errno;
		ssize_t n = to_kernel ? sendto(fd, buf.data(), nlh->nlmsg_len, 0, sa, sizeof(to))
				      : send(fd, buf.data(), nlh->nlmsg_len, 0);
		return n < 0 ? errno : 0;
	}

	// The next datagram within @ms milliseconds.
	std::optional<Msg> Recv(int ms = 3000) const
	{
		pollfd pfd{ fd_, POLLIN, 0 };
		if (poll(&pfd, 1, ms) != 1)
			return std::nullopt;
		std::vector<uint8_t> buf(65536);
		ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
		if (n < 0)
			return std::nullopt;
		Msg m;
		m.size = n;
		buf.resize(n);
		m.raw = buf;
		memcpy(&m.nlh, buf.data(), std::min<size_t>(n, sizeof(m.nlh)));
		if (size_t(n) >= NLMSG_HDRLEN + sizeof(m.cn))
			memcpy(&m.cn, buf.data() + NLMSG_HDRLEN, sizeof(m.cn));
		size_t off = NLMSG_HDRLEN + sizeof(cn_msg);
		if (size_t(n) > off)
			memcpy(&m.p, buf.data() + off,
			       std::min(size_t(n) - off, sizeof(m.p)));
		return m;
	}

	// The next block event within @ms milliseconds, acknowledgements
	// skipped.
	std::optional<block_event> NextEvent(int ms = 3000) const
	{
		while (auto m = Recv(ms)) {
			if (m->p.header.msg_type == ZT_MSG_EVENT)
				return m->p.event;
		}
		return std::nullopt;
	}

	// Nothing is queued (the driver sends synchronously, so a short wait
	// only guards against a late softirq).
	bool Quiet(int ms = 200) const { return !Recv(ms).has_value(); }

private:
	int fd_ = -1;
	int bind_errno_ = 0;
};

} // namespace zt

#endif // ZT_VM_GUEST_CN_SOCK_H
