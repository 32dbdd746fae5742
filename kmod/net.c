// SPDX-License-Identifier: GPL-2.0
/*
 * The connection filter: connect, bind, send and receive of IPv4 and IPv6
 * sockets, judged by the calling process's program, the address lists, the
 * port list and, for queries to port 53, the domain list. An address is
 * judged as the kernel will use it, and only when its length covers it;
 * events carry at most the bytes the caller gave, in a zeroed field.
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

#include "net.h"
#include "exec.h"
#include "dns.h"
#include "proc_lists.h"
#include "block_hash.h"
#include "event_fmt.h"
#include "msg.h"
#include "zentrope_sysctl.h"
#include "hooks.h"

FH_REAL_DEFINE(real_security_socket_connect, fh_security_socket_connect);
FH_REAL_DEFINE(real_security_socket_sendmsg, fh_security_socket_sendmsg);
FH_REAL_DEFINE(real_inet_recvmsg, fh_inet_recvmsg);
FH_REAL_DEFINE(real_inet6_recvmsg, fh_inet6_recvmsg);
FH_REAL_DEFINE(real_security_socket_bind, fh_security_socket_bind);

/* The calling process as its records describe it, for events. */
struct net_who {
	const char *path;
	const char *short_name;
};

/* A zeroed copy of what the operation names, as events carry it. */
struct net_addr {
	u8 raw[ZT_ADDR_SIZE];
	int len;
	struct net_target t;
};

/*
 * The start of a query to port 53, read before any lock is taken: @buf
 * holds @len bytes from its header on, or is NULL when the send is no
 * query to inspect. @whole is false when the datagram may hold more than
 * this send (corked, or cut into segments by UDP GSO).
 */
struct dns_query {
	u8 *buf;
	size_t len;
	bool whole;
};

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

static int net_refuse(const struct net_who *who, const struct net_addr *a,
		      u32 type, u32 kind, const char *url_enc)
{
	const struct event_identity id = {
		.path = who->path, .short_name = who->short_name,
	};
	struct block_event *ev = block_event_refusal(type, kind);

	if (!ev)
		return -EPERM;
	memcpy(ev->addr, a->raw, sizeof(ev->addr));
	if (url_enc)
		recover_url(ev->url, sizeof(ev->url), url_enc,
			    strnlen(url_enc, URL_MAX_ENCODED));
	event_set_identity(ev, &id);
	block_event_send(ev);
	return -EPERM;
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

static int dns_listed(const char *name, void *arg)
{
	return exist_block_url_nocase(name);
}

/*
 * Whether the query may not go out: it names a listed domain, which is
 * left in @name, or it may not leave as it was read (its datagram is
 * corked or segmented; no resolver's query needs either), and @name is "".
 */
static bool dns_refused(const struct dns_query *q, char *name)
{
	int count;

	name[0] = '\0';
	if (!q->buf)
		return false;
	count = dns_query_count(q->buf);
	pr_debug("zentrope: %s dns query count:%d\n", "filter_dns", count);
	if (count <= 0)
		return false;
	return !q->whole ||
	       dns_find_question(q->buf, q->len, count, name, dns_listed, NULL);
}

/*
 * The event type the address, port or query refuses the operation with,
 * or 0. @name gets the domain a refused query names ("" when it was
 * refused for not leaving whole).
 */
static u32 net_verdict(const struct net_addr *a, const struct dns_query *q,
		       int kind, char *name)
{
	name[0] = '\0';
	if (q && dns_refused(q, name))
		return ZT_TYPE_DNS;
	if (kind == ZT_KIND_BINDING)
		return net_port_blocked(&a->t) ? ZT_TYPE_BIND : 0;
	return net_addr_blocked(&a->t) ? kind : 0;
}

static int net_report(const struct net_who *who, const struct net_addr *a,
		      u32 type, int kind, const char *name)
{
	switch (type) {
	case ZT_TYPE_DNS:
		if (!name[0]) {
			pr_debug("zentrope: %s query not sent whole\n", "filter_dns");
			return net_refuse(who, a, type, ZT_KIND_DNSLOOKUPING, NULL);
		}
		pr_debug("zentrope: %s dns lookup name:%s succ\n", "filter_dns",
			 name);
		return net_refuse(who, a, type, ZT_KIND_DNSLOOKUPING, name);
	case ZT_TYPE_BIND:
		pr_debug("zentrope: %s exist_block_port succ\n", "filter_port");
		return net_refuse(who, a, type, kind, NULL);
	default:
		pr_debug("zentrope: %s exist_block_ip succ\n", "filter_addr");
		return net_refuse(who, a, kind, kind, NULL);
	}
}

/* ---- the common filter ---- */

/*
 * The executable's identity rule, if the process runs a listed file. The
 * executable is read under RCU, without a reference: files and inodes are
 * freed only after a grace period, and only an exec or prctl of this
 * process itself replaces it.
 */
static struct prog_info_struct *exe_prog_info(void)
{
	struct inode *inode;
	struct file *exe;
	u32 dev = 0;
	u64 ino = 0;

	if (atomic_read(&num_block_prog_info) <= 0 || !current->mm)
		return NULL;
	rcu_read_lock();
	exe = rcu_dereference(current->mm->exe_file);
	if (exe) {
		inode = file_inode(exe);
		dev = inode->i_sb->s_dev;
		ino = inode->i_ino;
	}
	rcu_read_unlock();
	return exe ? find_block_prog_info(dev, ino) : NULL;
}

/* Program rules first; the caller holds rcu_read_lock(). */
static int filter_process(struct net_who *who,
			  const struct pid_prog_pair *rec, int kind)
{
	int pid = task_tgid_nr(current);
	struct pid_prog_pair *srec;
	struct prog_info_struct *info;
	const u8 *digest = NULL;

	if (rec) {
		digest = rec->digest;
		who->path = rec->name;
		if (rec->digest_len > 0 &&
		    !buf_is_zero(rec->digest, rec->digest_len) &&
		    exist_block_hash(rec->digest, rec->digest_len))
			return filter_prog(NULL, 1, digest, rec->dev, rec->ino,
					   NULL, 0, NULL, 0, pid, kind);
	}
	info = exe_prog_info();
	if (info)
		return filter_prog(info, 0, digest, 0, 0, NULL, 0, NULL, 0,
				   pid, kind);
	srec = find_pid_prog_pair(&pid_prog_pair_short_list, pid);
	if (srec)
		who->short_name = srec->name;
	return filter_prog(NULL, 0, digest, rec ? rec->dev : 0,
			   rec ? rec->ino : 0, who->path,
			   who->path ? strlen(who->path) : 0, who->short_name,
			   who->short_name ? strlen(who->short_name) : 0, pid,
			   kind);
}

/* Whether the calling process's program could refuse the operation. */
static bool prog_rules_apply(void)
{
	return atomic_read(&num_block_hash) > 0 ||
	       atomic_read(&num_block_prog_info) > 0 ||
	       atomic_read(&num_block_prog) > 0 ||
	       atomic_read(&num_interp_prog) > 0;
}

/*
 * Whether any rule could refuse the operation. Most traffic meets no rule
 * at all, and then costs no lookup: the counts are read without a lock.
 */
static bool rules_apply(const struct msghdr *msg, int kind)
{
	if (prog_rules_apply())
		return true;
	if (kind == ZT_KIND_BINDING)
		return atomic_read(&num_block_port) > 0;
	if (kind == ZT_KIND_SENDMSGING && msg && atomic_read(&num_block_url) > 0)
		return true;
	return atomic_read(&num_block_ipv4) > 0 ||
	       atomic_read(&num_block_ipv6) > 0;
}

static int filter_locked(const struct pid_prog_pair *rec,
			 const struct net_addr *a, const struct dns_query *q,
			 int kind)
{
	char name[URL_BUF_SIZE];
	struct net_who who = {};
	u32 type;
	int ret;

	ret = filter_process(&who, rec, kind);
	if (ret < 0 || !a)
		return ret;
	type = net_verdict(a, q, kind, name);
	return type ? net_report(&who, a, type, kind, name) : 0;
}

/*
 * @a is NULL when no address could be judged, @q when the send is no
 * query to inspect. The records and rules are read under RCU, so nothing
 * here waits. A process without a record (it was started before the module
 * was loaded) is recorded from its executable first, outside the section.
 */
static int filter(const struct net_addr *a, const struct dns_query *q,
		  int kind)
{
	int pid = task_tgid_nr(current), ret;
	const struct pid_prog_pair *rec;
	char name[URL_BUF_SIZE];

	/*
	 * Without program rules only the address can refuse: the process is
	 * looked up (and recorded, for the event) only when it does.
	 */
	if (!prog_rules_apply() && (!a || !net_verdict(a, q, kind, name)))
		return 0;
	rcu_read_lock();
	rec = find_pid_prog_pair(&pid_prog_pair_list, pid);
	if (!rec) {
		rcu_read_unlock();
		record_current_exe();
		rcu_read_lock();
		rec = find_pid_prog_pair(&pid_prog_pair_list, pid);
	}
	ret = filter_locked(rec, a, q, kind);
	rcu_read_unlock();
	return ret < 0 ? -EPERM : 0;
}

/* ---- hooks ---- */

static int judge_address(struct socket *sock, struct sockaddr *address,
			 int addrlen, int kind)
{
	struct net_addr a;
	bool ok;

	if (!inet_sock(sock) || !rules_apply(NULL, kind))
		return 0;
	/* A connect to AF_UNSPEC disconnects: nothing to judge. */
	ok = kind == ZT_KIND_BINDING ?
	     net_addr_as_used(&a, sock, address, addrlen, true) :
	     net_addr_set(&a, address, addrlen);
	if (!ok)
		return 0;	/* not IPv4/IPv6, or short: the kernel's business */
	return filter(&a, NULL, kind);
}

/*
 * Connect and bind: the caller's address, before the kernel's function.
 * Inlined into both handlers, so each makes its own direct call-through.
 */
static __always_inline int address_hook(struct socket *sock,
					struct sockaddr *address, int addrlen,
					int kind)
{
	bool bind = kind == ZT_KIND_BINDING;
	struct fh_frame frame;
	int ret = 0;

	zt_test_count_call(bind ? &STATIC_CALL_KEY(real_security_socket_bind) :
			   &STATIC_CALL_KEY(real_security_socket_connect));
	if (fh_enter(&frame))
		ret = judge_address(sock, address, addrlen, kind);
	if (!ret)
		ret = bind ?
			static_call(real_security_socket_bind)(sock, address,
							       addrlen) :
			static_call(real_security_socket_connect)(sock, address,
								  addrlen);
	fh_leave(&frame);
	return ret;
}

int fh_security_socket_connect(struct socket *sock, struct sockaddr *address,
			       int addrlen)
{
	return address_hook(sock, address, addrlen, ZT_KIND_CONNECTING);
}

int fh_security_socket_bind(struct socket *sock, struct sockaddr *address,
			    int addrlen)
{
	return address_hook(sock, address, addrlen, ZT_KIND_BINDING);
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

	if (!inet_sock(sock) || !rules_apply(msg, ZT_KIND_SENDMSGING) ||
	    !send_target(&a, sock, msg))
		return 0;
	if (size > 0 && dns_candidate(sock, &a)) {
		ret = dns_query_read(&q, sock, msg);
		if (ret)
			return ret;
	}
	ret = filter(&a, q.buf ? &q : NULL, ZT_KIND_SENDMSGING);
	kfree(q.buf);
	return ret;
}

int fh_security_socket_sendmsg(struct socket *sock, struct msghdr *msg,
			       int size)
{
	struct fh_frame frame;
	int ret = 0;

	zt_test_count_call(&STATIC_CALL_KEY(real_security_socket_sendmsg));
	if (fh_enter(&frame))
		ret = judge_send(sock, msg, size);
	if (!ret)
		ret = static_call(real_security_socket_sendmsg)(sock, msg, size);
	fh_leave(&frame);
	return ret;
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
	return filter(&a, NULL, ZT_KIND_RECVMSGING);
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
	bool user = fh_enter(&frame), had_peer, lend;
	void *name;
	int ret, namelen;

	zt_test_count_call(v6 ? &STATIC_CALL_KEY(real_inet6_recvmsg) :
			   &STATIC_CALL_KEY(real_inet_recvmsg));
	/* No rule: not even the source address is worth lending a buffer. */
	if (!user || !rules_apply(NULL, ZT_KIND_RECVMSGING)) {
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

int fh_inet_recvmsg(struct socket *sock, struct msghdr *msg, size_t size,
		    int flags)
{
	return recv_hook(sock, msg, size, flags, false);
}

int fh_inet6_recvmsg(struct socket *sock, struct msghdr *msg, size_t size,
		     int flags)
{
	return recv_hook(sock, msg, size, flags, true);
}
