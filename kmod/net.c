// SPDX-License-Identifier: GPL-2.0
/*
 * The connection filter's hooks: connect, bind, send and receive of IPv4
 * and IPv6 sockets, and what each operation names. An address is judged
 * as the kernel will use it, and only when its length covers it; events
 * carry at most the bytes the caller gave, in a zeroed field.
 */
#include <linux/kernel.h>
#include <linux/net.h>
#include <linux/socket.h>
#include <linux/in.h>
#include <linux/in6.h>
#include <linux/fs.h>
#include <linux/mm.h>
#include <linux/rcupdate.h>
#include <linux/slab.h>
#include <linux/uio.h>
#include <linux/udp.h>
#include <net/sock.h>
#include <net/inet_sock.h>
#include <net/tcp_states.h>
#include <net/inet_common.h>
#include <net/ipv6.h>

#include <linux/security.h>

#include "compat.h"
#include "dns.h"
#include "rule_lists.h"
#include "net_verdict.h"
#include "net.h"

FH_REAL_DEFINE(real_security_socket_connect, security_socket_connect);
FH_REAL_DEFINE(real_security_socket_sendmsg, security_socket_sendmsg);
FH_REAL_DEFINE(real_inet_recvmsg, inet_recvmsg);
FH_REAL_DEFINE(real_inet6_recvmsg, inet6_recvmsg);
FH_REAL_DEFINE(real_security_socket_bind, security_socket_bind);

static bool net_addr_set(struct net_addr *a, const void *addr, int len)
{
	memset(a->raw, 0, sizeof(a->raw));
	a->len = clamp(len, 0, ZT_ADDR_SIZE);
	if (addr)
		memcpy(a->raw, addr, a->len);
	return !net_target_of(a->raw, a->len, &a->t);
}

static u16 sa_family_of(const void *addr, int len)
{
	u16 family = AF_MAX;

	if (addr && len >= (int)sizeof(family))
		memcpy(&family, addr, sizeof(family));
	return family;
}

/*
 * The address a datagram send or a bind on @sock uses. An AF_INET socket
 * takes AF_UNSPEC as AF_INET: UDP, raw and L2TP sends, and binds to
 * INADDR_ANY. The copy then says AF_INET, as the event will.
 */
static bool net_addr_as_used(struct net_addr *a, const struct socket *sock,
			     const void *addr, int len, bool bind)
{
	const struct sockaddr_in *sin = addr;
	u16 inet = AF_INET;

	if (net_addr_set(a, addr, len))
		return true;
	if (sock->sk->sk_family != AF_INET ||
	    sa_family_of(addr, len) != AF_UNSPEC ||
	    len < (int)sizeof(*sin))
		return false;
	if (bind ? sin->sin_addr.s_addr != htonl(INADDR_ANY) :
		   sock->sk->sk_type == SOCK_STREAM)
		return false;
	memcpy(a->raw, &inet, sizeof(inet));
	return !net_target_of(a->raw, a->len, &a->t);
}

static bool inet_sock(const struct socket *sock)
{
	return sock->sk && (sock->sk->sk_family == AF_INET ||
			    sock->sk->sk_family == AF_INET6);
}

/*
 * The peer of a connected inet socket, read from the socket itself (not
 * through getpeername(), which sleeps on the socket lock in newer kernels
 * and which BPF may rewrite); false when it has none.
 */
static bool net_addr_peer(struct net_addr *a, const struct socket *sock)
{
	const struct sock *sk = sock->sk;
	struct sockaddr_in *sin = (struct sockaddr_in *)a->raw;
	__be16 port = READ_ONCE(inet_sk(sk)->inet_dport);

	memset(a->raw, 0, sizeof(a->raw));
	if (!port)
		return false;
	if (sk->sk_family == AF_INET) {
		sin->sin_family = AF_INET;
		sin->sin_port = port;
		sin->sin_addr.s_addr = READ_ONCE(inet_sk(sk)->inet_daddr);
		a->len = sizeof(*sin);
	} else {
#if IS_ENABLED(CONFIG_IPV6)
		struct sockaddr_in6 *sin6 = (struct sockaddr_in6 *)a->raw;

		sin6->sin6_family = AF_INET6;
		sin6->sin6_port = port;
		sin6->sin6_addr = sk->sk_v6_daddr;
		a->len = sizeof(*sin6);
#else
		return false;
#endif
	}
	return !net_target_of(a->raw, a->len, &a->t);
}

/* ---- DNS queries ---- */

static bool dns_candidate(const struct socket *sock, const struct net_addr *a)
{
	int proto = sock->sk->sk_protocol;

	return (proto == IPPROTO_UDP || proto == IPPROTO_TCP) &&
	       a->t.port == htons(DNS_PORT) &&
	       atomic_read(&num_block_url) > 0;
}

/* A UDP_SEGMENT control message: the send leaves as several datagrams. */
static bool udp_segmented(const struct sock *sk, const struct msghdr *msg)
{
	struct cmsghdr *cmsg;

	if (READ_ONCE(udp_sk(sk)->gso_size))
		return true;
	if (msg->msg_control_is_user)
		return false;
	for_each_cmsghdr(cmsg, (struct msghdr *)msg) {
		if (cmsg->cmsg_level == SOL_UDP && cmsg->cmsg_type == UDP_SEGMENT)
			return true;
	}
	return false;
}

/* Whether this send alone makes the datagram, from its first byte on. */
static bool udp_send_whole(const struct sock *sk, const struct msghdr *msg)
{
	return !(msg->msg_flags & MSG_MORE) && !zt_udp_corked(sk) &&
	       !READ_ONCE(udp_sk(sk)->pending) && !udp_segmented(sk, msg);
}

/*
 * Reads the start of the query from a copy of the message's iterator,
 * faulting pages in as the kernel's own copy would, and before any lock is
 * taken: a query that cannot be read is refused (-EFAULT), not passed.
 * Whatever the sender's buffers, only the part the walk can look at is
 * copied. TCP puts a 2-byte length in front of each message.
 */
static int dns_query_read(struct dns_query *q, const struct socket *sock,
			  const struct msghdr *msg)
{
	struct iov_iter it = msg->msg_iter;
	bool tcp = sock->sk->sk_protocol == IPPROTO_TCP;
	size_t want;

	if (tcp)
		iov_iter_advance(&it, 2);
	want = min_t(size_t, iov_iter_count(&it), DNS_SCAN_MAX);
	if (want < DNS_HDR_LEN)
		return 0;
	q->buf = kmalloc(want, GFP_KERNEL | __GFP_NOWARN);
	if (!q->buf)
		return -ENOMEM;
	if (copy_from_iter(q->buf, want, &it) != want) {
		kfree(q->buf);
		q->buf = NULL;
		return -EFAULT;
	}
	q->len = want;
	q->whole = tcp || udp_send_whole(sock->sk, msg);
	return 0;
}

/* ---- hooks ---- */

static int judge_address(struct socket *sock, struct sockaddr *address,
			 int addrlen, int kind)
{
	struct net_addr a;
	bool ok;

	if (!inet_sock(sock) || !net_rules_apply(kind))
		return 0;
	/* A connect to AF_UNSPEC disconnects: nothing to judge. */
	ok = kind == ZT_KIND_BINDING ?
	     net_addr_as_used(&a, sock, address, addrlen, true) :
	     net_addr_set(&a, address, addrlen);
	if (!ok)
		return 0;	/* not IPv4/IPv6, or short: the kernel's business */
	return net_judge(&a, NULL, kind);
}

/* Connect and bind: the caller's address, before the kernel's function. */
static int fh_security_socket_connect(struct socket *sock,
				      struct sockaddr *address, int addrlen)
{
	return FH_GUARD(real_security_socket_connect,
			judge_address(sock, address, addrlen,
				      ZT_KIND_CONNECTING),
			sock, address, addrlen);
}

static int fh_security_socket_bind(struct socket *sock,
				   struct sockaddr *address, int addrlen)
{
	return FH_GUARD(real_security_socket_bind,
			judge_address(sock, address, addrlen, ZT_KIND_BINDING),
			sock, address, addrlen);
}

/*
 * Where a send goes, as the protocol takes it. A connected stream goes to
 * its peer whatever name comes with it; a datagram to the name given, else
 * to its peer. An AF_INET6 datagram socket drops an AF_UNSPEC name and
 * sends to its peer.
 */
static bool send_target(struct net_addr *a, const struct socket *sock,
			const struct msghdr *msg)
{
	const void *name = msg->msg_name;
	int len = msg->msg_namelen;

	if (sock->sk->sk_type == SOCK_STREAM && net_addr_peer(a, sock))
		return true;
	if (!name)
		return net_addr_peer(a, sock);
	if (net_addr_as_used(a, sock, name, len, false))
		return true;
	return sock->sk->sk_family == AF_INET6 &&
	       sa_family_of(name, len) == AF_UNSPEC && net_addr_peer(a, sock);
}

static int judge_send(struct socket *sock, struct msghdr *msg, int size)
{
	struct dns_query q = {};
	struct net_addr a;
	int ret;

	if (!inet_sock(sock) || !net_rules_apply(ZT_KIND_SENDMSGING) ||
	    !send_target(&a, sock, msg))
		return 0;
	if (size > 0 && dns_candidate(sock, &a)) {
		ret = dns_query_read(&q, sock, msg);
		if (ret)
			return ret;
	}
	ret = net_judge(&a, q.buf ? &q : NULL, ZT_KIND_SENDMSGING);
	kfree(q.buf);
	return ret;
}

static int fh_security_socket_sendmsg(struct socket *sock, struct msghdr *msg,
				      int size)
{
	return FH_GUARD(real_security_socket_sendmsg,
			judge_send(sock, msg, size), sock, msg, size);
}

/*
 * The peer of a socket connected before the call (a stream, or a
 * connected datagram socket, receives from it alone), else the source the
 * protocol filled in (only then does its length cover the address).
 */
static int judge_received(struct socket *sock, bool had_peer,
			  const void *name, int namelen)
{
	struct net_addr a;

	if (had_peer) {
		if (!net_addr_peer(&a, sock))
			return 0;
	} else if (!net_addr_set(&a, name, namelen)) {
		return 0;
	}
	return net_judge(&a, NULL, ZT_KIND_RECVMSGING);
}

#define RECV_CALL(v6, ...)						\
	((v6) ? static_call(real_inet6_recvmsg)(__VA_ARGS__) :		\
		static_call(real_inet_recvmsg)(__VA_ARGS__))

/*
 * Receive, IPv4 and IPv6 alike: the kernel's function first, then the
 * source. Inlined into both handlers for their direct call-throughs.
 */
static __always_inline int recv_hook(struct socket *sock, struct msghdr *msg,
				     size_t size, int flags, bool v6)
{
	struct sockaddr_storage lent;
	struct fh_frame frame;
	bool user, had_peer, lend;
	void *name;
	int ret, namelen;

	user = fh_enter(&frame, v6 ? &STATIC_CALL_KEY(real_inet6_recvmsg) :
				     &STATIC_CALL_KEY(real_inet_recvmsg));
	/* No rule: not even the source address is worth lending a buffer. */
	if (!user || !net_rules_apply(ZT_KIND_RECVMSGING)) {
		ret = RECV_CALL(v6, sock, msg, size, flags);
		goto out;
	}
	had_peer = READ_ONCE(inet_sk(sock->sk)->inet_dport);
	lend = !msg->msg_name;
	if (lend) {
		memset(&lent, 0, sizeof(lent));
		msg->msg_name = &lent;
		msg->msg_namelen = sizeof(lent);
	}
	ret = RECV_CALL(v6, sock, msg, size, flags);
	name = msg->msg_name;
	namelen = ret >= 0 ? msg->msg_namelen : 0;
	if (lend) {
		msg->msg_name = NULL;
		msg->msg_namelen = 0;
	}
	if (ret >= 0 && judge_received(sock, had_peer, name, namelen))
		ret = -EPERM;
out:
	fh_leave(&frame);
	return ret;
}

static int fh_inet_recvmsg(struct socket *sock, struct msghdr *msg,
			   size_t size, int flags)
{
	return recv_hook(sock, msg, size, flags, false);
}

static int fh_inet6_recvmsg(struct socket *sock, struct msghdr *msg,
			    size_t size, int flags)
{
	return recv_hook(sock, msg, size, flags, true);
}

FH_CHECK(fh_security_socket_connect, security_socket_connect);
FH_CHECK(fh_security_socket_sendmsg, security_socket_sendmsg);
FH_CHECK(fh_inet_recvmsg, inet_recvmsg);
FH_CHECK(fh_inet6_recvmsg, inet6_recvmsg);
FH_CHECK(fh_security_socket_bind, security_socket_bind);

const struct ftrace_hook net_hooks[NET_HOOKS] __initconst = {
	HOOK(ZT_CONNECT_SYMBOL, fh_security_socket_connect,
	     real_security_socket_connect),
	HOOK("security_socket_sendmsg", fh_security_socket_sendmsg,
	     real_security_socket_sendmsg),
	HOOK("inet_recvmsg", fh_inet_recvmsg, real_inet_recvmsg),
	HOOK("security_socket_bind", fh_security_socket_bind,
	     real_security_socket_bind),
	HOOK("inet6_recvmsg", fh_inet6_recvmsg, real_inet6_recvmsg),
};
