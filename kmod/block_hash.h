/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_BLOCK_HASH_H
#define ZENTROPE_BLOCK_HASH_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/rcupdate.h>
#include <linux/atomic.h>
#include <linux/time64.h>

#include "utils.h"

#define BLOCK_HASH_BITS 18
#define BLOCK_HASH_MAX 10000000

struct hash_sha1_node {
	struct list_head bucket;
	struct list_head list;
	u8 digest[SHA1_DIGEST_LEN];
	struct rcu_head rcu;
};

/*
 * Position of a reader in the insertion-ordered list, kept across calls
 * that drop the RCU read lock. @node is only trusted while no digest has
 * been removed since the section that saved it began (@removals); the
 * current section's count is kept in @snapshot.
 */
struct block_hash_cursor {
	struct hash_sha1_node *node;
	loff_t index;
	u64 removals;
	u64 snapshot;
};

extern atomic_t num_block_hash;
/* Lookups that missed, counted per CPU: summed here when read. */
u64 count_exist_block_hash_read(void);

int block_hash_init(void);
void block_hash_exit(void);

int exist_block_hash(const u8 *digest, int len);
int update_block_hash(const u8 *digest, int len);
int delete_block_hash(const u8 *digest, int len);
int clear_block_hash(void);
int clear_block_hash_nowait(void);
void block_hash_change_time(struct timespec64 *ts);

/* Walking the store in insertion order; callers hold rcu_read_lock(). */
struct hash_sha1_node *block_hash_cursor_start(struct block_hash_cursor *c,
					       loff_t pos);
struct hash_sha1_node *block_hash_cursor_next(struct block_hash_cursor *c,
					      struct hash_sha1_node *node,
					      loff_t *pos);

#endif /* ZENTROPE_BLOCK_HASH_H */
