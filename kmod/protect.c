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
#include <linux/xattr.h>

#include "protect.h"
#include "hooks.h"
#include "mark_codec.h"
#include "xattr_mark.h"

FH_REAL_DEFINE(real_vfs_utimes, fh_vfs_utimes);
FH_REAL_DEFINE(real_security_inode_setxattr, fh_security_inode_setxattr);
FH_REAL_DEFINE(real_security_inode_getxattr, fh_security_inode_getxattr);
FH_REAL_DEFINE(real_security_inode_removexattr, fh_security_inode_removexattr);
FH_REAL_DEFINE(real_vfs_listxattr, fh_vfs_listxattr);

int fh_security_inode_getxattr(struct dentry *dentry, const char *name)
{
	struct fh_frame frame;
	int ret;

	zt_test_count_call(&STATIC_CALL_KEY(real_security_inode_getxattr));
	if (fh_enter(&frame) && zt_mark_name(name))
		ret = -ENODATA;
	else
		ret = static_call(real_security_inode_getxattr)(dentry, name);
	fh_leave(&frame);
	return ret;
}

int fh_security_inode_removexattr(ZT_IDMAP *idmap, struct dentry *dentry,
				  const char *name)
{
	struct fh_frame frame;
	int ret;

	zt_test_count_call(&STATIC_CALL_KEY(real_security_inode_removexattr));
	if (fh_enter(&frame) && zt_mark_name(name))
		ret = -ENODATA;
	else
		ret = static_call(real_security_inode_removexattr)(idmap, dentry,
								   name);
	fh_leave(&frame);
	return ret;
}

int fh_security_inode_setxattr(ZT_IDMAP *idmap, struct dentry *dentry,
			       const char *name, const void *value,
			       size_t size, int flags)
{
	struct fh_frame frame;
	int ret;

	zt_test_count_call(&STATIC_CALL_KEY(real_security_inode_setxattr));
	if (fh_enter(&frame) && zt_mark_name(name))
		ret = -EPERM;
	else
		ret = static_call(real_security_inode_setxattr)(idmap, dentry,
								name, value,
								size, flags);
	fh_leave(&frame);
	return ret;
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

ssize_t fh_vfs_listxattr(struct dentry *dentry, char *list, size_t size)
{
	struct fh_frame frame;
	ssize_t ret;

	zt_test_count_call(&STATIC_CALL_KEY(real_vfs_listxattr));
	if (fh_enter(&frame))
		ret = filtered_listxattr(dentry, list, size);
	else
		ret = static_call(real_vfs_listxattr)(dentry, list, size);
	fh_leave(&frame);
	return ret;
}

/*
 * Times set back to what the mark recorded would make an old digest look
 * current: a valid mark is flagged stale, so the next judgement hashes.
 */
static void stale_hash_mark(struct dentry *dentry)
{
	u8 rec[ZT_HASH_MARK_SIZE];
	struct zt_hash_info info;
	struct inode *inode;
	int ret;

	dentry = dentry ? zt_d_real(dentry) : NULL;
	inode = dentry ? d_inode(dentry) : NULL;
	if (!inode)
		return;
	inode_lock(inode);
	if (zentrope_getxattr_ima_xattr(NULL, dentry, inode, rec) !=
	    ZT_HASH_MARK_SIZE)
		goto out;
	zt_hash_mark_decode(rec, &info);
	if (info.stale)
		goto out;
	zt_hash_mark_set_stale(rec, 1);
	ret = zentrope_setxattr_ima_xattr(NULL, dentry, inode, rec);
	if (ret && ret != -EROFS)
		pr_debug("zentrope: %s setxattr %pd", "fh_utimes_common",
			 dentry);
out:
	inode_unlock(inode);
}

int fh_vfs_utimes(const struct path *path, struct timespec64 *times)
{
	struct fh_frame frame;
	bool user = fh_enter(&frame);
	int ret;

	zt_test_count_call(&STATIC_CALL_KEY(real_vfs_utimes));
	ret = static_call(real_vfs_utimes)(path, times);
	if (!ret && user)
		stale_hash_mark(path->dentry);
	fh_leave(&frame);
	return ret;
}
