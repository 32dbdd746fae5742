// SPDX-License-Identifier: GPL-2.0
/*
 * The set of blocked SHA-1 digests: a fixed chained hash table read under
 * RCU, changed under one spin lock, plus an insertion-ordered list for dumps.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/rculist.h>
#include <linux/hash.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/timekeeping.h>
#include <linux/errno.h>
#include <linux/percpu.h>

#include "block_hash.h"

#define BLOCK_HASH_BUCKETS (1U << BLOCK_HASH_BITS)
#define CLEAR_BATCH 8192

static struct list_head hash_table[BLOCK_HASH_BUCKETS];
static LIST_HEAD(global_list);
static DEFINE_SPINLOCK(sha1_lock);
static struct kmem_cache *hash_sha1_node_cache;
static struct timespec64 time_update_block_hash;

/* Bumped under sha1_lock by every delete and clear; cursors compare it. */
static u64 block_hash_removals;

atomic_t num_block_hash = ATOMIC_INIT(0);
/* Every miss would write one shared line from all CPUs otherwise. */
static DEFINE_PER_CPU(u64, count_exist_block_hash);

u64 count_exist_block_hash_read(void)
{
	u64 sum = 0;
	int cpu;

	for_each_possible_cpu(cpu)
		sum += READ_ONCE(per_cpu(count_exist_block_hash, cpu));
	return sum;
}

static struct list_head *bucket_of(const u8 *digest)
{
	u32 key = digest[0] | digest[1] << 8 | digest[2] << 16 |
		  (u32)digest[3] << 24;

	return &hash_table[hash_32(key, BLOCK_HASH_BITS)];
}

static bool valid_digest(const u8 *digest, int len)
{
	return digest && len == SHA1_DIGEST_LEN;
}

/* Caller holds sha1_lock or rcu_read_lock(). */
static struct hash_sha1_node *find_node(const u8 *digest)
{
	struct list_head *head = bucket_of(digest);
	struct hash_sha1_node *node;

	list_for_each_entry_rcu(node, head, bucket,
				lockdep_is_held(&sha1_lock)) {
		if (!memcmp(node->digest, digest, SHA1_DIGEST_LEN))
			return node;
	}
	return NULL;
}

/* After the unlink, so a reader that sees the new count cannot reach it. */
static void count_removal_locked(void)
{
	smp_store_release(&block_hash_removals, block_hash_removals + 1);
}

static void touch_locked(void)
{
	ktime_get_real_ts64(&time_update_block_hash);
}

static void free_node_rcu(struct rcu_head *rcu)
{
	kmem_cache_free(hash_sha1_node_cache,
			container_of(rcu, struct hash_sha1_node, rcu));
}

int exist_block_hash(const u8 *digest, int len)
{
	bool found;

	if (!valid_digest(digest, len))
		return 0;
	rcu_read_lock();
	found = find_node(digest) != NULL;
	rcu_read_unlock();
	if (!found)
		this_cpu_inc(count_exist_block_hash);
	return found;
}

/*
 * The node is allocated before the lock so that filling ten million
 * digests does not lean on atomic reserves; callers are in process context.
 */
int update_block_hash(const u8 *digest, int len)
{
	struct hash_sha1_node *node;

	if (!valid_digest(digest, len))
		return -EINVAL;
	if (atomic_read(&num_block_hash) > BLOCK_HASH_MAX - 1)
		return -ENOSPC;

	node = kmem_cache_zalloc(hash_sha1_node_cache, GFP_KERNEL);
	if (!node)
		return -ENOMEM;
	memcpy(node->digest, digest, SHA1_DIGEST_LEN);

	spin_lock(&sha1_lock);
	if (find_node(digest)) {
		spin_unlock(&sha1_lock);
		kmem_cache_free(hash_sha1_node_cache, node);
		return 0;
	}
	list_add_rcu(&node->bucket, bucket_of(digest));
	list_add_tail_rcu(&node->list, &global_list);
	atomic_inc(&num_block_hash);
	touch_locked();
	spin_unlock(&sha1_lock);
	return 0;
}

int delete_block_hash(const u8 *digest, int len)
{
	struct hash_sha1_node *node;

	if (!valid_digest(digest, len))
		return -EINVAL;
	spin_lock(&sha1_lock);
	node = find_node(digest);
	if (!node) {
		spin_unlock(&sha1_lock);
		return -ENOENT;
	}
	/* list_del_rcu() keeps ->next valid for readers standing on it. */
	list_del_rcu(&node->bucket);
	list_del_rcu(&node->list);
	count_removal_locked();
	atomic_dec(&num_block_hash);
	touch_locked();
	spin_unlock(&sha1_lock);
	call_rcu(&node->rcu, free_node_rcu);
	return 0;
}

/*
 * Unlink every node and return the first of them. The removed nodes keep
 * their forward links, and the last one still points at the real list head,
 * so a reader standing on any of them walks back to global_list and stops.
 */
static struct list_head *detach_all_locked(void)
{
	struct list_head *first = global_list.next;
	unsigned int i;

	if (list_empty(&global_list))
		return NULL;
	for (i = 0; i < BLOCK_HASH_BUCKETS; i++)
		INIT_LIST_HEAD_RCU(&hash_table[i]);
	INIT_LIST_HEAD_RCU(&global_list);
	count_removal_locked();
	atomic_set(&num_block_hash, 0);
	touch_locked();
	return first;
}

/* Free the detached chain starting at @pos; it ends at &global_list. */
static void free_detached(struct list_head *pos, bool wait)
{
	unsigned long n = 0;

	if (wait)
		synchronize_rcu();
	while (pos && pos != &global_list) {
		struct hash_sha1_node *node;

		node = list_entry(pos, struct hash_sha1_node, list);
		pos = pos->next;
		if (wait)
			kmem_cache_free(hash_sha1_node_cache, node);
		else
			call_rcu(&node->rcu, free_node_rcu);
		if (++n % CLEAR_BATCH == 0)
			cond_resched();
	}
}

static void clear_store(bool wait)
{
	struct list_head *first;

	spin_lock(&sha1_lock);
	first = detach_all_locked();
	spin_unlock(&sha1_lock);
	free_detached(first, wait);
}

int clear_block_hash(void)
{
	clear_store(true);
	return 0;
}

int clear_block_hash_nowait(void)
{
	clear_store(false);
	return 0;
}

void block_hash_change_time(struct timespec64 *ts)
{
	spin_lock(&sha1_lock);
	*ts = time_update_block_hash;
	spin_unlock(&sha1_lock);
}

int block_hash_init(void)
{
	unsigned int i;

	for (i = 0; i < BLOCK_HASH_BUCKETS; i++)
		INIT_LIST_HEAD(&hash_table[i]);
	hash_sha1_node_cache = kmem_cache_create_usercopy("hash_sha1_node_cache",
			sizeof(struct hash_sha1_node), 0, SLAB_HWCACHE_ALIGN,
			offsetof(struct hash_sha1_node, digest),
			SHA1_DIGEST_LEN, NULL);
	if (!hash_sha1_node_cache) {
		pr_err("zentrope: %s kmem_cache_create hash_sha1_node_cache err!\n",
		       __func__);
		return -ENOMEM;
	}
	spin_lock(&sha1_lock);
	touch_locked();
	spin_unlock(&sha1_lock);
	return 0;
}

void block_hash_exit(void)
{
	clear_store(true);
	/* Frees queued by earlier non-waiting clears and deletes. */
	rcu_barrier();
	kmem_cache_destroy(hash_sha1_node_cache);
	hash_sha1_node_cache = NULL;
}

static struct hash_sha1_node *node_or_null(struct list_head *pos)
{
	if (pos == &global_list)
		return NULL;
	return list_entry(pos, struct hash_sha1_node, list);
}

static struct hash_sha1_node *walk_to(loff_t pos)
{
	struct list_head *p;

	list_for_each_rcu(p, &global_list) {
		if (pos-- == 0)
			return node_or_null(p);
	}
	return NULL;
}

/*
 * The saved node may be followed only if nothing was removed since the read
 * section that saved it began: a removal is counted before its node is
 * queued for freeing, so an unchanged count proves the node not yet freed.
 * Otherwise fall back to a walk from the start.
 */
struct hash_sha1_node *block_hash_cursor_start(struct block_hash_cursor *c,
					       loff_t pos)
{
	/* Pairs with the release in count_removal_locked(). */
	u64 removals = smp_load_acquire(&block_hash_removals);
	bool resume;

	if (!c)
		return walk_to(pos);
	resume = pos > 0 && c->node && pos == c->index + 1 &&
		 removals == c->removals;
	c->snapshot = removals;
	if (resume)
		return node_or_null(rcu_dereference(list_next_rcu(&c->node->list)));
	c->node = NULL;
	return walk_to(pos);
}

struct hash_sha1_node *block_hash_cursor_next(struct block_hash_cursor *c,
					      struct hash_sha1_node *node,
					      loff_t *pos)
{
	if (c) {
		c->node = node;
		c->index = *pos;
		c->removals = c->snapshot;
	}
	++*pos;
	return node_or_null(rcu_dereference(list_next_rcu(&node->list)));
}
