/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Whether a file's digest is in the blocked-digest store, served from the
 * file's verdict mark while neither the file nor the store changed.
 * Process context only: it may hash the file and write its marks.
 */
#ifndef ZENTROPE_FILE_VERDICT_H
#define ZENTROPE_FILE_VERDICT_H

#include <linux/types.h>

struct file;

/*
 * 1 when @digest (@len bytes, @file's) is blocked, else 0. *@hashed says
 * the digest came from a trusted cached-hash mark, which lets a current
 * verdict mark answer instead of the store.
 */
int file_exist_block_hash(struct file *file, const u8 *digest, int len,
			  int *hashed);
/* The same for @file's own digest, copied to @out (*@len bytes). */
int file_exist_block_hash_and_get(struct file *file, u8 *out, int *len,
				  int *hashed);

/* Verdicts served from verdict marks. */
u64 count_exist_block_hash_from_xattr_read(void);

#endif /* ZENTROPE_FILE_VERDICT_H */
