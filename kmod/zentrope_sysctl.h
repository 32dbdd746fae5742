/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_SYSCTL_H
#define ZENTROPE_SYSCTL_H

#include <linux/types.h>
#include <linux/atomic.h>

extern s64 ima_hash_maxsize;
extern atomic64_t ima_hash_lost;
extern int g_strict;
extern int quite;
extern int ulog;

int zentrope_init_sysctl(void);
void zentrope_exit_sysctl(void);

#endif /* ZENTROPE_SYSCTL_H */
