// SPDX-License-Identifier: GPL-2.0
/*
 * Test builds only (ZT_TEST_HOOKS=1): per-hook call counts in
 * /proc/zentrope_test/hook_calls, where each call-through leads in
 * /proc/zentrope_test/call_through, and writing to
 * /proc/zentrope_test/reboot runs the reboot notifier's hook removal.
 */
#include <linux/kernel.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/atomic.h>

#include "ftrace_hook.h"
#include "hooks.h"
#include "test_knobs.h"

static struct proc_dir_entry *test_dir;
static void (*reboot_notify)(void);

static int hook_calls_show(struct seq_file *m, void *v)
{
	int i;

	for (i = 0; i < FHOOKS_COUNT; i++)
		seq_printf(m, "%s %ld\n", fhooks[i].name,
			   atomic_long_read(&fhooks[i].calls));
	return 0;
}

/*
 * Per hook: whether the function starts with an end-branch marker, the
 * offsets of its ftrace site and of the call-through's target from its
 * entry, and whether the static call's trampoline is a direct jump there.
 */
static int call_through_show(struct seq_file *m, void *v)
{
	int i;

	seq_printf(m, "ibt %d\n", IS_ENABLED(CONFIG_X86_KERNEL_IBT));
	for (i = 0; i < FHOOKS_COUNT; i++) {
		const struct ftrace_hook *h = &fhooks[i];
		unsigned long entry = (unsigned long)find_kallsyms_addr(h->name);
		unsigned long target = (unsigned long)h->real->func;
		const u8 *tramp = h->real_tramp;
		s32 rel;

		memcpy(&rel, tramp + 1, sizeof(rel));
		seq_printf(m, "%s endbr:%d site:%lu target:%lu direct:%d\n",
			   h->name, h->address != entry, h->address - entry,
			   target - entry,
			   tramp[0] == 0xe9 &&
				   (unsigned long)tramp + 5 + rel == target);
	}
	return 0;
}

static ssize_t reboot_write(struct file *file, const char __user *buf,
			    size_t count, loff_t *ppos)
{
	reboot_notify();
	return count;
}

static const struct proc_ops reboot_fops = {
	.proc_write = reboot_write,
};

int zt_test_knobs_init(void (*reboot)(void))
{
	reboot_notify = reboot;
	test_dir = proc_mkdir("zentrope_test", NULL);
	if (!test_dir)
		return -ENOMEM;
	if (!proc_create_single("hook_calls", 0444, test_dir, hook_calls_show) ||
	    !proc_create_single("call_through", 0444, test_dir,
				call_through_show) ||
	    !proc_create("reboot", 0200, test_dir, &reboot_fops)) {
		remove_proc_subtree("zentrope_test", NULL);
		return -ENOMEM;
	}
	return 0;
}

void zt_test_knobs_exit(void)
{
	remove_proc_subtree("zentrope_test", NULL);
}
