/* SPDX-License-Identifier: GPL-2.0 */
/*
 * SHA-1 digests of file content, with the digest cached in the file's
 * cached-hash mark. Everything here may sleep: process context only.
 */
#ifndef ZENTROPE_IMA_CRYPTO_H
#define ZENTROPE_IMA_CRYPTO_H

#include <linux/types.h>

#include "stats.h"

struct dentry;
struct file;

/* Module parameter ahash_minsize; 0 keeps the asynchronous path off. */
extern unsigned long ima_ahash_minsize;

/*
 * Files larger than ima_hash_maxsize bytes are not hashed, and count as
 * lost; the limit itself may be set up to ZT_HASH_MAXSIZE_MAX.
 */
#define ZT_HASH_MAXSIZE_MAX 104857600
extern s64 ima_hash_maxsize;
extern struct zt_stat_file hash_lost_stat;

/* Digests computed, and digests served from cached-hash marks. */
u64 count_cal_file_hash_read(void);
u64 count_get_file_hash_from_xattr_read(void);

int zentrope_init_ima_crypto(void);
int zentrope_exit_ima_crypto(void);

/* Each returns the number of digest bytes written to @out, or 0. */
int calc_file_hash(struct file *file, u8 *out, int size);
int get_file_hash(struct file *file, u8 *out, int size, int *hashed);
int get_filename_hash(const char *path, struct file *file, u8 *out, int size,
		      int *hashed);

/* After a timestamp change: the next judgement of the file hashes it. */
void hash_mark_stale(struct dentry *dentry);

#endif /* ZENTROPE_IMA_CRYPTO_H */
