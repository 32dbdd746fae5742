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
#include <linux/atomic.h>
#include <linux/time64.h>

#include "compat.h"
#include "block_hash.h"
#include "ima_crypto.h"
#include "utils.h"
#include "xattr_mark.h"

u64 count_exist_block_hash_from_xattr;

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

int check_xattr_id(const u8 *id_block, struct inode *inode)
{
	struct zt_file_id id;

	if (!id_block || !inode)
		return -EINVAL;
	zt_inode_file_id(inode, &id);
	return zt_mark_check_id(id_block, &id);
}

static void verdict_stats_debug(void)
{
	u64 from_mark = count_exist_block_hash_from_xattr;
	u64 looked_up = count_exist_block_hash_read();
	struct timespec64 store;

	if ((from_mark + 1) % 100 && (looked_up + 1) % 100)
		return;
	block_hash_change_time(&store);
	pr_debug("zentrope: %s count_exist_block_hash_from_xattr %lu count_exist_block_hash %lu time_update_block_hash %lld\n",
		 "file_exist_block_hash", (unsigned long)from_mark,
		 (unsigned long)looked_up,
		 (long long)zt_mark_combined_time(store.tv_sec, store.tv_nsec));
}

/* The verdict of a mark taken against the current store, or -1. */
static int verdict_from_mark(struct file *file, struct dentry *dentry,
			     struct inode *inode)
{
	u8 rec[ZT_EXIST_MARK_SIZE];
	struct zt_exist_info info;
	struct timespec64 store;

	if (zentrope_getxattr_exist_block_list_xattr(file, dentry, inode, rec) !=
	    ZT_EXIST_MARK_SIZE)
		return -1;
	zt_exist_mark_decode(rec, &info);
	block_hash_change_time(&store);
	if (!zt_exist_mark_current(&info, store.tv_sec, store.tv_nsec))
		return -1;
	count_exist_block_hash_from_xattr++;
	return info.verdict ? 1 : 0;
}

static void write_verdict_mark(struct file *file, struct dentry *dentry,
			       struct inode *inode,
			       const struct timespec64 *store, int verdict)
{
	u8 rec[ZT_EXIST_MARK_SIZE];

	zt_exist_mark_encode(rec, store->tv_sec, store->tv_nsec, verdict);
	zentrope_setxattr_exist_block_list_xattr(file, dentry, inode, rec);
}

int file_exist_block_hash(struct file *file, const u8 *digest, int len,
			  int *hashed)
{
	struct dentry *dentry;
	struct inode *inode;
	struct timespec64 store;
	int verdict;

	if (!digest || len <= 0 || !file)
		return 0;
	dentry = zt_file_real_dentry(file);
	inode = dentry ? d_inode(dentry) : NULL;
	if (hashed && *hashed && inode) {
		verdict = verdict_from_mark(file, dentry, inode);
		verdict_stats_debug();
		if (verdict >= 0)
			return verdict;
	}
	/*
	 * The store time is taken before the lookup: a change in between
	 * then leaves a mark that is merely outdated, never one that claims
	 * an old verdict for the new store.
	 */
	block_hash_change_time(&store);
	verdict = exist_block_hash(digest, len) ? 1 : 0;
	if (inode)
		write_verdict_mark(file, dentry, inode, &store, verdict);
	return verdict;
}

int file_exist_block_hash_and_get(struct file *file, u8 *out, int *len,
				  int *hashed)
{
	u8 digest[SHA1_DIGEST_LEN];
	int n, verdict;

	if (!file || atomic_read(&num_block_hash) <= 0)
		return 0;
	n = get_file_hash(file, digest, sizeof(digest), hashed);
	if (n <= 0 || buf_is_zero(digest, n))
		return 0;
	verdict = file_exist_block_hash(file, digest, n, hashed);
	if (out && len && *len > 0) {
		n = min3(*len, n, SHA1_DIGEST_LEN);
		memcpy(out, digest, n);
		*len = n;
	}
	return verdict;
}
