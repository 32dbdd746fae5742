/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Kernel-version differences, in one place. The module targets 6.6 and is
 * built and tested against 6.1 and 6.12.
 */
#ifndef ZENTROPE_COMPAT_H
#define ZENTROPE_COMPAT_H

#ifdef __KERNEL__
#include <linux/version.h>
#include <linux/sysctl.h>

/* 6.11 made the table argument of proc handlers const. */
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
#define ZT_CTL_TABLE const struct ctl_table
#else
#define ZT_CTL_TABLE struct ctl_table
#endif

/*
 * register_sysctl_sz() appeared in 6.6; before it the table ends at its
 * empty terminator. From 6.11 the kernel walks exactly the declared size and
 * no longer stops at an empty entry, so the terminator must not be counted.
 * @size counts the terminator, as the 6.6 interface expects.
 */
static inline struct ctl_table_header *
zt_register_sysctl(const char *path, struct ctl_table *table, size_t size)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 11, 0)
	return register_sysctl_sz(path, table, size - 1);
#elif LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)
	return register_sysctl_sz(path, table, size);
#else
	return register_sysctl(path, table);
#endif
}
#endif /* __KERNEL__ */

#endif /* ZENTROPE_COMPAT_H */
