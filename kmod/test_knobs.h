/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_TEST_KNOBS_H
#define ZENTROPE_TEST_KNOBS_H

#ifdef ZT_TEST_HOOKS
int zt_test_knobs_init(void);
void zt_test_knobs_exit(void);
/* Provided by zentrope_main.c: what the reboot notifier does. */
void zt_test_reboot_notify(void);
#else
static inline int zt_test_knobs_init(void)
{
	return 0;
}

static inline void zt_test_knobs_exit(void)
{
}
#endif

#endif /* ZENTROPE_TEST_KNOBS_H */
