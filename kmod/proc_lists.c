// SPDX-License-Identifier: GPL-2.0
/*
 * Per-process records. Hooks of every task change these sets, often from
 * paths that must not recurse into file systems for memory, so elements
 * are allocated without sleeping and tables without file-system reclaim.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "proc_lists.h"

/* Hooks hold these writers: they never wait for a grace period. */
#define DEFINE_PID_LIST(name)						\
	atomic_t num_##name = ATOMIC_INIT(0);				\
	struct zt_set name = ZT_SET_INIT(name, &num_##name, GFP_NOFS, false)

DEFINE_PID_LIST(pid_prog_pair_list);
DEFINE_PID_LIST(pid_prog_pair_short_list);
DEFINE_PID_LIST(interp_prog_opened_block_prog_list);
DEFINE_PID_LIST(flag_interp_prog_opened_block_prog_list);

static_assert(offsetof(struct pid_prog_pair, node) == 0);
static_assert(offsetof(struct interp_open_flag, node) == 0);

#define PROC_GFP (GFP_ATOMIC | __GFP_NOWARN)

static bool pid_eq(const struct zt_set_node *n, const void *key)
{
	return container_of(n, struct pid_prog_pair, node)->pid ==
	       *(const int *)key;
}

struct pid_prog_pair *find_pid_prog_pair(struct zt_set *s, int pid)
{
	struct zt_set_node *n = zt_set_find(s, pid, pid_eq, &pid);

	return n ? container_of(n, struct pid_prog_pair, node) : NULL;
}

static struct pid_prog_pair *new_pair(int pid, const char *name,
				      const u8 *digest, int digest_len,
				      u32 dev, u64 ino)
{
	size_t len = strlen(name);
	struct pid_prog_pair *e;

	e = kzalloc(sizeof(*e) + len + 1, PROC_GFP);
	if (!e)
		return NULL;
	e->pid = pid;
	e->dev = dev;
	e->ino = ino;
	if (digest && digest_len > 0) {
		e->digest_len = min(digest_len, SHA1_DIGEST_LEN);
		memcpy(e->digest, digest, e->digest_len);
	}
	memcpy(e->name, name, len);
	return e;
}

/*
 * Under the lock: @e (or nothing, when NULL) takes the place of @pid's
 * element. The new one is linked first, in front of the old in their
 * bucket, so a lookup never misses the process in between.
 */
static int replace_locked(struct zt_set *s, int pid, struct pid_prog_pair *e)
{
	struct pid_prog_pair *old = find_pid_prog_pair(s, pid);
	int ret = e ? zt_set_link(s, &e->node, pid) : -ENOMEM;

	if (old)
		zt_set_unlink(s, &old->node);
	if (ret)
		kfree(e);
	return ret;
}

static int update_pid_list(struct zt_set *s, int pid, const char *name,
			   const u8 *digest, int digest_len, u32 dev, u64 ino)
{
	struct pid_prog_pair *e;
	int ret;

	if (!name || !name[0])
		return -1;
	if (pid <= 0)
		return -EINVAL;
	e = new_pair(pid, name, digest, digest_len, dev, ino);
	if (zt_set_lock(s)) {
		kfree(e);
		return -EINTR;
	}
	ret = replace_locked(s, pid, e);
	zt_set_unlock(s);
	return ret;
}

int update_pid_prog_pair_list(int pid, const char *path, const u8 *digest,
			      int digest_len, u32 dev, u64 ino)
{
	return update_pid_list(&pid_prog_pair_list, pid, path, digest,
			       digest_len, dev, ino);
}

int update_pid_prog_pair_short_list(int pid, const char *name)
{
	return update_pid_list(&pid_prog_pair_short_list, pid, name, NULL, 0,
			       0, 0);
}

static int delete_pid_list(struct zt_set *s, int pid)
{
	int ret = zt_set_remove(s, pid, pid_eq, &pid);

	return ret < 0 ? ret : 0;
}

int delete_pid_prog_pair_list(int pid)
{
	return delete_pid_list(&pid_prog_pair_list, pid);
}

int delete_pid_prog_pair_short_list(int pid)
{
	return delete_pid_list(&pid_prog_pair_short_list, pid);
}

int delete_interp_prog_opened_block_prog_list(int pid)
{
	if (!pid)
		return -1;
	return delete_pid_list(&interp_prog_opened_block_prog_list, pid);
}

bool exist_interp_prog_opened_block_prog(int pid)
{
	return zt_set_contains(&interp_prog_opened_block_prog_list, pid,
			       pid_eq, &pid);
}

void update_interp_opened_block_prog_list(int pid)
{
	struct pid_prog_pair *e;

	if (!pid || exist_interp_prog_opened_block_prog(pid))
		return;
	e = kzalloc(sizeof(*e), PROC_GFP);
	if (!e) {
		pr_err("zentrope: %s kzalloc err\n",
		       "update_interp_prog_opened_block_prog_list");
		return;
	}
	e->pid = pid;
	/* Two opens of one process may race here: the set adds one. */
	if (zt_set_add(&interp_prog_opened_block_prog_list, &e->node, pid,
		       pid_eq, &pid) <= 0)
		kfree(e);
}

static u32 flag_hash(const struct interp_open_flag *m)
{
	unsigned long file = (unsigned long)m->file;

	return (u32)m->pid ^ (u32)file ^ (u32)(file >> 32);
}

static bool flag_eq(const struct zt_set_node *n, const void *key)
{
	const struct interp_open_flag *e, *m = key;

	e = container_of(n, struct interp_open_flag, node);
	return e->pid == m->pid && e->file == m->file;
}

bool exist_flag_interp_prog_opened_block_prog(const struct interp_open_flag *m)
{
	return zt_set_contains(&flag_interp_prog_opened_block_prog_list,
			       flag_hash(m), flag_eq, m);
}

int update_flag_interp_prog_opened_block_prog_list(const struct interp_open_flag *m)
{
	struct interp_open_flag *e = kzalloc(sizeof(*e), PROC_GFP);
	int ret;

	if (!e) {
		pr_err("zentrope: %s kzalloc err\n",
		       "update_flag_interp_prog_opened_block_prog_list");
		return -ENOMEM;
	}
	e->pid = m->pid;
	e->file = m->file;
	ret = zt_set_add(&flag_interp_prog_opened_block_prog_list, &e->node,
			 flag_hash(m), flag_eq, m);
	if (ret <= 0)
		kfree(e);
	return ret < 0 ? ret : 0;
}

void delete_flag_interp_prog_opened_block_prog_list(const struct interp_open_flag *m)
{
	zt_set_remove_always(&flag_interp_prog_opened_block_prog_list,
			     flag_hash(m), flag_eq, m);
}

/*
 * Gives @child a copy of @parent's element, replacing any it had. The
 * marks list's elements carry no name.
 */
static void copy_pid(struct zt_set *s, bool named, int parent, int child)
{
	struct pid_prog_pair *from, *copy;
	size_t size;

	if (atomic_read(s->count) <= 0)
		return;
	zt_set_lock_always(s);
	from = find_pid_prog_pair(s, parent);
	if (!from)
		goto out;
	size = sizeof(*from) + (named ? strlen(from->name) + 1 : 0);
	copy = kmemdup(from, size, PROC_GFP);
	if (!copy) {
		pr_err_ratelimited("zentrope: %s kzalloc err\n", "proc_lists_fork");
		goto out;
	}
	copy->pid = child;
	replace_locked(s, child, copy);
out:
	zt_set_unlock(s);
}

void proc_lists_fork(int parent, int child)
{
	copy_pid(&pid_prog_pair_list, true, parent, child);
	copy_pid(&pid_prog_pair_short_list, true, parent, child);
	copy_pid(&interp_prog_opened_block_prog_list, false, parent, child);
}

void proc_lists_drop(int pid)
{
	zt_set_remove_always(&pid_prog_pair_list, pid, pid_eq, &pid);
	zt_set_remove_always(&pid_prog_pair_short_list, pid, pid_eq, &pid);
	zt_set_remove_always(&interp_prog_opened_block_prog_list, pid, pid_eq,
			     &pid);
}

void proc_lists_exit(void)
{
	zt_set_exit(&pid_prog_pair_list);
	zt_set_exit(&pid_prog_pair_short_list);
	zt_set_exit(&interp_prog_opened_block_prog_list);
	zt_set_exit(&flag_interp_prog_opened_block_prog_list);
	rcu_barrier();
}
