// SPDX-License-Identifier: GPL-2.0
/*
 * The block-event channel: one listener registered over the netlink
 * connector, block events and control acknowledgements sent to it by
 * unicast, and the kernel-log fallback. Delivery is best effort: nothing is
 * queued or retried, and senders never sleep (except the acknowledgement,
 * sent only from process context).
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/sched.h>
#include <linux/cred.h>
#include <linux/capability.h>
#include <linux/pid_namespace.h>
#include <linux/user_namespace.h>
#include <linux/percpu.h>
#include <linux/preempt.h>
#include <linux/timekeeping.h>
#include <linux/uaccess.h>
#include <linux/fs.h>
#include <linux/dcache.h>
#include <linux/socket.h>
#include <linux/netlink.h>
#include <linux/notifier.h>
#include <linux/ratelimit.h>
#include <linux/rcupdate.h>
#include <linux/connector.h>
#include <net/net_namespace.h>
#include <net/sock.h>

#include "compat.h"
#include "ftrace_hook.h"
#include "event_fmt.h"
#include "msg.h"

/*
 * Message buffer: 4 spare bytes put the payload that follows the 20-byte
 * connector header on an 8-byte boundary.
 */
#define ZT_MSG_SPARE 4
#define ZT_MSG_BUF_SIZE (ZT_MSG_SPARE + ZT_CN_MSG_SIZE)

static_assert(sizeof(struct cn_msg) == ZT_CN_HDR_SIZE, "cn_msg size");
static_assert(ZT_MSG_BUF_SIZE == 4616, "message buffer size");
static_assert(ZT_AF_INET == AF_INET && ZT_AF_INET6 == AF_INET6,
	      "address families");
static_assert(ZT_COMM_SIZE == TASK_COMM_LEN, "command name size");
/* The connector creates its socket with CN_NETLINK_USERS + 0xf groups. */
static_assert(ZT_CN_GROUP <= CN_NETLINK_USERS + 0xf, "listener group");

struct kmem_cache *block_event_cache;
int quite;
int ulog = 1;
s64 portid_pid;
atomic64_t seq_zentrope_event = ATOMIC64_INIT(0);
static DEFINE_PER_CPU(u32, seq_msg);

static struct cn_dev *p_cdev;
static const struct cb_id cn_zentrope_id = { ZT_CN_IDX, ZT_CN_VAL };
static char cn_zentrope_name[16] = "zentrope";

/* At least one socket subscribes to the daemon's group. */
static int zt_group_has_listeners(void)
{
	return netlink_has_listeners(p_cdev->nls, ZT_CN_GROUP);
}

static struct cn_msg *zt_msg_cn(void *buf)
{
	return buf + ZT_MSG_SPARE;
}

static struct event_payload *zt_msg_payload(struct cn_msg *cn)
{
	return (struct event_payload *)cn->data;
}

/* Called with preemption disabled: seq_msg is this CPU's. */
static void zt_fill_cn(struct cn_msg *cn, u32 ack)
{
	cn->id = cn_zentrope_id;
	cn->ack = ack;
	cn->len = ZT_PAYLOAD_SIZE;
	cn->flags = 0;
	cn->seq = __this_cpu_read(seq_msg);
	__this_cpu_inc(seq_msg);
}

/*
 * Unicast to @portid, preemption disabled. A vanished listener is
 * forgotten, unless a subscriber of the group is around to take over; the
 * exchange keeps a registration that arrived meanwhile.
 */
static void zt_unicast(struct cn_msg *cn, s64 portid)
{
	int ret = cn_netlink_send(cn, (u32)portid, 0, GFP_ATOMIC);

	if (ret != -ESRCH && ret != -ECONNREFUSED)
		return;
	if (zt_group_has_listeners())
		return;
	if (cmpxchg(&portid_pid, portid, 0) == portid)
		pr_debug("zentrope: %s Send msg to %lld fail.  no listen process\n",
			 __func__, portid);
}

int send_block_event(const struct block_event *ev, int len)
{
	s64 portid = READ_ONCE(portid_pid);
	struct cn_msg *cn;
	void *buf;

	if (portid <= 0)
		return 0;
	if (!ev || !event_len_ok(len))
		return -EINVAL;
	buf = kzalloc(ZT_MSG_BUF_SIZE, GFP_ATOMIC);
	if (!buf)
		return -ENOMEM;
	cn = zt_msg_cn(buf);
	preempt_disable();
	event_payload_fill(zt_msg_payload(cn), ZT_MSG_EVENT, smp_processor_id(),
			   atomic64_inc_return(&seq_zentrope_event),
			   ktime_get_real_ns(), ev, len);
	zt_fill_cn(cn, 0);
	zt_unicast(cn, portid);
	preempt_enable();
	kfree(buf);
	return len;
}

static void zt_send_ack(int code, u32 ack, gfp_t gfp)
{
	s64 portid = READ_ONCE(portid_pid);
	struct event_payload *p;
	struct cn_msg *cn;
	void *buf;

	if (portid <= 0)
		return;
	buf = kzalloc(ZT_MSG_BUF_SIZE, gfp);
	if (!buf)
		return;
	cn = zt_msg_cn(buf);
	p = zt_msg_payload(cn);
	preempt_disable();
	event_payload_fill(p, ZT_MSG_ACK, smp_processor_id(), 0,
			   ktime_get_ns(), NULL, 0);
	p->event.type = code;
	zt_fill_cn(cn, ack + 1);
	zt_unicast(cn, portid);
	preempt_enable();
	kfree(buf);
}

/* @seq does not reach the message; @ack + 1 does (all ones gives 0). */
void cn_zentrope_ack(int code, u64 seq, u32 ack)
{
	zt_send_ack(code, ack, GFP_KERNEL);
}

/* A registered listener is replaced only by a subscriber of the group. */
static void zt_register_listener(u32 portid)
{
	if (READ_ONCE(portid_pid) > 0) {
		if (zt_group_has_listeners() == 1)
			WRITE_ONCE(portid_pid, portid);
		return;
	}
	WRITE_ONCE(portid_pid, portid);
	pr_debug("zentrope: %s Process %lld listen\n", __func__, (s64)portid);
}

/*
 * Any user may send listen requests as fast as it likes: the listener
 * hears of refused ones, but not of each.
 */
static DEFINE_RATELIMIT_STATE(zt_denied_rs, 5 * HZ, 1);

/*
 * Listen requests. The connector calls this synchronously in the sender's
 * sendmsg(), so current is the sending task. Events name tasks as the
 * initial namespaces see them, hence only senders living there may listen.
 *
 * The connector may still call this after cn_del_callback() has returned;
 * removal then waits an RCU-tasks grace period, which holds only while no
 * caller can sleep in here. Preemption stays off so that a sleep shows.
 */
static void cn_zentrope_mcast_ctl(struct cn_msg *msg,
				  struct netlink_skb_parms *nsp)
{
	if (msg->len != ZT_LISTEN_LEN)
		return;
	if (current_user_ns() != &init_user_ns ||
	    task_active_pid_ns(current) != &init_pid_ns)
		return;
	preempt_disable();
	/* netlink_capable() without the skb: the opener and the sender. */
	if (!__netlink_ns_capable(nsp, &init_user_ns, CAP_NET_ADMIN)) {
		if (__ratelimit(&zt_denied_rs))
			zt_send_ack(ZT_ACK_DENIED, msg->ack, GFP_ATOMIC);
	} else {
		zt_register_listener(nsp->portid);
	}
	preempt_enable();
}

/*
 * The listener is the socket that registered, not whoever holds its port
 * id later: forget it as soon as that socket is released, so a socket
 * bound to the same id afterwards gets nothing. Port ids are per network
 * namespace, and the connector lives in the initial one.
 */
static int zt_netlink_event(struct notifier_block *nb, unsigned long event,
			    void *ptr)
{
	const struct netlink_notify *n = ptr;
	s64 portid = READ_ONCE(portid_pid);

	if (event != NETLINK_URELEASE || n->protocol != NETLINK_CONNECTOR ||
	    !net_eq(n->net, &init_net) || portid <= 0 || n->portid != portid)
		return NOTIFY_DONE;
	if (cmpxchg(&portid_pid, portid, 0) == portid)
		pr_debug("zentrope: %s listener %lld released\n", __func__, portid);
	return NOTIFY_OK;
}

static struct notifier_block zt_netlink_nb = {
	.notifier_call = zt_netlink_event,
};

/*
 * "cdev" is looked up by name; netlink_has_listeners() BUGs on anything but
 * a kernel socket, so check, without faulting, that the object is the
 * connector device: its queue points back at its netlink socket, of the
 * connector protocol.
 */
static bool zt_cdev_valid(const struct cn_dev *dev)
{
	struct cn_dev copy;
	struct sock *qnls;
	u16 family, protocol;
	char name[8];

	if (copy_from_kernel_nofault(&copy, dev, sizeof(copy)))
		return false;
	if (!copy.nls || !copy.cbdev)
		return false;
	if (copy_from_kernel_nofault(&qnls, &copy.cbdev->nls, sizeof(qnls)) ||
	    qnls != copy.nls)
		return false;
	if (copy_from_kernel_nofault(name, copy.cbdev->name, sizeof(name)) ||
	    strncmp(name, "cqueue", sizeof(name)))
		return false;
	if (copy_from_kernel_nofault(&family, &copy.nls->sk_family,
				     sizeof(family)) ||
	    copy_from_kernel_nofault(&protocol, &copy.nls->sk_protocol,
				     sizeof(protocol)))
		return false;
	return family == AF_NETLINK && protocol == NETLINK_CONNECTOR;
}

int init_zentrope_msg(void)
{
	struct cn_dev *dev = find_kallsyms_addr("cdev");
	int ret;

	if (!dev) {
		pr_debug("zentrope: %s not find symbol 'cdev'\n", __func__);
		return -1;
	}
	if (!zt_cdev_valid(dev)) {
		pr_err("zentrope: %s symbol 'cdev' is not the connector device\n",
		       __func__);
		return -1;
	}
	p_cdev = dev;
	ret = netlink_register_notifier(&zt_netlink_nb);
	if (ret)
		return ret;
	ret = cn_add_callback(&cn_zentrope_id, cn_zentrope_name,
			      cn_zentrope_mcast_ctl);
	if (ret < 0) {
		netlink_unregister_notifier(&zt_netlink_nb);
		return ret;
	}
	return 0;
}

int exit_zentrope_msg(void)
{
	cn_del_callback(&cn_zentrope_id);
	/* Callers that found the callback before it went, still inside it. */
	synchronize_rcu_tasks();
	netlink_unregister_notifier(&zt_netlink_nb);
	WRITE_ONCE(portid_pid, 0);
	return 0;
}

struct block_event *block_event_buf_reserve(void)
{
	if (!block_event_cache)
		return NULL;
	return kmem_cache_zalloc(block_event_cache, GFP_ATOMIC);
}

void block_event_fill_current(struct block_event *ev)
{
	event_set_task(ev, task_tgid_nr(current), current->comm);
}

struct block_event *block_event_refusal(u32 type, u32 kind)
{
	struct block_event *ev;

	if (READ_ONCE(quite))
		return NULL;
	ev = block_event_buf_reserve();
	if (!ev)
		return NULL;
	block_event_fill_current(ev);
	ev->type = type;
	ev->kind = kind;
	return ev;
}

void printk_event(const struct block_event *ev)
{
	char *line;

	if (!ev || READ_ONCE(quite))
		return;
	line = kmalloc(EVENT_LINE_MAX, GFP_ATOMIC | __GFP_NOWARN);
	if (!line)
		return;
	/* Any user can make refusals by the thousand; the channel has each. */
	if (event_log_line(line, EVENT_LINE_MAX, ev, 0))
		pr_info_ratelimited("%s", line);
	kfree(line);
}

void block_event_send(struct block_event *ev)
{
	if (!ev)
		return;
	if (READ_ONCE(ulog))
		send_block_event(ev, BLOCK_EVENT_SIZE);
	else
		printk_event(ev);
	kmem_cache_free(block_event_cache, ev);
}

void send_block_hash_event(const char *path, const u8 *digest, int len)
{
	struct block_event *ev = block_event_buf_reserve();

	if (!ev)
		return;
	block_event_fill_current(ev);
	event_fill_hash_block(ev, path, digest, len);
	block_event_send(ev);
}

void send_block_prog_info_event(const char *name)
{
	struct block_event *ev = block_event_buf_reserve();

	if (!ev)
		return;
	block_event_fill_current(ev);
	event_fill_prog_info_block(ev, name);
	block_event_send(ev);
}

/* The last path component of @file, overlay dentries resolved. */
static void send_file_name_event(struct file *file)
{
	struct name_snapshot snap;

	take_dentry_name_snapshot(&snap, zt_d_real(file->f_path.dentry));
	send_block_prog_info_event((const char *)snap.name.name);
	release_dentry_name_snapshot(&snap);
}

void send_strict_block_event(int kind, const char *name, struct file *file,
			     const u8 *digest, int len)
{
	switch (kind) {
	case STRICT_BLOCK_HASH:
		send_block_hash_event(name, digest, len);
		break;
	case STRICT_BLOCK_INFO:
		if (!name && file)
			send_file_name_event(file);
		else
			send_block_prog_info_event(name);
		break;
	case STRICT_BLOCK_NAME:
		send_block_prog_info_event(name);
		break;
	}
}
