// SPDX-License-Identifier: GPL-2.0
/*
 * Module start-up and removal.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/moduleparam.h>
#include <linux/reboot.h>
#include <linux/atomic.h>
#include <linux/slab.h>

#include "block_hash.h"
#include "rule_lists.h"
#include "proc_lists.h"
#include "zentrope_sysctl.h"
#include "zentrope_proc.h"
#include "hooks.h"
#include "msg.h"
#include "ima_crypto.h"
#include "zentrope_event.h"
#include "test_knobs.h"

#define ACK_REMOVAL 32

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

module_param_named(ahash_minsize, ima_ahash_minsize, ulong, 0644);
MODULE_PARM_DESC(ahash_minsize, "Minimum file size for ahash use");

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

static void __maybe_unused fh_exit_rebooting(void)
{
	fh_exit_once(true);
}

static struct notifier_block zentrope_reboot_notifier = {
	.notifier_call = zentrope_fh_exit,
	.priority = 0,
};

/* ---- start-up and removal ---- */

static int create_event_cache(void)
{
	block_event_cache = kmem_cache_create("block_event_cache",
					      sizeof(struct block_event), 0, 0,
					      NULL);
	return block_event_cache ? 0 : -ENOMEM;
}

static void destroy_event_cache(void)
{
	kmem_cache_destroy(block_event_cache);
	block_event_cache = NULL;
}

static int __init zentrope_init(void)
{
	int ret;

	ret = block_hash_init();
	if (ret)
		return ret;
	ret = create_event_cache();
	if (ret) {
		pr_err("zentrope: %s block_event_cache err!\n", __func__);
		goto err_hash;
	}
	ret = init_zentrope_msg();
	if (ret) {
		pr_err("zentrope: %s init zentrope msg err!\n", __func__);
		goto err_cache;
	}
	ret = zentrope_init_sysctl();
	if (ret) {
		pr_err("zentrope: %s zentrop init sysctl err!\n", __func__);
		goto err_msg;
	}
	ret = zentrope_init_proc();
	if (ret) {
		pr_err("zentrope: %s zentrop init proc err!\n", __func__);
		goto err_sysctl;
	}
	ret = zentrope_init_ima_crypto();
	if (ret) {
		pr_err("zentrope: %s ima_init_ima_crypto err!\n", __func__);
		goto err_proc;
	}
	ret = register_reboot_notifier(&zentrope_reboot_notifier);
	if (ret) {
		pr_err("zentrope: %s register_reboot_notifier err!\n", __func__);
		goto err_crypto;
	}
	ret = hooks_install();
	if (ret) {
		pr_debug("zentrope: %s install fhooks fail\n", "fh_init");
		pr_err("zentrope: %s register_ftrace failed, returned %d\n",
		       __func__, ret);
		goto err_reboot;
	}
	pr_debug("zentrope: %s install fhooks succ\n", "fh_init");
	ret = zt_test_knobs_init(fh_exit_rebooting);
	if (ret) {
		fh_exit();
		goto err_reboot;
	}
	pr_info("zentrope: %s zentrope init succ!\n", __func__);
	return 0;

err_reboot:
	unregister_reboot_notifier(&zentrope_reboot_notifier);
err_crypto:
	zentrope_exit_ima_crypto();
err_proc:
	zentrope_exit_proc();
err_sysctl:
	zentrope_exit_sysctl();
err_msg:
	exit_zentrope_msg();
err_cache:
	destroy_event_cache();
err_hash:
	block_hash_exit();
	return ret;
}

/*
 * The listener hears of the removal first. Hooks go next, so no
 * enforcement runs while the lists are freed. The control files go before
 * the lists are emptied: removing them waits for handlers in flight, so no
 * command can add an element that the teardown would miss, and the lists
 * are emptied without interruptible waits, so nothing leaks when the
 * removing process is signalled.
 */
static void __exit zentrope_exit(void)
{
	cn_zentrope_ack(ACK_REMOVAL, atomic64_inc_return(&seq_zentrope_event),
			~0U);
	zt_test_knobs_exit();
	fh_exit();
	unregister_reboot_notifier(&zentrope_reboot_notifier);
	zentrope_exit_ima_crypto();
	zentrope_exit_proc();
	zentrope_exit_sysctl();
	rule_lists_exit();
	proc_lists_exit();
	exit_zentrope_msg();
	destroy_event_cache();
	block_hash_exit();
	pr_info("zentrope: %s zentrope exit succ!\n", __func__);
}

module_init(zentrope_init);
module_exit(zentrope_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Zentrope");
MODULE_INFO(livepatch, "Y");
