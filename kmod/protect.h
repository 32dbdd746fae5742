/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Self-protection: user space can neither read, change, remove nor list
 * the module's file marks, and a timestamp change makes a cached digest
 * stale.
 */
#ifndef ZENTROPE_PROTECT_H
#define ZENTROPE_PROTECT_H

#include "ftrace_hook.h"

#define PROTECT_HOOKS 5
extern const struct ftrace_hook protect_hooks[PROTECT_HOOKS];

#endif /* ZENTROPE_PROTECT_H */
