/* SPDX-License-Identifier: GPL-2.0 */
/*
 * A keyed set for the rule and process lists: a chained hash table read
 * under RCU without locks, changed by writers serialised on one mutex, and
 * an order list that keeps elements newest first for dumps.
 *
 * Growing relinks every element into a new table through the second of its
 * two chain links, so readers still walking the old table keep consistent
 * chains; the table after that reuses the first link, and is only built
 * once a grace period has passed since the old one was unpublished.
 *
 * Elements embed a struct zt_set_node as their first member and are one
 * kmalloc'd block: the set frees a removed element after a grace period.
 */
#ifndef ZENTROPE_KEYED_SET_H
#define ZENTROPE_KEYED_SET_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/rculist.h>
#include <linux/rcupdate.h>
#include <linux/mutex.h>
#include <linux/atomic.h>
#include <linux/hash.h>

struct zt_set_node {
	struct hlist_node chain[2];	/* one per table generation */
	struct list_head order;		/* newest first; under the lock */
	struct rcu_head rcu;
	u32 hash;
};

struct zt_set_table {
	struct rcu_head rcu;
	unsigned int bits;
	unsigned int link;		/* which chain[] of the nodes it uses */
	struct hlist_head buckets[];
};

struct zt_set {
	struct zt_set_table __rcu *table;	/* NULL until the first add */
	struct list_head order;
	struct mutex lock;
	atomic_t *count;
	gfp_t gfp;			/* for tables: writers' context */
	bool may_wait;			/* writers may wait for a grace period */
	bool retiring;			/* an old table may still be walked */
	unsigned long grace;		/* ... until this grace period ends */
};

#define ZT_SET_INIT(name, cnt, flags, wait) {				\
	.order = LIST_HEAD_INIT((name).order),				\
	.lock = __MUTEX_INITIALIZER((name).lock),			\
	.count = (cnt),							\
	.gfp = (flags),							\
	.may_wait = (wait),						\
}

typedef bool (*zt_set_eq_fn)(const struct zt_set_node *node, const void *key);

static inline struct zt_set_node *zt_set_node_of(struct hlist_node *h,
						 unsigned int link)
{
	return h ? container_of(h - link, struct zt_set_node, chain[0]) : NULL;
}

/*
 * The element equal to @key (hashed to @hash), or NULL. The caller holds
 * rcu_read_lock() or the set's lock, and uses the element only while it
 * does. Inlined so that @eq is a direct call.
 */
static __always_inline struct zt_set_node *
zt_set_find(struct zt_set *s, u32 hash, zt_set_eq_fn eq, const void *key)
{
	struct zt_set_table *t;
	struct zt_set_node *n;
	struct hlist_node *h;

	t = rcu_dereference_check(s->table, lockdep_is_held(&s->lock));
	if (!t)
		return NULL;
	h = rcu_dereference_check(hlist_first_rcu(&t->buckets[hash_32(hash, t->bits)]),
				  lockdep_is_held(&s->lock));
	for (; h; h = rcu_dereference_check(hlist_next_rcu(h),
					    lockdep_is_held(&s->lock))) {
		n = zt_set_node_of(h, t->link);
		if (n->hash == hash && eq(n, key))
			return n;
	}
	return NULL;
}

/* Whether @key is in the set; takes and drops the RCU read lock. */
static __always_inline bool zt_set_contains(struct zt_set *s, u32 hash,
					    zt_set_eq_fn eq, const void *key)
{
	bool found;

	if (atomic_read(s->count) <= 0)
		return false;
	rcu_read_lock();
	found = zt_set_find(s, hash, eq, key);
	rcu_read_unlock();
	return found;
}

/* Writers: killable (0 or -EINTR), or regardless of signals. */
int zt_set_lock(struct zt_set *s);
void zt_set_lock_always(struct zt_set *s);
void zt_set_unlock(struct zt_set *s);

/*
 * Under the lock: link @n at the front, counted; -ENOMEM only when the set
 * has no table yet and none can be had. A failed growth keeps the table.
 */
int zt_set_link(struct zt_set *s, struct zt_set_node *n, u32 hash);
/* Under the lock: unlink @n, counted; it is freed after a grace period. */
void zt_set_unlink(struct zt_set *s, struct zt_set_node *n);
/* Under the lock: unlink every element. */
void zt_set_clear_locked(struct zt_set *s);

/*
 * Links @n unless an element equal to @key is present: 1 linked (the set
 * owns @n), 0 present (the caller keeps @n), -EINTR, -ENOMEM.
 */
int zt_set_add(struct zt_set *s, struct zt_set_node *n, u32 hash,
	       zt_set_eq_fn eq, const void *key);
/* Removes the element equal to @key: 1 removed, 0 none, -EINTR. */
int zt_set_remove(struct zt_set *s, u32 hash, zt_set_eq_fn eq, const void *key);
/* The same whatever signals are pending: for paths that must not leak. */
void zt_set_remove_always(struct zt_set *s, u32 hash, zt_set_eq_fn eq,
			  const void *key);
/* 0 or -EINTR. */
int zt_set_clear(struct zt_set *s);
/* Empties the set and frees its table, whatever signals are pending. */
void zt_set_exit(struct zt_set *s);

/* Newest first; the caller holds the lock. */
#define zt_set_for_each(pos, s) \
	list_for_each_entry(pos, &(s)->order, order)

#endif /* ZENTROPE_KEYED_SET_H */
