// SPDX-License-Identifier: GPL-2.0
/*
 * Self-protection hooks. The module itself reads and writes its marks with
 * the raw attribute calls, which pass none of these.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/dcache.h>
#include <linux/path.h>
#include <linux/slab.h>
#include <linux/mm.h>
#include <linux/security.h>
#include <linux/xattr.h>

#include "compat.h"
#include "ima_crypto.h"
#include "mark_codec.h"
#include "protect.h"

FH_REAL_DEFINE(real_vfs_utimes, vfs_utimes);
FH_REAL_DEFINE(real_security_inode_setxattr, security_inode_setxattr);
FH_REAL_DEFINE(real_security_inode_getxattr, security_inode_getxattr);
FH_REAL_DEFINE(real_security_inode_removexattr, security_inode_removexattr);
FH_REAL_DEFINE(real_vfs_listxattr, vfs_listxattr);

/* @err for the module's own marks, which user space may not touch. */
static int mark_refused(const char *name, int err)
{
	return zt_mark_name(name) ? err : 0;
}

static int fh_security_inode_getxattr(struct dentry *dentry, const char *name)
{
	return FH_GUARD(real_security_inode_getxattr,
			mark_refused(name, -ENODATA), dentry, name);
}

static int fh_security_inode_removexattr(ZT_IDMAP *idmap,
					 struct dentry *dentry,
					 const char *name)
{
	return FH_GUARD(real_security_inode_removexattr,
			mark_refused(name, -ENODATA), idmap, dentry, name);
}

static int fh_security_inode_setxattr(ZT_IDMAP *idmap, struct dentry *dentry,
				      const char *name, const void *value,
				      size_t size, int flags)
{
	return FH_GUARD(real_security_inode_setxattr,
			mark_refused(name, -EPERM), idmap, dentry, name, value,
			size, flags);
}

/*
 * The dentry's names without the marks. @list is a kernel buffer (the
 * system call copies it out); process context, so sleeping is fine. The
 * size is asked first, so the common file without attributes costs no
 * allocation; a list that grows in between is read again at the largest
 * size a list can have.
 */
static ssize_t filtered_listxattr(struct dentry *dentry, char *list,
				  size_t size)
{
	ssize_t n, ret;
	char *all;

	n = static_call(real_vfs_listxattr)(dentry, NULL, 0);
	if (n <= 0)
		return static_call(real_vfs_listxattr)(dentry, list, size);
	all = kvmalloc(n, GFP_KERNEL);
	if (!all)
		return -ENOMEM;
	ret = static_call(real_vfs_listxattr)(dentry, all, n);
	if (ret == -ERANGE) {
		kvfree(all);
		n = XATTR_LIST_MAX;
		all = kvmalloc(n, GFP_KERNEL);
		if (!all)
			return -ENOMEM;
		ret = static_call(real_vfs_listxattr)(dentry, all, n);
	}
	if (ret <= 0)
		goto out;
	ret = zt_strip_mark_names(all, ret);
	if (list && size) {
		if (size < (size_t)ret)
			ret = -ERANGE;
		else
			memcpy(list, all, ret);
	}
out:
	kvfree(all);
	return ret;
}

static ssize_t fh_vfs_listxattr(struct dentry *dentry, char *list,
				size_t size)
{
	struct fh_frame frame;
	ssize_t ret;

	if (fh_enter(&frame, &STATIC_CALL_KEY(real_vfs_listxattr)))
		ret = filtered_listxattr(dentry, list, size);
	else
		ret = static_call(real_vfs_listxattr)(dentry, list, size);
	fh_leave(&frame);
	return ret;
}

static int utimes_done(struct dentry *dentry)
{
	hash_mark_stale(dentry);
	return 0;
}

static int fh_vfs_utimes(const struct path *path, struct timespec64 *times)
{
	return FH_FOLLOW(real_vfs_utimes, utimes_done(path->dentry), path,
			 times);
}

FH_CHECK(fh_vfs_utimes, vfs_utimes);
FH_CHECK(fh_security_inode_setxattr, security_inode_setxattr);
FH_CHECK(fh_security_inode_getxattr, security_inode_getxattr);
FH_CHECK(fh_security_inode_removexattr, security_inode_removexattr);
FH_CHECK(fh_vfs_listxattr, vfs_listxattr);

const struct ftrace_hook protect_hooks[PROTECT_HOOKS] __initconst = {
	HOOK("vfs_utimes", fh_vfs_utimes, real_vfs_utimes),
	HOOK("security_inode_setxattr", fh_security_inode_setxattr,
	     real_security_inode_setxattr),
	HOOK("security_inode_getxattr", fh_security_inode_getxattr,
	     real_security_inode_getxattr),
	HOOK("security_inode_removexattr", fh_security_inode_removexattr,
	     real_security_inode_removexattr),
	HOOK("vfs_listxattr", fh_vfs_listxattr, real_vfs_listxattr),
};
