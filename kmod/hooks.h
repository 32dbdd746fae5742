/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_HOOKS_H
#define ZENTROPE_HOOKS_H

#include "ftrace_hook.h"

#define FHOOKS_COUNT 15

extern struct ftrace_hook fhooks[FHOOKS_COUNT];

#ifdef ZT_TEST_HOOKS
/* Test builds count calls per hook, found by its call-through variable. */
void zt_test_count_call(void *real);
#else
static inline void zt_test_count_call(void *real)
{
}
#endif

#endif /* ZENTROPE_HOOKS_H */
