// SPDX-License-Identifier: GPL-2.0
/*
 * Dropping process records: a failed exec leaves the process running its
 * previous program, unrecorded; an exiting task takes its process's
 * records with it.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/binfmts.h>

#include "exec.h"
#include "proc_lists.h"
#include "hooks.h"

int (*real_bprm_execve)(ZT_BPRM_EXECVE_PARAMS);
void (*real_exit_signals)(struct task_struct *tsk);

int fh_bprm_execve(ZT_BPRM_EXECVE_PARAMS)
{
	struct fh_frame frame;
	bool user = fh_enter(&frame);
	int pid = task_tgid_nr(current);
	int ret;

	zt_test_count_call(&real_bprm_execve);
	ret = real_bprm_execve(ZT_BPRM_EXECVE_ARGS);
	if (ret && user) {
		if (!delete_pid_prog_pair_list(pid))
			pr_debug("zentrope: %s Delete pid_prog_pair_list pid:%d\n",
				 "fh_bprm_execve", pid);
		if (!delete_pid_prog_pair_short_list(pid))
			pr_debug("zentrope: %s Delete pid_prog_pair_short_list pid:%d\n",
				 "fh_bprm_execve", pid);
	}
	fh_leave(&frame);
	return ret;
}

void fh_exit_signals(struct task_struct *tsk)
{
	struct fh_frame frame;

	if (fh_enter(&frame)) {
		proc_lists_drop(task_tgid_nr(tsk));
		pr_debug("zentrope: %s Delete process records tid:%d pid:%d comm:%s\n",
			 "fh_exit_signals", task_pid_nr(tsk), task_tgid_nr(tsk),
			 tsk->comm);
	}
	zt_test_count_call(&real_exit_signals);
	real_exit_signals(tsk);
	fh_leave(&frame);
}
