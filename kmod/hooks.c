// SPDX-License-Identifier: GPL-2.0
/*
 * The table of diverted kernel functions, assembled from the parts of the
 * files that hold the handlers: process records (tasks.c), programs
 * (exec.c), the network (net.c) and self-protection (protect.c). Parts are
 * installed in this order, the exit hook first, so that no record is made
 * while a process's end could still go unseen.
 */
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/string.h>

#include "exec.h"
#include "net.h"
#include "protect.h"
#include "tasks.h"
#include "hooks.h"

static_assert(FHOOKS_COUNT ==
	      TASKS_HOOKS + EXEC_HOOKS + NET_HOOKS + PROTECT_HOOKS);

struct ftrace_hook fhooks[FHOOKS_COUNT];

struct hook_part {
	const struct ftrace_hook *hooks;
	size_t size;
};

#define PART(hooks) { hooks, sizeof(hooks) }

int __init hooks_install(void)
{
	const struct hook_part parts[] = {
		PART(tasks_hooks), PART(exec_hooks), PART(net_hooks),
		PART(protect_hooks),
	};
	u8 *to = (u8 *)fhooks;
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(parts); i++) {
		memcpy(to, parts[i].hooks, parts[i].size);
		to += parts[i].size;
	}
	return fh_install_hooks(fhooks, FHOOKS_COUNT);
}
