// SPDX-License-Identifier: GPL-2.0
/*
 * The network verdict: a recorded process's program rules, then the
 * address and port lists and, for a query to port 53, the domain list.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/mm_types.h>
#include <linux/rcupdate.h>
#include <linux/sched.h>
#include <linux/string.h>

#include "block_hash.h"
#include "dns.h"
#include "event_fmt.h"
#include "exec_record.h"
#include "msg.h"
#include "proc_lists.h"
#include "net_verdict.h"

/* Reports the refusal; @a and @url_enc are what the event names, if any. */
static int net_refuse(const struct event_identity *who,
		      const struct net_addr *a, u32 type, u32 kind,
		      const char *url_enc)
{
	struct block_event *ev = block_event_refusal(type, kind);

	if (!ev)
		return -EPERM;
	if (a)
		memcpy(ev->addr, a->raw, sizeof(ev->addr));
	if (url_enc)
		recover_url(ev->url, sizeof(ev->url), url_enc,
			    strnlen(url_enc, URL_MAX_ENCODED));
	event_set_identity(ev, who);
	block_event_send(ev);
	return -EPERM;
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

static int net_report(const struct event_identity *who,
		      const struct net_addr *a, u32 type, int kind,
		      const char *name)
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

/*
 * The executable's identity rule, if the process runs a listed file. The
 * executable is read under RCU, without a reference: files and inodes are
 * freed only after a grace period, and only an exec or prctl of this
 * process itself replaces it.
 */
static struct prog_info_struct *exe_prog_info(void)
{
	struct file *exe;
	u32 dev = 0;
	u64 ino = 0;

	if (atomic_read(&num_block_prog_info) <= 0 || !current->mm)
		return NULL;
	rcu_read_lock();
	exe = rcu_dereference(current->mm->exe_file);
	if (exe)
		file_identity(exe, &dev, &ino);
	rcu_read_unlock();
	return exe ? find_block_prog_info(dev, ino) : NULL;
}

/* -EPERM, reported, when the program's rules refuse the operation. */
static int prog_refused(const struct filter_input *in, int kind)
{
	const struct event_identity id = {
		.digest = in->digest, .hash_hit = in->hash_hit,
		.info_name = in->info ? in->info->name : NULL,
		.path = in->path, .short_name = in->short_name,
	};

	if (!filter_prog_decide(in))
		return 0;
	return net_refuse(&id, NULL, ZT_TYPE_PROG, kind, NULL);
}

static bool rec_hash_blocked(const struct pid_prog_pair *rec)
{
	return rec->digest_len > 0 &&
	       !buf_is_zero(rec->digest, rec->digest_len) &&
	       exist_block_hash(rec->digest, rec->digest_len);
}

/*
 * Program rules first: the recorded digest, the executable's identity,
 * then the recorded names. The caller holds rcu_read_lock().
 */
static int filter_process(struct event_identity *who,
			  const struct pid_prog_pair *rec, int kind)
{
	struct filter_input in = { .pid = task_tgid_nr(current) };
	struct pid_prog_pair *srec;

	if (rec) {
		in.digest = rec->digest;
		in.dev = rec->dev;
		in.ino = rec->ino;
		who->path = rec->name;
		if (rec_hash_blocked(rec)) {
			in.hash_hit = 1;
			return prog_refused(&in, kind);
		}
	}
	/* An identity rule refuses whatever the records say. */
	in.info = exe_prog_info();
	if (in.info)
		return prog_refused(&in, kind);
	srec = find_pid_prog_pair(&pid_prog_pair_short_list, in.pid);
	if (srec)
		who->short_name = srec->name;
	in.path = who->path;
	in.path_len = who->path ? strlen(who->path) : 0;
	in.short_name = who->short_name;
	in.short_len = who->short_name ? strlen(who->short_name) : 0;
	return prog_refused(&in, kind);
}

/* Whether the calling process's program could refuse the operation. */
static bool prog_rules_apply(void)
{
	return atomic_read(&num_block_hash) > 0 ||
	       atomic_read(&num_block_prog_info) > 0 ||
	       atomic_read(&num_block_prog) > 0 ||
	       atomic_read(&num_interp_prog) > 0;
}

bool net_rules_apply(int kind)
{
	if (prog_rules_apply())
		return true;
	if (kind == ZT_KIND_BINDING)
		return atomic_read(&num_block_port) > 0;
	if (kind == ZT_KIND_SENDMSGING && atomic_read(&num_block_url) > 0)
		return true;
	return atomic_read(&num_block_ipv4) > 0 ||
	       atomic_read(&num_block_ipv6) > 0;
}

static int filter_locked(const struct pid_prog_pair *rec,
			 const struct net_addr *a, const struct dns_query *q,
			 int kind)
{
	struct event_identity who = {};
	char name[URL_BUF_SIZE];
	u32 type;
	int ret;

	ret = filter_process(&who, rec, kind);
	if (ret < 0 || !a)
		return ret;
	type = net_verdict(a, q, kind, name);
	return type ? net_report(&who, a, type, kind, name) : 0;
}

/*
 * The records and rules are read under RCU, so nothing here waits. A
 * process without a record (it was started before the module was loaded)
 * is recorded from its executable first, outside the section.
 */
int net_judge(const struct net_addr *a, const struct dns_query *q, int kind)
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

