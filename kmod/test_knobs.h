/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Test builds (ZT_TEST_HOOKS) add the knobs the VM tests drive, and the
 * hooks count their calls.
 */
#ifndef ZENTROPE_TEST_KNOBS_H
#define ZENTROPE_TEST_KNOBS_H

#ifdef ZT_TEST_HOOKS
/* @reboot runs what the reboot notifier does. */
int zt_test_knobs_init(void (*reboot)(void));
void zt_test_knobs_exit(void);
#else
static inline int zt_test_knobs_init(void (*reboot)(void))
{
	return 0;
}

static inline void zt_test_knobs_exit(void)
{
}
#endif

#endif /* ZENTROPE_TEST_KNOBS_H */
