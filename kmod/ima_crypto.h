/* SPDX-License-Identifier: GPL-2.0 */
/*
 * SHA-1 digests of file content, with the digest cached in the file's
 * cached-hash mark. Everything here may sleep: process context only.
 */
#ifndef ZENTROPE_IMA_CRYPTO_H
#define ZENTROPE_IMA_CRYPTO_H

#include <linux/types.h>

struct file;

/* Module parameter ahash_minsize; 0 keeps the asynchronous path off. */
extern unsigned long ima_ahash_minsize;

/* Plain statistics: digests computed, and digests served from marks. */
extern u64 count_cal_file_hash;
extern u64 count_get_file_hash_from_xattr;

int zentrope_init_ima_crypto(void);
int zentrope_exit_ima_crypto(void);

/* Each returns the number of digest bytes written to @out, or 0. */
int calc_file_hash(struct file *file, u8 *out, int size);
int get_file_hash(struct file *file, u8 *out, int size, int *hashed);
int get_filename_hash(const char *path, struct file *file, u8 *out, int size,
		      int *hashed);

#endif /* ZENTROPE_IMA_CRYPTO_H */
