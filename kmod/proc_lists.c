// SPDX-License-Identifier: GPL-2.0
/*
 * Per-process records. Hooks of every task change these lists, often from
 * paths that must not sleep for memory, so elements are allocated without
 * sleeping; the semaphores are only ever held for short list walks.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "proc_lists.h"

#define DEFINE_PID_LIST(name)					\
	LIST_HEAD(name);					\
	DECLARE_RWSEM(rwsem_##name);				\
	atomic_t num_##name = ATOMIC_INIT(0)

DEFINE_PID_LIST(pid_prog_pair_list);
DEFINE_PID_LIST(pid_prog_pair_short_list);
DEFINE_PID_LIST(interp_prog_opened_block_prog_list);
DEFINE_PID_LIST(flag_interp_prog_opened_block_prog_list);

#define PROC_GFP (GFP_ATOMIC | __GFP_NOWARN)

struct pid_prog_pair *find_pid_prog_pair(struct list_head *head, int pid)
{
	struct pid_prog_pair *e;

	list_for_each_entry(e, head, list) {
		if (e->pid == pid)
			return e;
	}
	return NULL;
}

static bool unlink_pid(struct list_head *head, int pid)
{
	struct pid_prog_pair *e = find_pid_prog_pair(head, pid);

	if (!e)
		return false;
	list_del(&e->list);
	kfree(e);
	return true;
}

int __update_pid_prog_pair(struct list_head *head, int pid, const char *name,
			   int len, const u8 *digest, int digest_len, u32 dev,
			   u64 ino)
{
	struct pid_prog_pair *e;
	bool replaced;

	if (pid <= 0 || !name || len <= 0)
		return -EINVAL;
	replaced = unlink_pid(head, pid);
	e = kzalloc(sizeof(*e) + len + 1, PROC_GFP);
	if (!e)
		return -ENOMEM;
	e->pid = pid;
	e->dev = dev;
	e->ino = ino;
	if (digest && digest_len > 0) {
		e->digest_len = min(digest_len, SHA1_DIGEST_LEN);
		memcpy(e->digest, digest, e->digest_len);
	}
	memcpy(e->name, name, len);
	list_add(&e->list, head);
	return replaced ? 0 : 1;
}

static int update_pid_list(struct list_head *head, struct rw_semaphore *sem,
			   atomic_t *num, int pid, const char *name,
			   const u8 *digest, int digest_len, u32 dev, u64 ino)
{
	bool had;
	int ret;

	if (!name || !name[0])
		return -1;
	ret = down_write_killable(sem);
	if (ret)
		return ret;
	had = find_pid_prog_pair(head, pid);
	ret = __update_pid_prog_pair(head, pid, name, strlen(name), digest,
				     digest_len, dev, ino);
	if (ret == 1)
		atomic_inc(num);
	else if (ret == -ENOMEM && had)
		atomic_dec(num);	/* the old element went without a successor */
	up_write(sem);
	return ret < 0 ? ret : 0;
}

int update_pid_prog_pair_list(int pid, const char *path, const u8 *digest,
			      int digest_len, u32 dev, u64 ino)
{
	return update_pid_list(&pid_prog_pair_list,
			       &rwsem_pid_prog_pair_list,
			       &num_pid_prog_pair_list, pid, path, digest,
			       digest_len, dev, ino);
}

int update_pid_prog_pair_short_list(int pid, const char *name)
{
	return update_pid_list(&pid_prog_pair_short_list,
			       &rwsem_pid_prog_pair_short_list,
			       &num_pid_prog_pair_short_list, pid, name, NULL,
			       0, 0, 0);
}

static void unlink_counted(struct list_head *head, atomic_t *num, int pid)
{
	if (unlink_pid(head, pid))
		atomic_dec(num);
}

static int delete_pid_list(struct list_head *head, struct rw_semaphore *sem,
			   atomic_t *num, int pid)
{
	int ret = down_write_killable(sem);

	if (ret)
		return ret;
	unlink_counted(head, num, pid);
	up_write(sem);
	return 0;
}

int delete_pid_prog_pair_list(int pid)
{
	return delete_pid_list(&pid_prog_pair_list, &rwsem_pid_prog_pair_list,
			       &num_pid_prog_pair_list, pid);
}

int delete_pid_prog_pair_short_list(int pid)
{
	return delete_pid_list(&pid_prog_pair_short_list,
			       &rwsem_pid_prog_pair_short_list,
			       &num_pid_prog_pair_short_list, pid);
}

int delete_interp_prog_opened_block_prog_list(int pid)
{
	if (!pid)
		return -1;
	return delete_pid_list(&interp_prog_opened_block_prog_list,
			       &rwsem_interp_prog_opened_block_prog_list,
			       &num_interp_prog_opened_block_prog_list, pid);
}

bool exist_interp_prog_opened_block_prog(int pid)
{
	bool found;

	if (down_read_killable(&rwsem_interp_prog_opened_block_prog_list))
		return false;
	found = find_pid_prog_pair(&interp_prog_opened_block_prog_list, pid);
	up_read(&rwsem_interp_prog_opened_block_prog_list);
	return found;
}

void update_interp_opened_block_prog_list(int pid)
{
	struct pid_prog_pair *e;

	if (!pid || exist_interp_prog_opened_block_prog(pid))
		return;
	if (down_write_killable(&rwsem_interp_prog_opened_block_prog_list))
		return;
	/* Two opens of one process may race here: look again. */
	if (!find_pid_prog_pair(&interp_prog_opened_block_prog_list, pid)) {
		e = kzalloc(sizeof(*e), PROC_GFP);
		if (e) {
			e->pid = pid;
			list_add(&e->list, &interp_prog_opened_block_prog_list);
			atomic_inc(&num_interp_prog_opened_block_prog_list);
		} else {
			pr_err("zentrope: %s kzalloc err\n",
			       "update_interp_prog_opened_block_prog_list");
		}
	}
	up_write(&rwsem_interp_prog_opened_block_prog_list);
}

static struct interp_open_flag *find_flag(const struct interp_open_flag *m)
{
	struct interp_open_flag *e;

	list_for_each_entry(e, &flag_interp_prog_opened_block_prog_list, list) {
		if (e->pid == m->pid && e->file == m->file)
			return e;
	}
	return NULL;
}

bool exist_flag_interp_prog_opened_block_prog(const struct interp_open_flag *m)
{
	bool found;

	if (down_read_killable(&rwsem_flag_interp_prog_opened_block_prog_list))
		return false;
	found = find_flag(m);
	up_read(&rwsem_flag_interp_prog_opened_block_prog_list);
	return found;
}

int update_flag_interp_prog_opened_block_prog_list(const struct interp_open_flag *m)
{
	struct interp_open_flag *e;
	int ret;

	ret = down_write_killable(&rwsem_flag_interp_prog_opened_block_prog_list);
	if (ret)
		return ret;
	if (!find_flag(m)) {
		e = kzalloc(sizeof(*e), PROC_GFP);
		if (e) {
			e->pid = m->pid;
			e->file = m->file;
			list_add(&e->list, &flag_interp_prog_opened_block_prog_list);
			atomic_inc(&num_flag_interp_prog_opened_block_prog_list);
		} else {
			pr_err("zentrope: %s kzalloc err\n",
			       "update_flag_interp_prog_opened_block_prog_list");
			ret = -ENOMEM;
		}
	}
	up_write(&rwsem_flag_interp_prog_opened_block_prog_list);
	return ret;
}

void delete_flag_interp_prog_opened_block_prog_list(const struct interp_open_flag *m)
{
	struct interp_open_flag *e;

	down_write(&rwsem_flag_interp_prog_opened_block_prog_list);
	e = find_flag(m);
	if (e) {
		list_del(&e->list);
		kfree(e);
		atomic_dec(&num_flag_interp_prog_opened_block_prog_list);
	}
	up_write(&rwsem_flag_interp_prog_opened_block_prog_list);
}

/*
 * Gives @child a copy of @parent's element, in one walk under the write
 * lock, replacing any it had. The marks list's elements carry no name.
 */
static void copy_pid(struct list_head *head, struct rw_semaphore *sem,
		     atomic_t *num, bool named, int parent, int child)
{
	struct pid_prog_pair *e, *from = NULL, *old = NULL, *copy;
	size_t size;

	if (atomic_read(num) <= 0)
		return;
	down_write(sem);
	list_for_each_entry(e, head, list) {
		if (e->pid == parent)
			from = e;
		else if (e->pid == child)
			old = e;
	}
	if (!from)
		goto out;
	size = sizeof(*from) + (named ? strlen(from->name) + 1 : 0);
	copy = kzalloc(size, PROC_GFP);
	if (!copy) {
		pr_err_ratelimited("zentrope: %s kzalloc err\n", "proc_lists_fork");
		goto out;
	}
	memcpy(copy, from, size);
	copy->pid = child;
	list_add(&copy->list, head);
	if (old) {
		list_del(&old->list);
		kfree(old);
	} else {
		atomic_inc(num);
	}
out:
	up_write(sem);
}

#define COPY_PID(name, named, parent, child) \
	copy_pid(&name, &rwsem_##name, &num_##name, named, parent, child)

void proc_lists_fork(int parent, int child)
{
	COPY_PID(pid_prog_pair_list, true, parent, child);
	COPY_PID(pid_prog_pair_short_list, true, parent, child);
	COPY_PID(interp_prog_opened_block_prog_list, false, parent, child);
}

#define DROP_PID(name, pid)						\
	do {								\
		down_write(&rwsem_##name);				\
		unlink_counted(&name, &num_##name, pid);		\
		up_write(&rwsem_##name);				\
	} while (0)

void proc_lists_drop(int pid)
{
	DROP_PID(pid_prog_pair_list, pid);
	DROP_PID(pid_prog_pair_short_list, pid);
	DROP_PID(interp_prog_opened_block_prog_list, pid);
}

#define FREE_ALL(name, type)						\
	do {								\
		type *e, *n;						\
		down_write(&rwsem_##name);				\
		list_for_each_entry_safe(e, n, &name, list) {		\
			list_del(&e->list);				\
			kfree(e);					\
		}							\
		atomic_set(&num_##name, 0);				\
		up_write(&rwsem_##name);				\
	} while (0)

void proc_lists_exit(void)
{
	FREE_ALL(pid_prog_pair_list, struct pid_prog_pair);
	FREE_ALL(pid_prog_pair_short_list, struct pid_prog_pair);
	FREE_ALL(interp_prog_opened_block_prog_list, struct pid_prog_pair);
	FREE_ALL(flag_interp_prog_opened_block_prog_list, struct interp_open_flag);
}
