/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Self-protection: user space can neither read, change, remove nor list
 * the module's file marks, and a timestamp change makes a cached digest
 * stale.
 */
#ifndef ZENTROPE_PROTECT_H
#define ZENTROPE_PROTECT_H

#include <linux/types.h>

#include "compat.h"
#include "ftrace_hook.h"

struct dentry;
struct path;
struct timespec64;

int fh_vfs_utimes(const struct path *path, struct timespec64 *times);
int fh_security_inode_setxattr(ZT_IDMAP *idmap, struct dentry *dentry,
			       const char *name, const void *value,
			       size_t size, int flags);
int fh_security_inode_getxattr(struct dentry *dentry, const char *name);
int fh_security_inode_removexattr(ZT_IDMAP *idmap, struct dentry *dentry,
				  const char *name);
ssize_t fh_vfs_listxattr(struct dentry *dentry, char *list, size_t size);

FH_REAL_DECLARE(real_vfs_utimes, fh_vfs_utimes);
FH_REAL_DECLARE(real_security_inode_setxattr, fh_security_inode_setxattr);
FH_REAL_DECLARE(real_security_inode_getxattr, fh_security_inode_getxattr);
FH_REAL_DECLARE(real_security_inode_removexattr, fh_security_inode_removexattr);
FH_REAL_DECLARE(real_vfs_listxattr, fh_vfs_listxattr);

#endif /* ZENTROPE_PROTECT_H */
