/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Process records across a process's life: fork, failed exec and exit.
 */
#ifndef ZENTROPE_TASKS_H
#define ZENTROPE_TASKS_H

#include "ftrace_hook.h"

#define TASKS_HOOKS 3
extern const struct ftrace_hook tasks_hooks[TASKS_HOOKS];

#endif /* ZENTROPE_TASKS_H */
