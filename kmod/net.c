// SPDX-License-Identifier: GPL-2.0
/*
 * The connection filter: connect, bind, send and receive of IPv4 and IPv6
 * sockets, judged by the calling process's program, the address lists, the
 * port list and, for queries to port 53, the domain list. Addresses are
 * judged only when their length covers them, and events carry at most the
 * bytes the caller gave, in a zeroed field.
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
#include <linux/uaccess.h>
#include <net/sock.h>
#include <net/tcp_states.h>
#include <net/inet_common.h>

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

static bool net_addr_set(struct net_addr *a, const void *addr, int len)
{
	memset(a->raw, 0, sizeof(a->raw));
	a->len = clamp(len, 0, ZT_ADDR_SIZE);
	if (addr)
		memcpy(a->raw, addr, a->len);
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

static int dns_listed(const char *name, void *arg)
{
	return exist_block_url_nocase(name);
}

/*
 * The caller holds list semaphores, so user memory is read without
 * faulting pages in; a buffer that is not resident is not inspected.
 */
static int filter_dns(const struct net_who *who, struct socket *sock,
		      struct msghdr *msg, const struct net_addr *a)
{
	char name[URL_BUF_SIZE];
	u8 hdr[DNS_HDR_LEN];
	const u8 __user *ubuf;
	size_t len, skip = 0;
	int count, ret = 0;
	u8 *body;

	if (sock->sk->sk_protocol == IPPROTO_TCP)
		skip = 2;	/* the 2-byte length in front of each message */
	else if (sock->sk->sk_protocol != IPPROTO_UDP)
		return 0;
	if (atomic_read(&num_block_url) <= 0 || a->t.port != htons(DNS_PORT))
		return 0;
	ubuf = zt_msg_user_buf(&msg->msg_iter, &len);
	if (!ubuf || len < skip + DNS_HDR_LEN)
		return 0;
	ubuf += skip;
	len = min_t(size_t, len - skip, DNS_MSG_MAX) - DNS_HDR_LEN;
	if (copy_from_user_nofault(hdr, ubuf, sizeof(hdr)))
		return 0;
	count = dns_query_count(hdr);
	pr_debug("zentrope: %s dns query count:%d\n", "filter_dns", count);
	if (count <= 0 || !len)
		return 0;
	body = kmalloc(len, GFP_ATOMIC | __GFP_NOWARN);
	if (!body)
		return 0;
	if (!copy_from_user_nofault(body, ubuf + DNS_HDR_LEN, len) &&
	    dns_find_question(body, len, count, name, dns_listed, NULL)) {
		pr_debug("zentrope: %s dns lookup name:%s succ\n", "filter_dns",
			 name);
		ret = net_refuse(who, a, ZT_TYPE_DNS, ZT_KIND_DNSLOOKUPING,
				 name);
	}
	kfree(body);
	return ret;
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

/* Program rules first; the caller holds the three semaphores. */
static int filter_process(struct net_who *who, int kind)
{
	int pid = task_tgid_nr(current);
	struct pid_prog_pair *rec, *srec;
	struct prog_info_struct *info;
	const u8 *digest = NULL;

	rec = find_pid_prog_pair(&pid_prog_pair_list, pid);
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

/*
 * Whether any rule could refuse the operation. Most traffic meets no rule
 * at all, and then costs no lock: the counts are read without one.
 */
static bool rules_apply(const struct msghdr *msg, int kind)
{
	if (atomic_read(&num_block_hash) > 0 ||
	    atomic_read(&num_block_prog_info) > 0 ||
	    atomic_read(&num_block_prog) > 0 ||
	    atomic_read(&num_interp_prog) > 0)
		return true;
	if (kind == ZT_KIND_BINDING)
		return atomic_read(&num_block_port) > 0;
	if (kind == ZT_KIND_SENDMSGING && msg && atomic_read(&num_block_url) > 0)
		return true;
	return atomic_read(&num_block_ipv4) > 0 ||
	       atomic_read(&num_block_ipv6) > 0;
}

/* @a is NULL when no address could be judged. */
static int filter(struct socket *sock, struct msghdr *msg, int size,
		  const struct net_addr *a, int kind)
{
	struct net_who who = {};
	int ret;

	if (!rules_apply(msg, kind))
		return 0;
	if (down_read_killable(&rwsem_block_prog_info))
		return 0;
	ret = 0;
	if (down_read_killable(&rwsem_pid_prog_pair_list))
		goto out_info;
	if (down_read_killable(&rwsem_pid_prog_pair_short_list))
		goto out_pairs;
	ret = filter_process(&who, kind);
	if (ret < 0 || !a)
		goto out;
	if (kind == ZT_KIND_SENDMSGING && msg && size > 0) {
		ret = filter_dns(&who, sock, msg, a);
		if (ret < 0)
			goto out;
	}
	if (kind == ZT_KIND_BINDING) {
		if (net_port_blocked(&a->t)) {
			pr_debug("zentrope: %s exist_block_port succ\n", "filter_port");
			ret = net_refuse(&who, a, ZT_TYPE_BIND, kind, NULL);
		}
	} else if (net_addr_blocked(&a->t)) {
		pr_debug("zentrope: %s exist_block_ip succ\n", "filter_addr");
		ret = net_refuse(&who, a, kind, kind, NULL);
	}
out:
	up_read(&rwsem_pid_prog_pair_short_list);
out_pairs:
	up_read(&rwsem_pid_prog_pair_list);
out_info:
	up_read(&rwsem_block_prog_info);
	return ret < 0 ? -EPERM : 0;
}

static bool inet_sock(const struct socket *sock)
{
	return sock->sk && (sock->sk->sk_family == AF_INET ||
			    sock->sk->sk_family == AF_INET6);
}

/* The connected peer of @sock into @a; false when there is none. */
static bool net_addr_peer(struct net_addr *a, struct socket *sock)
{
	struct sockaddr_storage peer = {};
	int len = kernel_getpeername(sock, (struct sockaddr *)&peer);

	return len > 0 && net_addr_set(a, &peer, len);
}

/* ---- hooks ---- */

static int judge_address(struct sockaddr *address, int addrlen, int kind)
{
	struct net_addr a;

	if (!net_addr_set(&a, address, addrlen))
		return 0;	/* not IPv4/IPv6, or short: the kernel's business */
	return filter(NULL, NULL, 0, &a, kind);
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
		ret = judge_address(address, addrlen, kind);
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

static int judge_send(struct socket *sock, struct msghdr *msg, int size)
{
	struct net_addr a;

	if (!rules_apply(msg, ZT_KIND_SENDMSGING))
		return 0;
	if (msg->msg_name) {
		if (!net_addr_set(&a, msg->msg_name, msg->msg_namelen))
			return 0;
	} else if (!inet_sock(sock) ||
		   READ_ONCE(sock->sk->sk_state) != TCP_ESTABLISHED ||
		   !net_addr_peer(&a, sock)) {
		return 0;
	}
	return filter(sock, msg, size, &a, ZT_KIND_SENDMSGING);
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
 * The peer of a socket connected before the call, else the source the
 * protocol filled in (only then does its length cover the address).
 */
static int judge_received(struct socket *sock, bool established,
			  const void *name, int namelen)
{
	struct net_addr a;

	if (established) {
		if (!net_addr_peer(&a, sock))
			return 0;
	} else if (!net_addr_set(&a, name, namelen)) {
		return 0;
	}
	return filter(sock, NULL, 0, &a, ZT_KIND_RECVMSGING);
}

int fh_inet_recvmsg(struct socket *sock, struct msghdr *msg, size_t size,
		    int flags)
{
	struct sockaddr_storage lent;
	struct fh_frame frame;
	bool user = fh_enter(&frame), established = false, lend;
	void *name;
	int ret, namelen;

	zt_test_count_call(&STATIC_CALL_KEY(real_inet_recvmsg));
	/* No rule: not even the source address is worth lending a buffer. */
	if (!user || !rules_apply(NULL, ZT_KIND_RECVMSGING)) {
		ret = static_call(real_inet_recvmsg)(sock, msg, size, flags);
		goto out;
	}
	established = READ_ONCE(sock->sk->sk_state) == TCP_ESTABLISHED;
	lend = !msg->msg_name;
	if (lend) {
		memset(&lent, 0, sizeof(lent));
		msg->msg_name = &lent;
		msg->msg_namelen = sizeof(lent);
	}
	ret = static_call(real_inet_recvmsg)(sock, msg, size, flags);
	name = msg->msg_name;
	namelen = ret >= 0 ? msg->msg_namelen : 0;
	if (lend) {
		msg->msg_name = NULL;
		msg->msg_namelen = 0;
	}
	if (ret >= 0 && judge_received(sock, established, name, namelen))
		ret = -EPERM;
out:
	fh_leave(&frame);
	return ret;
}
