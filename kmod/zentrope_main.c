// SPDX-License-Identifier: GPL-2.0
/*
 * Module start-up and removal.
 */
#include <linux/module.h>
#include <linux/kernel.h>

#include "block_hash.h"
#include "rule_lists.h"
#include "zentrope_sysctl.h"
#include "zentrope_proc.h"

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
	pr_info("zentrope: %s zentrope init succ!\n", __func__);
	return 0;

err_sysctl:
	zentrope_exit_sysctl();
err_hash:
	block_hash_exit();
	return ret;
}

/*
 * The control files go before the lists are emptied: removing them waits
 * for handlers in flight, so no command can add an element that the
 * teardown below would miss.
 */
static void __exit zentrope_exit(void)
{
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
