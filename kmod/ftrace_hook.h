/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_FTRACE_HOOK_H
#define ZENTROPE_FTRACE_HOOK_H

#include <linux/types.h>
#include <linux/ftrace.h>
#include <linux/jiffies.h>
#include <linux/percpu.h>
#include <linux/atomic.h>
#include <linux/static_call.h>

#include "stats.h"

/*
 * One diverted kernel function. @address is the patched ftrace site. The
 * handler calls the function through the static call @real, whose target
 * is the first instruction after that site: the call is direct, so it
 * needs no end-branch marker on kernels that enforce IBT, and it does not
 * pass through the ftrace trampoline a second time.
 */
struct ftrace_hook {
	const char *name;
	void *function;
	struct static_call_key *real;
	void *real_tramp;
	unsigned long address;
	struct ftrace_ops ops;
	atomic_long_t calls;	/* counted in test builds only */
};

#define HOOK(_name, _function, _real) {				\
	.name = (_name), .function = (_function),			\
	.real = &STATIC_CALL_KEY(_real),				\
	.real_tramp = STATIC_CALL_TRAMP_ADDR(_real),			\
}

/*
 * A call-through, typed after the kernel's function @fn (or, where no
 * header declares it, after the handler, which has the same prototype).
 */
#define FH_REAL_DEFINE(real, fn) DEFINE_STATIC_CALL_NULL(real, fn)

extern unsigned long (*p_kallsyms_lookup_name)(const char *name);

/* Address of a kernel symbol, exported or not; NULL when not found. */
void *find_kallsyms_addr(const char *name);

int fh_resolve_hook_address(struct ftrace_hook *hook);
int fh_install_hook(struct ftrace_hook *hook);
int fh_install_hooks(struct ftrace_hook *hooks, int count);
void fh_remove_hook(struct ftrace_hook *hook);
void fh_remove_hooks(struct ftrace_hook *hooks, int count);
void fh_remove_hooks_reverse(struct ftrace_hook *hooks, int count);
void fh_remove_hooks_reverse_safe(struct ftrace_hook *hooks, int count,
				  bool bounded);

/* Handlers in flight, summed over every CPU that may hold a count. */
int fh_hook_users(void);

/*
 * The frame every handler goes through: counts the handler in flight and
 * accounts its time. The count goes up on the CPU the handler starts on
 * and down on the one it ends on, each a single unlocked per-CPU
 * instruction; only the sum over all CPUs means anything.
 */
struct fh_frame {
	unsigned long start;
};

DECLARE_PER_CPU(int, zentrope_hook_users);
DECLARE_PER_CPU(u64, fh_total_cost);

/* total_cost: the ticks spent in handlers, summed over the CPUs. */
extern struct zt_stat_file fh_total_cost_stat;

/* Counts a call of the installed hook whose call-through is @real. */
void fh_count_call(struct static_call_key *real);

/* Test builds count the calls of every hook. */
#ifdef ZT_TEST_HOOKS
#define FH_COUNT_CALLS 1
#else
#define FH_COUNT_CALLS 0
#endif

/*
 * Returns false when the handler must only pass the call through to
 * @real, the hook's call-through.
 */
static __always_inline bool fh_enter(struct fh_frame *f,
				     struct static_call_key *real)
{
	if (FH_COUNT_CALLS)
		fh_count_call(real);
	f->start = jiffies;
	this_cpu_inc(zentrope_hook_users);
	return !(in_nmi() || in_hardirq() || in_serving_softirq() ||
		 (current->flags & PF_KTHREAD));
}

/*
 * Nearly every handler ends in the tick it began in; then it writes no
 * counter at all, and otherwise only its own CPU's (a task that moved
 * CPUs meanwhile adds to the new one; the sum is the same).
 */
static __always_inline void fh_leave(struct fh_frame *f)
{
	unsigned long ticks = jiffies - f->start;

	if (unlikely(ticks))
		this_cpu_add(fh_total_cost, ticks);
	this_cpu_dec(zentrope_hook_users);
}

/* Catch a handler whose prototype differs from the kernel's declaration. */
#define FH_CHECK(handler, kfn) \
	static_assert(__same_type(&handler, &kfn), #kfn " prototype")

/*
 * The handler that judges before the call: @judge, evaluated for user
 * tasks only, refuses the call with its non-zero value; otherwise the
 * call goes through to the kernel's function.
 */
#define FH_GUARD(real, judge, ...)					\
({									\
	struct fh_frame __frame;					\
	int __ret = 0;							\
									\
	if (fh_enter(&__frame, &STATIC_CALL_KEY(real)))			\
		__ret = (judge);					\
	if (!__ret)							\
		__ret = static_call(real)(__VA_ARGS__);			\
	fh_leave(&__frame);						\
	__ret;								\
})

/*
 * The handler that judges what the call did: after a call that
 * succeeded, @judge, evaluated for user tasks only, makes the result.
 */
#define FH_FOLLOW(real, judge, ...)					\
({									\
	struct fh_frame __frame;					\
	bool __judge = fh_enter(&__frame, &STATIC_CALL_KEY(real));	\
	int __ret = static_call(real)(__VA_ARGS__);			\
									\
	if (!__ret && __judge)						\
		__ret = (judge);					\
	fh_leave(&__frame);						\
	__ret;								\
})

#endif /* ZENTROPE_FTRACE_HOOK_H */
