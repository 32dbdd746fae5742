/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_HOOKS_H
#define ZENTROPE_HOOKS_H

#include "ftrace_hook.h"

#define FHOOKS_COUNT 15

/* The installed hooks, in installation order. */
extern struct ftrace_hook fhooks[FHOOKS_COUNT];

/* Assembles the table and installs it: 0, or -errno with none left. */
int hooks_install(void);

#endif /* ZENTROPE_HOOKS_H */
