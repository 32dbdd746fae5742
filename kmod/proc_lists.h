/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Per-process records: the program each process runs, its short name, the
 * interpreters that opened a blocked file, and the transient marks of opens
 * in progress. Keyed sets by thread-group id: hooks look records up under
 * RCU without waiting; counts are read without the lock.
 */
#ifndef ZENTROPE_PROC_LISTS_H
#define ZENTROPE_PROC_LISTS_H

#include <linux/types.h>
#include <linux/atomic.h>

#include "keyed_set.h"
#include "utils.h"

/* Element of the pid lists; the marks list uses the fixed part only. */
struct pid_prog_pair {
	struct zt_set_node node;
	s32 pid;
	u32 dev;
	u64 ino;
	u8 digest[SHA1_DIGEST_LEN];
	s32 digest_len;
	char name[];
};

/* An open by a listed interpreter that matched, until the open returns. */
struct interp_open_flag {
	struct zt_set_node node;	/* unused in a marker */
	s32 pid;
	const void *file;	/* compared by identity only */
};

#define DECLARE_PID_LIST(name)					\
	extern struct zt_set name;				\
	extern atomic_t num_##name

DECLARE_PID_LIST(pid_prog_pair_list);
DECLARE_PID_LIST(pid_prog_pair_short_list);
DECLARE_PID_LIST(interp_prog_opened_block_prog_list);
DECLARE_PID_LIST(flag_interp_prog_opened_block_prog_list);

int update_pid_prog_pair_list(int pid, const char *path, const u8 *digest,
			      int digest_len, u32 dev, u64 ino);
int update_pid_prog_pair_short_list(int pid, const char *name);
int delete_pid_prog_pair_list(int pid);
int delete_pid_prog_pair_short_list(int pid);

void update_interp_opened_block_prog_list(int pid);
int delete_interp_prog_opened_block_prog_list(int pid);
/* Whether @pid is marked. */
bool exist_interp_prog_opened_block_prog(int pid);

/* The element of @pid; the caller holds rcu_read_lock() or the lock. */
struct pid_prog_pair *find_pid_prog_pair(struct zt_set *s, int pid);

bool exist_flag_interp_prog_opened_block_prog(const struct interp_open_flag *m);
int update_flag_interp_prog_opened_block_prog_list(const struct interp_open_flag *m);
/* Never interruptible: a mark left behind would live as long as the module. */
void delete_flag_interp_prog_opened_block_prog_list(const struct interp_open_flag *m);

/*
 * A new process runs its parent's program: it gets the parent's records,
 * marks included, whatever signals the parent has pending.
 */
void proc_lists_fork(int parent, int child);

/*
 * Drops every record of @pid, also with a fatal signal pending: exiting
 * tasks are often killed ones, and a skipped delete would leak.
 */
void proc_lists_drop(int pid);

/* Frees every record; at unload. */
void proc_lists_exit(void);

#endif /* ZENTROPE_PROC_LISTS_H */
