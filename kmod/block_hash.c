// SPDX-License-Identifier: GPL-2.0
/*
 * The set of blocked SHA-1 digests. Digests are appended in feed order to
 * chunks of CHUNK_SLOTS slots and never move; an open-addressing table of
 * slot numbers (linear probing) finds them. Lookups and dumps run under
 * RCU alone; changes take one sleeping lock, so that growing the table
 * can allocate and rebuild it without stalling a CPU.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/mutex.h>
#include <linux/rcupdate.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/timekeeping.h>
#include <linux/errno.h>
#include <linux/percpu.h>

#include "stats.h"
#include "block_hash.h"

/*
 * 1600 digests, the deleted-slot bitmap and the count fill 32,208 bytes of
 * an order-3 slab: 20.5 bytes a digest, in allocations that do not fail
 * for want of contiguous pages.
 */
#define CHUNK_SLOTS 1600
/*
 * An index entry is an 8-bit tag of the hash above the slot number + 1 in
 * 24 bits, so most mismatches are told apart without touching the digest.
 * That bounds the slots one store can hand out; add/delete churn that uses
 * them all up with fewer than BLOCK_HASH_MAX stored compacts the store.
 */
#define SLOT_BITS 24
#define SLOT_MASK ((1U << SLOT_BITS) - 1)
#define SLOT_LIMIT SLOT_MASK
#define DIR_SIZE ((SLOT_LIMIT + CHUNK_SLOTS - 1) / CHUNK_SLOTS)
#define IDX_EMPTY 0U
#define IDX_TOMB (1U << SLOT_BITS)	/* slot part 0: not a digest */
#define MIN_CAP 1024U
#define RESCHED_EVERY 65536U

struct hash_sha1_chunk {
	struct hash_sha1_node node[CHUNK_SLOTS];
	u32 live;
	u64 dead[(CHUNK_SLOTS + 63) / 64];
};

/*
 * The entries apart from the header: a power-of-two size, which a huge
 * vmalloc mapping would otherwise round up by 2 MiB.
 */
struct bh_index {
	u32 mask;
	u32 *e;
	struct rcu_head rcu;
};

struct block_hash_set {
	struct bh_index __rcu *index;
	u32 used;		/* slots handed out; readers load it acquiring */
	u32 live, tombs;	/* written under store_lock only */
	u32 gen;
	struct rcu_head rcu;
	struct hash_sha1_chunk *chunk[DIR_SIZE];
};

static struct block_hash_set __rcu *store;
static DEFINE_MUTEX(store_lock);
static u32 store_gen;
/* Separate from store_lock so that readers of the time never sleep. */
static DEFINE_SPINLOCK(time_lock);
static struct timespec64 time_update_block_hash;
/* Keeps the node cache's name: the VM tests and slub_debug know it. */
static struct kmem_cache *hash_sha1_node_cache;

atomic_t num_block_hash = ATOMIC_INIT(0);
/* Every miss would write one shared line from all CPUs otherwise. */
static DEFINE_PER_CPU(u64, count_exist_block_hash);

u64 count_exist_block_hash_read(void)
{
	return zt_stat_sum(count_exist_block_hash);
}

static bool valid_digest(const u8 *digest, int len)
{
	return digest && len == SHA1_DIGEST_LEN;
}

/* Test digests are not uniform in their bytes; SHA-1 output would be. */
static u64 digest_hash(const u8 *d)
{
	u64 a, b;
	u32 c;

	memcpy(&a, d, 8);
	memcpy(&b, d + 8, 8);
	memcpy(&c, d + 16, 4);
	a = (a ^ (b << 29 | b >> 35) ^ c) * 0x9E3779B97F4A7C15ULL;
	return a ^ (a >> 32);
}

static u32 entry_of(u64 h, u32 slot)
{
	return (u32)(h >> 56) << SLOT_BITS | (slot + 1);
}

static struct hash_sha1_node *node_at(const struct block_hash_set *set,
				      u32 slot)
{
	return &READ_ONCE(set->chunk[slot / CHUNK_SLOTS])->node[slot % CHUNK_SLOTS];
}

static bool slot_dead(const struct block_hash_set *set, u32 slot)
{
	const struct hash_sha1_chunk *chunk = READ_ONCE(set->chunk[slot / CHUNK_SLOTS]);
	u32 j = slot % CHUNK_SLOTS;

	return READ_ONCE(chunk->dead[j / 64]) >> (j % 64) & 1;
}

/*
 * The table position holding @d, or -1. On a miss *@at (when asked for)
 * gets where @d would go: the first deleted entry on the way, else the
 * empty one that ended the search.
 */
static int probe(const struct block_hash_set *set, const struct bh_index *ix,
		 const u8 *d, u64 h, u32 *at)
{
	u32 mask = ix->mask, i = h & mask, tag = entry_of(h, 0) & ~SLOT_MASK;
	bool have_free = false;

	for (;; i = (i + 1) & mask) {
		u32 e = READ_ONCE(ix->e[i]);

		if (e == IDX_EMPTY)
			break;
		if (e == IDX_TOMB) {
			if (at && !have_free) {
				*at = i;
				have_free = true;
			}
			continue;
		}
		if ((e & ~SLOT_MASK) == tag &&
		    !memcmp(node_at(set, (e & SLOT_MASK) - 1)->digest, d,
			    SHA1_DIGEST_LEN))
			return i;
	}
	if (at && !have_free)
		*at = i;
	return -1;
}

static struct block_hash_set *set_locked(void)
{
	return rcu_dereference_protected(store, lockdep_is_held(&store_lock));
}

static struct bh_index *index_locked(struct block_hash_set *set)
{
	return rcu_dereference_protected(set->index,
					 lockdep_is_held(&store_lock));
}

static struct bh_index *index_alloc(u32 cap)
{
	struct bh_index *ix = kzalloc(sizeof(*ix), GFP_KERNEL);

	if (!ix)
		return NULL;
	ix->e = kvzalloc((size_t)cap * sizeof(ix->e[0]), GFP_KERNEL);
	if (!ix->e) {
		kfree(ix);
		return NULL;
	}
	ix->mask = cap - 1;
	return ix;
}

static void free_index(struct bh_index *ix)
{
	kvfree(ix->e);
	kfree(ix);
}

static void free_index_rcu(struct rcu_head *rcu)
{
	free_index(container_of(rcu, struct bh_index, rcu));
}

static void free_set(struct block_hash_set *set, bool can_sleep)
{
	u32 c;

	free_index(rcu_dereference_protected(set->index, 1));
	for (c = 0; c < DIR_SIZE && set->chunk[c]; c++) {
		kmem_cache_free(hash_sha1_node_cache, set->chunk[c]);
		if (can_sleep && c % 256 == 255)
			cond_resched();
	}
	kvfree(set);
}

static void free_set_rcu(struct rcu_head *rcu)
{
	free_set(container_of(rcu, struct block_hash_set, rcu), false);
}

static struct block_hash_set *new_set(void)
{
	struct block_hash_set *set = kvzalloc(sizeof(*set), GFP_KERNEL);
	struct bh_index *ix;

	if (!set)
		return NULL;
	ix = index_alloc(MIN_CAP);
	if (!ix) {
		kvfree(set);
		return NULL;
	}
	RCU_INIT_POINTER(set->index, ix);
	set->gen = ++store_gen;
	return set;
}

/*
 * Load at most 62.5% after a rebuild: 10M digests still fit in 2^24.
 * Up to 2^21 entries (8 MiB) tables grow eightfold: a feed of 1M digests
 * then re-inserts 0.45M of them instead of 1.5M when doubling.
 */
#define EAGER_CAP (1U << 21)
static u32 cap_for(u32 live)
{
	u32 cap = MIN_CAP;

	while ((u64)(live + 1) * 8 > (u64)cap * 5)
		cap = cap < EAGER_CAP ? min(cap << 3, EAGER_CAP) : cap << 1;
	return cap;
}

/* Into a table no reader sees yet. */
static void index_put(struct bh_index *ix, const struct block_hash_set *set,
		      u32 slot)
{
	u64 h = digest_hash(node_at(set, slot)->digest);
	u32 i = h & ix->mask;

	while (ix->e[i] != IDX_EMPTY)
		i = (i + 1) & ix->mask;
	ix->e[i] = entry_of(h, slot);
}

/*
 * A new table sized for the digests stored, without deleted entries,
 * published whole; readers still in the old one finish there.
 */
static int rebuild_index_locked(struct block_hash_set *set)
{
	struct bh_index *old = index_locked(set), *ix;
	u32 i, n;

	ix = index_alloc(cap_for(set->live));
	if (!ix)
		return -ENOMEM;
	if (set->used <= old->mask + 1) {
		/* In feed order: sequential reads of the digests. */
		for (i = 0; i < set->used; i++) {
			if (!slot_dead(set, i))
				index_put(ix, set, i);
			if (i % RESCHED_EVERY == RESCHED_EVERY - 1)
				cond_resched();
		}
	} else {
		/* Churn left more dead slots than the table has entries. */
		for (i = 0, n = 0; i <= old->mask; i++) {
			if (old->e[i] & SLOT_MASK)
				index_put(ix, set, (old->e[i] & SLOT_MASK) - 1);
			if (++n % RESCHED_EVERY == 0)
				cond_resched();
		}
	}
	rcu_assign_pointer(set->index, ix);
	set->tombs = 0;
	call_rcu(&old->rcu, free_index_rcu);
	return 0;
}

static struct hash_sha1_chunk *chunk_for_locked(struct block_hash_set *set,
						u32 slot)
{
	struct hash_sha1_chunk *chunk = set->chunk[slot / CHUNK_SLOTS];

	if (!chunk) {
		chunk = kmem_cache_zalloc(hash_sha1_node_cache, GFP_KERNEL);
		if (chunk)
			WRITE_ONCE(set->chunk[slot / CHUNK_SLOTS], chunk);
	}
	return chunk;
}

/*
 * The live digests, in order, into a fresh set; dump cursors of the old
 * one then seek by position once.
 */
static int compact_locked(struct block_hash_set **setp)
{
	struct block_hash_set *old = *setp, *set = new_set();
	struct hash_sha1_chunk *chunk;
	u32 s;
	int ret;

	if (!set)
		return -ENOMEM;
	for (s = 0; s < old->used; s++) {
		if (slot_dead(old, s))
			continue;
		chunk = chunk_for_locked(set, set->used);
		if (!chunk) {
			free_set(set, true);
			return -ENOMEM;
		}
		memcpy(chunk->node[set->used % CHUNK_SLOTS].digest,
		       node_at(old, s)->digest, SHA1_DIGEST_LEN);
		chunk->live++;
		set->used++;
		set->live++;
		if (s % RESCHED_EVERY == RESCHED_EVERY - 1)
			cond_resched();
	}
	ret = rebuild_index_locked(set);
	if (ret) {
		free_set(set, true);
		return ret;
	}
	rcu_assign_pointer(store, set);
	call_rcu(&old->rcu, free_set_rcu);
	*setp = set;
	return 0;
}

/* 1 when added, 0 when already present, or an error. */
static int add_locked(const u8 *d)
{
	struct block_hash_set *set = set_locked();
	struct hash_sha1_chunk *chunk;
	struct bh_index *ix;
	u64 h = digest_hash(d);
	u32 at, slot;
	int ret;

	if (!set) {
		set = new_set();
		if (!set)
			return -ENOMEM;
		rcu_assign_pointer(store, set);
	}
	if (set->live >= BLOCK_HASH_MAX)
		return -ENOSPC;
	for (;;) {
		ix = index_locked(set);
		if (probe(set, ix, d, h, &at) >= 0)
			return 0;
		if (set->used >= SLOT_LIMIT)
			ret = compact_locked(&set);
		else if (ix->e[at] == IDX_EMPTY &&
			 (u64)(set->live + set->tombs + 1) * 4 > (u64)(ix->mask + 1) * 3)
			ret = rebuild_index_locked(set);
		else
			break;
		if (ret)
			return ret;
	}
	slot = set->used;
	chunk = chunk_for_locked(set, slot);
	if (!chunk)
		return -ENOMEM;
	memcpy(chunk->node[slot % CHUNK_SLOTS].digest, d, SHA1_DIGEST_LEN);
	WRITE_ONCE(chunk->live, chunk->live + 1);
	if (ix->e[at] == IDX_TOMB)
		set->tombs--;
	/* The digest is in place before a reader can be led to it. */
	smp_store_release(&ix->e[at], entry_of(h, slot));
	smp_store_release(&set->used, slot + 1);
	set->live++;
	return 1;
}

static void touch(void)
{
	spin_lock(&time_lock);
	ktime_get_real_ts64(&time_update_block_hash);
	spin_unlock(&time_lock);
}

int exist_block_hash(const u8 *digest, int len)
{
	struct block_hash_set *set;
	bool found = false;

	if (!valid_digest(digest, len))
		return 0;
	rcu_read_lock();
	set = rcu_dereference(store);
	if (set)
		found = probe(set, rcu_dereference(set->index), digest,
			      digest_hash(digest), NULL) >= 0;
	rcu_read_unlock();
	if (!found)
		this_cpu_inc(count_exist_block_hash);
	return found;
}

/*
 * The change time and the count move once per batch, after its digests
 * can be found: a verdict taken against the old time is merely outdated.
 */
int update_block_hash_many(const u8 *digests, size_t n, size_t *done)
{
	u32 added = 0;
	size_t i;
	int ret = 0;

	*done = 0;
	if (!digests)
		return -EINVAL;
	mutex_lock(&store_lock);
	for (i = 0; i < n; i++) {
		ret = add_locked(digests + i * SHA1_DIGEST_LEN);
		if (ret < 0)
			break;
		added += ret;
	}
	if (added) {
		atomic_add(added, &num_block_hash);
		touch();
	}
	mutex_unlock(&store_lock);
	*done = i;
	return ret < 0 ? ret : 0;
}

int update_block_hash(const u8 *digest, int len)
{
	size_t done;

	if (!valid_digest(digest, len))
		return -EINVAL;
	return update_block_hash_many(digest, 1, &done);
}

int delete_block_hash(const u8 *digest, int len)
{
	struct hash_sha1_chunk *chunk;
	struct block_hash_set *set;
	struct bh_index *ix;
	u32 slot, j;
	int i, ret = -ENOENT;

	if (!valid_digest(digest, len))
		return -EINVAL;
	mutex_lock(&store_lock);
	set = set_locked();
	if (!set)
		goto out;
	ix = index_locked(set);
	i = probe(set, ix, digest, digest_hash(digest), NULL);
	if (i < 0)
		goto out;
	slot = (ix->e[i] & SLOT_MASK) - 1;
	WRITE_ONCE(ix->e[i], IDX_TOMB);
	set->tombs++;
	chunk = set->chunk[slot / CHUNK_SLOTS];
	j = slot % CHUNK_SLOTS;
	WRITE_ONCE(chunk->dead[j / 64], chunk->dead[j / 64] | 1ULL << (j % 64));
	WRITE_ONCE(chunk->live, chunk->live - 1);
	set->live--;
	atomic_dec(&num_block_hash);
	touch();
	ret = 0;
out:
	mutex_unlock(&store_lock);
	return ret;
}

static void clear_store(bool wait)
{
	struct block_hash_set *set;

	mutex_lock(&store_lock);
	set = set_locked();
	if (set) {
		RCU_INIT_POINTER(store, NULL);
		atomic_set(&num_block_hash, 0);
		if (set->live)
			touch();
	}
	mutex_unlock(&store_lock);
	if (!set)
		return;
	if (wait) {
		synchronize_rcu();
		free_set(set, true);
	} else {
		call_rcu(&set->rcu, free_set_rcu);
	}
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
	spin_lock(&time_lock);
	*ts = time_update_block_hash;
	spin_unlock(&time_lock);
}

int block_hash_init(void)
{
	hash_sha1_node_cache = kmem_cache_create_usercopy("hash_sha1_node_cache",
			sizeof(struct hash_sha1_chunk), 0, SLAB_HWCACHE_ALIGN,
			offsetof(struct hash_sha1_chunk, node),
			sizeof_field(struct hash_sha1_chunk, node), NULL);
	if (!hash_sha1_node_cache) {
		pr_err("zentrope: %s kmem_cache_create hash_sha1_node_cache err!\n",
		       __func__);
		return -ENOMEM;
	}
	touch();
	return 0;
}

void block_hash_exit(void)
{
	clear_store(true);
	/* Frees queued by non-waiting clears and by table growth. */
	rcu_barrier();
	kmem_cache_destroy(hash_sha1_node_cache);
	hash_sha1_node_cache = NULL;
}

/* From slot @s on, the first digest not deleted. */
static struct hash_sha1_node *node_from(struct block_hash_cursor *c, u32 s)
{
	struct block_hash_set *set = c->set;
	u32 used;

	if (!set)
		return NULL;
	/* Pairs with the release in add_locked(): the digests are there. */
	used = smp_load_acquire(&set->used);
	for (; s < used; s++) {
		if (!slot_dead(set, s)) {
			c->cur = s;
			return node_at(set, s);
		}
	}
	return NULL;
}

/* The slot of the digest at @pos, skipping whole chunks by their counts. */
static u32 seek(const struct block_hash_set *set, loff_t pos)
{
	u32 used = smp_load_acquire(&set->used), s = 0;

	while (s < used) {
		u32 live = READ_ONCE(set->chunk[s / CHUNK_SLOTS]->live);

		if (s % CHUNK_SLOTS == 0 && pos >= live) {
			pos -= live;
			s += CHUNK_SLOTS;
			continue;
		}
		if (!slot_dead(set, s) && pos-- == 0)
			return s;
		s++;
	}
	return used;
}

struct hash_sha1_node *block_hash_cursor_start(struct block_hash_cursor *c,
					       loff_t pos)
{
	struct block_hash_set *set = rcu_dereference(store);
	u32 from;

	c->set = set;
	if (!set || pos < 0)
		return NULL;
	c->cur_gen = set->gen;
	if (c->next && pos == c->index + 1 && c->gen == set->gen)
		from = c->next - 1;
	else
		from = pos ? seek(set, pos) : 0;
	return node_from(c, from);
}

struct hash_sha1_node *block_hash_cursor_next(struct block_hash_cursor *c,
					      struct hash_sha1_node *node,
					      loff_t *pos)
{
	c->index = *pos;
	c->next = c->cur + 2;
	c->gen = c->cur_gen;
	++*pos;
	return node_from(c, c->cur + 1);
}
