// SPDX-License-Identifier: GPL-2.0
/*
 * Diverting kernel functions to the module's handlers through ftrace with
 * instruction-pointer modification, and taking them out again safely.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/kprobes.h>
#include <linux/livepatch.h>
#include <linux/delay.h>
#include <linux/rcupdate.h>
#include <linux/sched.h>
#ifdef CONFIG_KGDB_KDB
#include <linux/kdb.h>
#endif

#include "compat.h"
#include "stats.h"
#include "ftrace_hook.h"

#define USERS_POLL_MS 20
#define USERS_BUDGET_MS 2000

unsigned long (*p_kallsyms_lookup_name)(const char *name);
DEFINE_PER_CPU(int, zentrope_hook_users);
DEFINE_PER_CPU(u64, fh_total_cost);

static u64 fh_total_cost_read(void)
{
	return zt_stat_sum(fh_total_cost);
}

/* A handler ending during the reset may keep its ticks; as before. */
static void fh_total_cost_reset(void)
{
	zt_stat_reset(fh_total_cost);
}

struct zt_stat_file fh_total_cost_stat = {
	.read = fh_total_cost_read, .reset = fh_total_cost_reset,
};

/* ---- finding kallsyms_lookup_name ---- */

#ifdef CONFIG_KGDB_KDB
/* Sets *stop when the debugger knows the symbol but at address 0. */
static void *lookup_by_kdb(bool *stop)
{
	kdb_symtab_t sym = {};

	if (!kdbgetsymval("kallsyms_lookup_name", &sym))
		return NULL;
	*stop = !sym.sym_start;
	return (void *)sym.sym_start;
}
#endif

static void *lookup_by_symbol_get(void)
{
	return __symbol_get("kallsyms_lookup_name");
}

static int kp_pre_handler(struct kprobe *p, struct pt_regs *regs)
{
	return 0;
}

static void kp_post_handler(struct kprobe *p, struct pt_regs *regs,
			    unsigned long flags)
{
}

static void *lookup_by_kprobe(void)
{
	struct kprobe kp = {
		.symbol_name = "kallsyms_lookup_name",
		.pre_handler = kp_pre_handler,
		.post_handler = kp_post_handler,
	};
	int ret = register_kprobe(&kp);

	/* The address is resolved even when the probe itself is refused. */
	if (!ret)
		unregister_kprobe(&kp);
	return kp.addr;
}

static unsigned long new_kallsyms_lookup_name(const char *name)
{
	return 0;
}

static int pre_patch(struct klp_object *obj)
{
	return -1;
}

static struct klp_func klp_funcs[] = {
	{ .old_name = "kallsyms_lookup_name",
	  .new_func = new_kallsyms_lookup_name },
	{ }
};

static struct klp_object klp_objs[] = {
	{ .funcs = klp_funcs, .callbacks = { .pre_patch = pre_patch } },
	{ }
};

static struct klp_patch klp_patch = {
	.mod = THIS_MODULE,
	.objs = klp_objs,
};

/*
 * The live-patch core resolves the old function while preparing the patch;
 * the pre-patch callback then refuses, so nothing is patched. A patch
 * record can be prepared only once per module life.
 */
static void *lookup_by_livepatch(void)
{
	static bool tried;

	if (tried)
		return NULL;
	tried = true;
	klp_funcs[0].old_func = NULL;
	klp_enable_patch(&klp_patch);
	return klp_funcs[0].old_func;
}

static void *find_lookup_function(void)
{
	void *addr;
#ifdef CONFIG_KGDB_KDB
	bool stop = false;

	addr = lookup_by_kdb(&stop);
	if (addr || stop)
		return addr;
#endif
	addr = lookup_by_symbol_get();
	if (!addr)
		addr = lookup_by_kprobe();
	if (!addr)
		addr = lookup_by_livepatch();
	return addr;
}

void *find_kallsyms_addr(const char *name)
{
	if (!name)
		return NULL;
	if (!p_kallsyms_lookup_name)
		p_kallsyms_lookup_name = find_lookup_function();
	if (!p_kallsyms_lookup_name)
		return NULL;
	return (void *)p_kallsyms_lookup_name(name);
}

/* ---- installing ---- */

static bool starts_with_endbr(unsigned long addr)
{
	u32 insn;

	memcpy(&insn, (const void *)addr, sizeof(insn));
	insn = le32_to_cpu(insn);
	return (insn & 0xFEFFFFFF) == 0xFA1E0FF3 || insn == 0x001F0F66;
}

/*
 * The site follows the end-branch marker, if any; the call-through lands
 * right after the site, before any handler can run.
 */
int fh_resolve_hook_address(struct ftrace_hook *hook)
{
	unsigned long entry = (unsigned long)find_kallsyms_addr(hook->name);

	if (!entry) {
		pr_debug("velmarix: unresolved symbol: %s\n", hook->name);
		return -ENOENT;
	}
	hook->address = entry;
	if (starts_with_endbr(entry))
		hook->address += 4;
	__static_call_update(hook->real, hook->real_tramp,
			     (void *)(hook->address + MCOUNT_INSN_SIZE));
	return 0;
}

static void notrace fh_ftrace_thunk(unsigned long ip, unsigned long parent_ip,
				    struct ftrace_ops *ops,
				    struct ftrace_regs *fregs)
{
	struct ftrace_hook *hook = container_of(ops, struct ftrace_hook, ops);

	/*
	 * The call-throughs skip the site; this guards direct calls, which
	 * come from the module's text.
	 */
	if (zt_within_module_text(parent_ip, THIS_MODULE))
		return;
	zt_ftrace_set_ip(fregs, (unsigned long)hook->function);
}

int fh_install_hook(struct ftrace_hook *hook)
{
	int err;

	err = fh_resolve_hook_address(hook);
	if (err)
		return err;
	hook->ops.func = fh_ftrace_thunk;
	hook->ops.flags = ZT_FTRACE_OPS_FLAGS;

	err = ftrace_set_filter_ip(&hook->ops, hook->address, 0, 0);
	if (err) {
		pr_debug("velmarix: ftrace_set_filter_ip() failed: %d\n", err);
		hook->address = 0;
		return err;
	}
	err = register_ftrace_function(&hook->ops);
	if (err) {
		pr_debug("velmarix: register_ftrace_function() failed: %d\n", err);
		ftrace_set_filter_ip(&hook->ops, hook->address, 1, 0);
		hook->address = 0;
		return err;
	}
	return 0;
}

/*
 * Once the hooks are gone nothing adds to the counts any more, and a
 * handler's decrement may land on a CPU already summed: the sum can then
 * only be too high, never 0 while a handler is in flight.
 */
int fh_hook_users(void)
{
	int cpu, sum = 0;

	for_each_possible_cpu(cpu)
		sum += READ_ONCE(per_cpu(zentrope_hook_users, cpu));
	return sum;
}

/*
 * Wait for handlers in flight. A task may sit inside a hooked call for
 * as long as it likes (a recv, a FIFO open), and returns into module code:
 * before the module is freed the count must reach 0, however long that
 * takes. Only the reboot path, which frees nothing, gives up after the
 * budget.
 */
static void wait_hook_users(bool bounded)
{
	int waited = 0, users;

	while ((users = fh_hook_users()) > 0) {
		if (waited && waited % USERS_BUDGET_MS == 0) {
			pr_warn("velmarix: zentrope: WARNING! Wait hook_users timeout! Stale threads left: %d.Forcing reboot bypass...\n",
				users);
			if (bounded)
				return;
		}
		msleep(USERS_POLL_MS);
		waited += USERS_POLL_MS;
	}
	pr_info("velmarix: zentrope: All threads left cleanly. Safe to reboot.\n");
}

static void sync_after_unregister(void)
{
	synchronize_rcu();
	synchronize_rcu_tasks();
}

/*
 * A handler lowers its count just before it returns, and may be preempted
 * in between. It does not sleep past that point, so once the count is 0 an
 * RCU-tasks grace period (which waits for every task to switch out
 * voluntarily or run in user space) sees every such task leave the text.
 */
static void wait_handlers_gone(bool bounded)
{
	wait_hook_users(bounded);
	synchronize_rcu_tasks();
}

static struct ftrace_hook *counted_hooks;
static int counted_count;

void fh_count_call(struct static_call_key *real)
{
	struct ftrace_hook *hooks = READ_ONCE(counted_hooks);
	int i;

	for (i = 0; hooks && i < counted_count; i++) {
		if (hooks[i].real == real) {
			atomic_long_inc(&hooks[i].calls);
			return;
		}
	}
}

int fh_install_hooks(struct ftrace_hook *hooks, int count)
{
	int i, err;

	if (!hooks || count <= 0)
		return -1;
	counted_count = count;
	WRITE_ONCE(counted_hooks, hooks);
	for (i = 0; i < count; i++) {
		err = fh_install_hook(&hooks[i]);
		if (err)
			goto unwind;
	}
	return 0;

unwind:
	if (!i)
		return err;
	while (--i >= 0)
		fh_remove_hook(&hooks[i]);
	sync_after_unregister();
	wait_handlers_gone(false);
	return err;
}

void fh_remove_hook(struct ftrace_hook *hook)
{
	int err;

	err = unregister_ftrace_function(&hook->ops);
	if (err)
		pr_err("velmarix: unregister_ftrace_function() failed: %d\n", err);
	err = ftrace_set_filter_ip(&hook->ops, hook->address, 1, 0);
	if (err)
		pr_err("velmarix: ftrace_set_filter_ip() failed: %d\n", err);
	hook->address = 0;
}

void fh_remove_hooks(struct ftrace_hook *hooks, int count)
{
	int i;

	for (i = 0; i < count; i++)
		fh_remove_hook(&hooks[i]);
	sync_after_unregister();
}

void fh_remove_hooks_reverse(struct ftrace_hook *hooks, int count)
{
	int i;

	for (i = count - 1; i >= 0; i--)
		fh_remove_hook(&hooks[i]);
	sync_after_unregister();
}

static void fh_unregister_hooks_reverse(struct ftrace_hook *hooks, int count)
{
	int i, err;

	for (i = count - 1; i >= 0; i--) {
		if (!hooks[i].address)
			continue;
		err = unregister_ftrace_function(&hooks[i].ops);
		if (err)
			pr_err("velmarix: unregister_ftrace_function() %s failed: %d\n",
			       hooks[i].name, err);
	}
}

static void fh_clear_hooks_reverse(struct ftrace_hook *hooks, int count)
{
	int i, err;

	for (i = count - 1; i >= 0; i--) {
		if (!hooks[i].address)
			continue;
		err = ftrace_set_filter_ip(&hooks[i].ops, hooks[i].address, 1, 0);
		if (err)
			pr_err("velmarix: ftrace_set_filter_ip() %s failed: %d\n",
			       hooks[i].name, err);
	}
}

static void fh_clear_hooks_address(struct ftrace_hook *hooks, int count)
{
	int i;

	for (i = count - 1; i >= 0; i--)
		hooks[i].address = 0;
}

/*
 * @bounded: give up waiting for handlers after the budget (reboot only,
 * where the module stays in memory).
 */
void fh_remove_hooks_reverse_safe(struct ftrace_hook *hooks, int count,
				  bool bounded)
{
	if (!hooks || count <= 0)
		return;
	fh_unregister_hooks_reverse(hooks, count);
	sync_after_unregister();
	wait_handlers_gone(bounded);
	fh_clear_hooks_reverse(hooks, count);
	fh_clear_hooks_address(hooks, count);
}
