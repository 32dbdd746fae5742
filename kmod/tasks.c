// SPDX-License-Identifier: GPL-2.0
/*
 * Dropping process records: a failed exec leaves the process running its
 * previous program, unrecorded; the last task of a process to exit takes
 * its records with it.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/sched/signal.h>
#include <linux/binfmts.h>

#include "exec.h"
#include "proc_lists.h"
#include "hooks.h"

FH_REAL_DEFINE(real_bprm_execve, fh_bprm_execve);
FH_REAL_DEFINE(real_exit_signals, fh_exit_signals);

int fh_bprm_execve(ZT_BPRM_EXECVE_PARAMS)
{
	struct fh_frame frame;
	bool user = fh_enter(&frame);
	int pid = task_tgid_nr(current);
	int ret;

	zt_test_count_call(&STATIC_CALL_KEY(real_bprm_execve));
	ret = static_call(real_bprm_execve)(ZT_BPRM_EXECVE_ARGS);
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

/*
 * Whether @tsk, past exit_signals(), ends its process: a group exit, or
 * every other thread is exiting too. A worker thread that ends does not
 * end the process, and its records must stay, or a listed program would
 * get the network back by ending a thread; threads killed by an exec in
 * another thread leave the new program's records alone the same way.
 * exit_signals() sets PF_EXITING under siglock, so of two last threads
 * leaving at once the second to take it here sees the first one's flag.
 */
static bool process_ends(struct task_struct *tsk)
{
	struct task_struct *t;
	bool last = true;

	if (thread_group_empty(tsk) ||
	    (READ_ONCE(tsk->signal->flags) & SIGNAL_GROUP_EXIT))
		return true;
	spin_lock_irq(&tsk->sighand->siglock);
	for_each_thread(tsk, t) {
		if (t != tsk && !(t->flags & PF_EXITING)) {
			last = false;
			break;
		}
	}
	spin_unlock_irq(&tsk->sighand->siglock);
	return last;
}

void fh_exit_signals(struct task_struct *tsk)
{
	struct fh_frame frame;
	bool user = fh_enter(&frame);

	zt_test_count_call(&STATIC_CALL_KEY(real_exit_signals));
	static_call(real_exit_signals)(tsk);
	if (user && process_ends(tsk)) {
		proc_lists_drop(task_tgid_nr(tsk));
		pr_debug("zentrope: %s Delete process records tid:%d pid:%d comm:%s\n",
			 "fh_exit_signals", task_pid_nr(tsk), task_tgid_nr(tsk),
			 tsk->comm);
	}
	fh_leave(&frame);
}
