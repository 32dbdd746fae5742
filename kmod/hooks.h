/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_HOOKS_H
#define ZENTROPE_HOOKS_H

#include "ftrace_hook.h"

#define FHOOKS_COUNT 13

extern struct ftrace_hook fhooks[FHOOKS_COUNT];

#endif /* ZENTROPE_HOOKS_H */
