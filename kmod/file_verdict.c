// SPDX-License-Identifier: GPL-2.0
/*
 * The digest verdict on a file. A verdict mark records the store's change
 * time with the verdict, so it answers only while the store is unchanged;
 * the codec seals it to the file, so it answers only for the same file.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/dcache.h>
#include <linux/string.h>
#include <linux/time64.h>

#include "block_hash.h"
#include "ima_crypto.h"
#include "mark_codec.h"
#include "stats.h"
#include "utils.h"
#include "xattr_mark.h"
#include "file_verdict.h"

static DEFINE_PER_CPU(u64, count_exist_block_hash_from_xattr);

u64 count_exist_block_hash_from_xattr_read(void)
{
	return zt_stat_sum(count_exist_block_hash_from_xattr);
}

static void verdict_stats_debug(void)
{
	u64 from_mark = count_exist_block_hash_from_xattr_read();
	u64 looked_up = count_exist_block_hash_read();
	struct timespec64 store;

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
	if (zt_stat_inc_every(count_exist_block_hash_from_xattr, 100))
		verdict_stats_debug();
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
