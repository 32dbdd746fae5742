/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Program enforcement: the exec check, the open check of listed
 * interpreters, and the verdict on a recorded process's network operation.
 */
#ifndef ZENTROPE_EXEC_H
#define ZENTROPE_EXEC_H

#include <linux/types.h>

#include "compat.h"
#include "ftrace_hook.h"
#include "decide.h"

struct file;
struct linux_binprm;
struct task_struct;

/* is_strict_block() options: the digest was checked against the mark. */
#define STRICT_OPT_DIGEST_CHECKED 1

int is_strict_block(const char *path, struct file *file, const u8 *digest,
		    int len, int *hashed, int options);

struct exec_record;

/*
 * 0 lets the exec go on, with *@out (freed by the caller) what to record
 * once it has committed; -EPERM refuses it (and reports).
 */
int add_pid_prog_pair_list(struct linux_binprm *bprm,
			   struct exec_record **out);

/*
 * Records the current process's program from its executable, for a
 * process that has no record (it was started before the module was
 * loaded, or an allocation failed): 0 or -errno. May sleep.
 */
int record_current_exe(void);

/*
 * -EPERM when the process described is refused operation @kind (a block
 * event kind), after reporting it; 0 otherwise.
 */
int filter_prog(struct prog_info_struct *info, int hash_hit, const u8 *digest,
		u32 dev, u64 ino, const char *path, int path_len,
		const char *short_name, int short_len, int pid, int kind);

/* Handlers and call-throughs of the hook table (hooks.c). */
int fh_bprm_execve(ZT_BPRM_EXECVE_PARAMS);
void fh_exit_signals(struct task_struct *tsk);
void fh_wake_up_new_task(struct task_struct *p);
int fh_do_dentry_open(ZT_DO_DENTRY_OPEN_PARAMS);
int fh_bprm_creds_from_file(struct linux_binprm *bprm, ZT_CREDS_FILE *file);

FH_REAL_DECLARE(real_bprm_execve, fh_bprm_execve);
FH_REAL_DECLARE(real_exit_signals, fh_exit_signals);
FH_REAL_DECLARE(real_wake_up_new_task, fh_wake_up_new_task);
FH_REAL_DECLARE(real_do_dentry_open, fh_do_dentry_open);
FH_REAL_DECLARE(real_bprm_creds_from_file, fh_bprm_creds_from_file);

#endif /* ZENTROPE_EXEC_H */
