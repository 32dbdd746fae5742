// SPDX-License-Identifier: GPL-2.0
/*
 * The keyed set. Writers are the control files and the process hooks, all
 * in process context; readers are hooks on any CPU, which take no lock.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/mm.h>
#include <linux/errno.h>
#include <linux/sched.h>

#include "keyed_set.h"

#define MIN_BITS 4
/* 4M buckets: beyond the pid space; a larger set only grows its chains. */
#define MAX_BITS 22
#define RESCHED_EVERY 1024

static struct zt_set_table *locked_table(struct zt_set *s)
{
	return rcu_dereference_protected(s->table, lockdep_is_held(&s->lock));
}

static struct zt_set_table *table_alloc(struct zt_set *s, unsigned int bits,
					unsigned int link)
{
	struct zt_set_table *t;

	t = kvzalloc(struct_size(t, buckets, 1UL << bits), s->gfp | __GFP_NOWARN);
	if (t) {
		t->bits = bits;
		t->link = link;
	}
	return t;
}

static void table_free_rcu(struct rcu_head *rcu)
{
	kvfree(container_of(rcu, struct zt_set_table, rcu));
}

static void node_free_rcu(struct rcu_head *rcu)
{
	kfree(container_of(rcu, struct zt_set_node, rcu));
}

static void bucket_add(struct zt_set_table *t, struct zt_set_node *n)
{
	hlist_add_head_rcu(&n->chain[t->link],
			   &t->buckets[hash_32(n->hash, t->bits)]);
}

/* Twice the buckets of the elements: the load is 1/2 after a growth. */
static unsigned int bits_for(int count)
{
	unsigned int bits = MIN_BITS;

	while (bits < MAX_BITS && (1 << bits) < 2 * count)
		bits++;
	return bits;
}

/*
 * Grows the table once the set holds more elements than buckets. The new
 * table links the nodes' other chain, which no reader may still follow:
 * that needs a grace period since the previous growth. Writers that may
 * wait for it do; the others grow at a later add, to the size by then.
 */
static void maybe_grow(struct zt_set *s, struct zt_set_table *old)
{
	int count = atomic_read(s->count);
	struct zt_set_table *t;
	struct zt_set_node *n;

	if (old->bits >= MAX_BITS || count <= (1 << old->bits))
		return;
	if (s->retiring && !poll_state_synchronize_rcu(s->grace)) {
		if (!s->may_wait)
			return;
		cond_synchronize_rcu(s->grace);
	}
	t = table_alloc(s, bits_for(count), !old->link);
	if (!t)
		return;
	zt_set_for_each(n, s)
		bucket_add(t, n);
	rcu_assign_pointer(s->table, t);
	s->grace = get_state_synchronize_rcu();
	s->retiring = true;
	call_rcu(&old->rcu, table_free_rcu);
}

int zt_set_lock(struct zt_set *s)
{
	return mutex_lock_killable(&s->lock) ? -EINTR : 0;
}

void zt_set_lock_always(struct zt_set *s)
{
	mutex_lock(&s->lock);
}

void zt_set_unlock(struct zt_set *s)
{
	mutex_unlock(&s->lock);
}

int zt_set_link(struct zt_set *s, struct zt_set_node *n, u32 hash)
{
	struct zt_set_table *t = locked_table(s);

	if (!t) {
		t = table_alloc(s, MIN_BITS, 0);
		if (!t)
			return -ENOMEM;
		rcu_assign_pointer(s->table, t);
	}
	n->hash = hash;
	bucket_add(t, n);
	list_add(&n->order, &s->order);
	atomic_inc(s->count);
	maybe_grow(s, t);
	return 0;
}

void zt_set_unlink(struct zt_set *s, struct zt_set_node *n)
{
	hlist_del_rcu(&n->chain[locked_table(s)->link]);
	list_del(&n->order);
	atomic_dec(s->count);
	call_rcu(&n->rcu, node_free_rcu);
}

/*
 * Emptying the buckets in place leaves the removed nodes' links intact, so
 * a reader standing on one walks on to the chain's old end.
 */
void zt_set_clear_locked(struct zt_set *s)
{
	struct zt_set_table *t = locked_table(s);
	struct zt_set_node *n, *next;
	unsigned long i, done = 0;

	if (!t)
		return;
	for (i = 0; i < (1UL << t->bits); i++)
		WRITE_ONCE(t->buckets[i].first, NULL);
	list_for_each_entry_safe(n, next, &s->order, order) {
		list_del(&n->order);
		call_rcu(&n->rcu, node_free_rcu);
		if (++done % RESCHED_EVERY == 0)
			cond_resched();
	}
	atomic_set(s->count, 0);
}

int zt_set_add(struct zt_set *s, struct zt_set_node *n, u32 hash,
	       zt_set_eq_fn eq, const void *key)
{
	int ret;

	if (zt_set_lock(s))
		return -EINTR;
	if (zt_set_find(s, hash, eq, key))
		ret = 0;
	else
		ret = zt_set_link(s, n, hash) ?: 1;
	zt_set_unlock(s);
	return ret;
}

static int remove_locked(struct zt_set *s, u32 hash, zt_set_eq_fn eq,
			 const void *key)
{
	struct zt_set_node *n = zt_set_find(s, hash, eq, key);

	if (n)
		zt_set_unlink(s, n);
	return n ? 1 : 0;
}

int zt_set_remove(struct zt_set *s, u32 hash, zt_set_eq_fn eq, const void *key)
{
	int ret;

	if (zt_set_lock(s))
		return -EINTR;
	ret = remove_locked(s, hash, eq, key);
	zt_set_unlock(s);
	return ret;
}

void zt_set_remove_always(struct zt_set *s, u32 hash, zt_set_eq_fn eq,
			  const void *key)
{
	zt_set_lock_always(s);
	remove_locked(s, hash, eq, key);
	zt_set_unlock(s);
}

int zt_set_clear(struct zt_set *s)
{
	if (zt_set_lock(s))
		return -EINTR;
	zt_set_clear_locked(s);
	zt_set_unlock(s);
	return 0;
}

/* The caller waits for the queued frees (rcu_barrier()) before unload. */
void zt_set_exit(struct zt_set *s)
{
	struct zt_set_table *t;

	zt_set_lock_always(s);
	zt_set_clear_locked(s);
	t = locked_table(s);
	RCU_INIT_POINTER(s->table, NULL);
	s->retiring = false;
	if (t)
		call_rcu(&t->rcu, table_free_rcu);
	zt_set_unlock(s);
}
