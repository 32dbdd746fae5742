// SPDX-License-Identifier: GPL-2.0
/*
 * File marks in the "security." namespace. They are read and written with
 * the raw attribute calls (no permission check, no security hook), so the
 * module's own self-protection hooks never see these accesses.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/mount.h>
#include <linux/dcache.h>
#include <linux/xattr.h>
#include <linux/errno.h>
#include <linux/string.h>
#include <linux/time64.h>

#include "compat.h"
#include "xattr_mark.h"

void zt_inode_file_id(const struct inode *inode, struct zt_file_id *id)
{
	struct timespec64 mtime = zt_inode_mtime(inode);

	id->dev = inode->i_sb->s_dev;
	id->ino = inode->i_ino;
	id->size = i_size_read(inode);
	id->mtime_sec = mtime.tv_sec;
	id->mtime_nsec = mtime.tv_nsec;
}

/* Marks live on the real file, below any stacking file system. */
struct dentry *zt_file_real_dentry(struct file *file)
{
	if (!file || !file->f_path.dentry)
		return NULL;
	return zt_d_real(file->f_path.dentry);
}

static bool mark_target_rdonly(struct file *file, struct inode *inode)
{
	if (sb_rdonly(inode->i_sb) || IS_RDONLY(inode))
		return true;
	return file && file->f_path.mnt && __mnt_is_readonly(file->f_path.mnt);
}

static int write_mark(struct file *file, struct dentry *dentry,
		      struct inode *inode, const char *name, u8 *rec,
		      size_t len)
{
	struct zt_file_id id;
	int ret;

	if (!dentry || !inode || !rec)
		return -EINVAL;
	if (mark_target_rdonly(file, inode))
		return -EROFS;
	zt_inode_file_id(inode, &id);
	ret = zt_mark_seal(rec, len, &id);
	if (ret)
		return ret;
	/* A remount may have made it read-only while the mark was sealed. */
	if (mark_target_rdonly(file, inode))
		return -EROFS;
	return zt_vfs_setxattr(dentry, inode, name, rec, len);
}

static int read_mark(struct dentry *dentry, struct inode *inode,
		     const char *name, u8 *rec, size_t len)
{
	struct zt_file_id id;
	ssize_t got;

	if (!dentry || !inode || !rec)
		return -EINVAL;
	got = __vfs_getxattr(dentry, inode, name, rec, len);
	zt_inode_file_id(inode, &id);
	return zt_mark_open(rec, len, got, &id);
}

int zentrope_setxattr_ima_xattr(struct file *file, struct dentry *dentry,
				struct inode *inode, u8 *rec)
{
	return write_mark(file, dentry, inode, ZT_XATTR_HASH_NAME, rec,
			  ZT_HASH_MARK_SIZE);
}

int zentrope_getxattr_ima_xattr(struct file *file, struct dentry *dentry,
				struct inode *inode, u8 *rec)
{
	return read_mark(dentry, inode, ZT_XATTR_HASH_NAME, rec,
			 ZT_HASH_MARK_SIZE);
}

int zentrope_setxattr_exist_block_list_xattr(struct file *file,
					     struct dentry *dentry,
					     struct inode *inode, u8 *rec)
{
	return write_mark(file, dentry, inode, ZT_XATTR_EXIST_NAME, rec,
			  ZT_EXIST_MARK_SIZE);
}

int zentrope_getxattr_exist_block_list_xattr(struct file *file,
					     struct dentry *dentry,
					     struct inode *inode, u8 *rec)
{
	return read_mark(dentry, inode, ZT_XATTR_EXIST_NAME, rec,
			 ZT_EXIST_MARK_SIZE);
}
