// SPDX-License-Identifier: GPL-2.0
/*
 * Module start-up and removal.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/moduleparam.h>
#include <linux/reboot.h>
#include <linux/atomic.h>

#include "block_hash.h"
#include "rule_lists.h"
#include "zentrope_sysctl.h"
#include "zentrope_proc.h"
#include "hooks.h"

static atomic_t fh_exiting = ATOMIC_INIT(1);

/* ---- parameters ---- */

static int set_kallsyms_addr(const char *val, const struct kernel_param *kp)
{
	unsigned long long addr;
	int ret;

	if (!val)
		return -EINVAL;
	ret = kstrtoull(val, 16, &addr);
	if (ret)
		return ret;
	p_kallsyms_lookup_name = (void *)(unsigned long)addr;
	return 0;
}

static int get_kallsyms_addr(char *buf, const struct kernel_param *kp)
{
	return sprintf(buf, "%p\n", p_kallsyms_lookup_name);
}

static const struct kernel_param_ops kallsyms_addr_ops = {
	.set = set_kallsyms_addr,
	.get = get_kallsyms_addr,
};

module_param_cb(kallsyms_lookup_name_addr, &kallsyms_addr_ops, NULL, 0444);
MODULE_PARM_DESC(kallsyms_lookup_name_addr, "Symbol kallsyms_lookup_name addr");

/* ---- hook removal, once ---- */

/*
 * @bounded: the reboot path frees nothing and must not hold up the
 * shutdown; the unload path waits for every handler to leave.
 */
static void fh_exit_once(bool bounded)
{
	if (atomic_fetch_sub(1, &fh_exiting) != 1)
		return;
	fh_remove_hooks_reverse_safe(fhooks, FHOOKS_COUNT, bounded);
	pr_debug("zentrope: %s remove fhooks succ\n", "fh_exit");
}

static void fh_exit(void)
{
	fh_exit_once(false);
}

static int zentrope_fh_exit(struct notifier_block *nb, unsigned long action,
			    void *data)
{
	fh_exit_once(true);
	return 0;
}

static struct notifier_block zentrope_reboot_notifier = {
	.notifier_call = zentrope_fh_exit,
	.priority = 0,
};

/* ---- start-up and removal ---- */

static int __init zentrope_init(void)
{
	int ret;

	ret = block_hash_init();
	if (ret)
		return ret;
	ret = zentrope_init_sysctl();
	if (ret) {
		pr_err("zentrope: %s zentrop init sysctl err!\n", __func__);
		goto err_hash;
	}
	ret = zentrope_init_proc();
	if (ret) {
		pr_err("zentrope: %s zentrop init proc err!\n", __func__);
		goto err_sysctl;
	}
	ret = register_reboot_notifier(&zentrope_reboot_notifier);
	if (ret) {
		pr_err("zentrope: %s register_reboot_notifier err!\n", __func__);
		goto err_proc;
	}
	ret = fh_install_hooks(fhooks, FHOOKS_COUNT);
	if (ret) {
		pr_debug("zentrope: %s install fhooks fail\n", "fh_init");
		pr_err("zentrope: %s register_ftrace failed, returned %d\n",
		       __func__, ret);
		goto err_reboot;
	}
	pr_debug("zentrope: %s install fhooks succ\n", "fh_init");
	pr_info("zentrope: %s zentrope init succ!\n", __func__);
	return 0;

err_reboot:
	unregister_reboot_notifier(&zentrope_reboot_notifier);
err_proc:
	zentrope_exit_proc();
err_sysctl:
	zentrope_exit_sysctl();
err_hash:
	block_hash_exit();
	return ret;
}

/*
 * Hooks go first, so no enforcement runs while the lists are freed. The
 * control files go before the lists are emptied: removing them waits for
 * handlers in flight, so no command can add an element that the teardown
 * below would miss.
 */
static void __exit zentrope_exit(void)
{
	fh_exit();
	unregister_reboot_notifier(&zentrope_reboot_notifier);
	zentrope_exit_proc();
	zentrope_exit_sysctl();
	rule_lists_exit();
	block_hash_exit();
	pr_info("zentrope: %s zentrope exit succ!\n", __func__);
}

module_init(zentrope_init);
module_exit(zentrope_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Zentrope");
MODULE_INFO(livepatch, "Y");
