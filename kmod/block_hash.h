/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_BLOCK_HASH_H
#define ZENTROPE_BLOCK_HASH_H

#include <linux/types.h>
#include <linux/rcupdate.h>
#include <linux/atomic.h>
#include <linux/time64.h>

#include "utils.h"

#define BLOCK_HASH_MAX 10000000

/* One stored digest; the store keeps them in arrays, in feed order. */
struct hash_sha1_node {
	u8 digest[SHA1_DIGEST_LEN];
};

struct block_hash_set;

/*
 * A reader's place in feed order, kept across calls that drop the RCU
 * read lock. Digests never move within one store generation, so the slot
 * after the last one shown stays valid across deletes; a clear starts a
 * new generation, and the reader then seeks by position instead.
 */
struct block_hash_cursor {
	loff_t index;		/* position of the digest shown last */
	u32 next;		/* slot after it, + 1; 0 when none */
	u32 gen;		/* generation of @next */
	u32 cur, cur_gen;	/* digest being shown */
	struct block_hash_set *set;	/* valid inside one read section */
};

extern atomic_t num_block_hash;
/* Lookups that missed, counted per CPU: summed here when read. */
u64 count_exist_block_hash_read(void);

int block_hash_init(void);
void block_hash_exit(void);

int exist_block_hash(const u8 *digest, int len);
int update_block_hash(const u8 *digest, int len);
/*
 * Adds @n digests of 20 bytes each under one lock hold. Stops at the first
 * failure; *@done tells how many were stored (new or present) before it.
 */
int update_block_hash_many(const u8 *digests, size_t n, size_t *done);
int delete_block_hash(const u8 *digest, int len);
int clear_block_hash(void);
int clear_block_hash_nowait(void);
void block_hash_change_time(struct timespec64 *ts);

/* Walking the store in feed order; callers hold rcu_read_lock(). */
struct hash_sha1_node *block_hash_cursor_start(struct block_hash_cursor *c,
					       loff_t pos);
struct hash_sha1_node *block_hash_cursor_next(struct block_hash_cursor *c,
					      struct hash_sha1_node *node,
					      loff_t *pos);

#endif /* ZENTROPE_BLOCK_HASH_H */
