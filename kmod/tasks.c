// SPDX-License-Identifier: GPL-2.0
/*
 * Process records across a process's life: a new process takes its
 * parent's, a failed exec leaves them as they were (the process goes on
 * running its program), and the last task of a process to exit takes
 * them with it.
 */
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/sched/signal.h>
#include <linux/binfmts.h>

#include "compat.h"
#include "proc_lists.h"
#include "tasks.h"

/* No header declares bprm_execve(): its call-through follows the handler. */
static int fh_bprm_execve(ZT_BPRM_EXECVE_PARAMS);

FH_REAL_DEFINE(real_bprm_execve, fh_bprm_execve);
FH_REAL_DEFINE(real_exit_signals, exit_signals);
FH_REAL_DEFINE(real_wake_up_new_task, wake_up_new_task);

static int fh_bprm_execve(ZT_BPRM_EXECVE_PARAMS)
{
	struct fh_frame frame;
	bool user = fh_enter(&frame, &STATIC_CALL_KEY(real_bprm_execve));
	int ret;

	ret = static_call(real_bprm_execve)(ZT_BPRM_EXECVE_ARGS);
	if (ret && user)
		pr_debug("zentrope: %s exec failed (%d), pid:%d keeps its records\n",
			 "fh_bprm_execve", ret, task_tgid_nr(current));
	fh_leave(&frame);
	return ret;
}

/*
 * Before the new task can first run: a child that has not run yet cannot
 * use the network unjudged. Threads share their process's records.
 */
static void fh_wake_up_new_task(struct task_struct *p)
{
	struct fh_frame frame;

	if (fh_enter(&frame, &STATIC_CALL_KEY(real_wake_up_new_task)) && !same_thread_group(p, current))
		proc_lists_fork(task_tgid_nr(current), task_tgid_nr(p));
	static_call(real_wake_up_new_task)(p);
	fh_leave(&frame);
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

static void fh_exit_signals(struct task_struct *tsk)
{
	struct fh_frame frame;
	bool user = fh_enter(&frame, &STATIC_CALL_KEY(real_exit_signals));

	static_call(real_exit_signals)(tsk);
	if (user && process_ends(tsk)) {
		proc_lists_drop(task_tgid_nr(tsk));
		pr_debug("zentrope: %s Delete process records tid:%d pid:%d comm:%s\n",
			 "fh_exit_signals", task_pid_nr(tsk), task_tgid_nr(tsk),
			 tsk->comm);
	}
	fh_leave(&frame);
}

FH_CHECK(fh_exit_signals, exit_signals);
FH_CHECK(fh_wake_up_new_task, wake_up_new_task);

/* The exit hook goes in before any hook that makes records. */
const struct ftrace_hook tasks_hooks[TASKS_HOOKS] __initconst = {
	HOOK("bprm_execve", fh_bprm_execve, real_bprm_execve),
	HOOK("exit_signals", fh_exit_signals, real_exit_signals),
	HOOK("wake_up_new_task", fh_wake_up_new_task, real_wake_up_new_task),
};
