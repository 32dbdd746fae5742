/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Program enforcement: the exec check and the open check of listed
 * interpreters.
 */
#ifndef ZENTROPE_EXEC_H
#define ZENTROPE_EXEC_H

#include "ftrace_hook.h"

/* The strict switch. */
extern int g_strict;

#define EXEC_HOOKS 2
extern const struct ftrace_hook exec_hooks[EXEC_HOOKS];

#endif /* ZENTROPE_EXEC_H */
