/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The few kernel facilities the module's pure logic uses, for building
 * that logic in user space. RCU is the real thing (liburcu); everything
 * else keeps the kernel's semantics in the plainest form.
 */
#ifndef ZENTROPE_KSHIM_H
#define ZENTROPE_KSHIM_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <sys/types.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <assert.h>
#include <time.h>
#include <pthread.h>
#include <arpa/inet.h>
#include <urcu.h>
#include <urcu/pointer.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef int32_t s32;
typedef uint64_t u64;
typedef int64_t s64;
typedef int64_t time64_t;
typedef unsigned int gfp_t;
typedef uint32_t __be32;

#define GFP_KERNEL 0x1u
#define GFP_ATOMIC 0x2u
#define GFP_KERNEL_ACCOUNT 0x4u
#define __GFP_NOWARN 0x8u
#define GFP_NOFS 0x10u

#define __printf(a, b) __attribute__((format(printf, a, b)))
#define __acquires(x)
#define __releases(x)
#define __rcu
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)

#define READ_ONCE(x) __atomic_load_n(&(x), __ATOMIC_RELAXED)
#define WRITE_ONCE(x, v) __atomic_store_n(&(x), (v), __ATOMIC_RELAXED)

/*
 * One CPU: a per-CPU variable is the variable itself. Host threads that
 * bump one race as the kernel's would without the per-CPU split; only
 * counters use them.
 */
#define DEFINE_PER_CPU(type, name) type name
#define DECLARE_PER_CPU(type, name) extern type name
#define per_cpu(var, cpu) (*((void)(cpu), &(var)))
#define this_cpu_inc(var) __atomic_add_fetch(&(var), 1, __ATOMIC_RELAXED)
#define for_each_possible_cpu(cpu) for ((cpu) = 0; (cpu) < 1; (cpu)++)
#define smp_load_acquire(p) __atomic_load_n((p), __ATOMIC_ACQUIRE)
#define smp_store_release(p, v) __atomic_store_n((p), (v), __ATOMIC_RELEASE)

#define container_of(ptr, type, member) \
	((type *)((char *)(ptr) - offsetof(type, member)))
#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#ifndef __cplusplus
#define min(a, b) ((a) < (b) ? (a) : (b))
#define max(a, b) ((a) > (b) ? (a) : (b))
#endif
#ifndef __cplusplus
#undef static_assert
#define static_assert(expr, ...) _Static_assert(expr, #expr)
#endif
#define min_t(t, a, b) ((t)(a) < (t)(b) ? (t)(a) : (t)(b))

#define pr_err(...) fprintf(stderr, __VA_ARGS__)
#define pr_err_ratelimited(...) pr_err(__VA_ARGS__)
#define pr_info(...) fprintf(stderr, __VA_ARGS__)
#define pr_debug(...) do { } while (0)
#define cpu_relax() do { } while (0)
#define cond_resched() do { } while (0)
#define lockdep_is_held(l) 1

/* ---- lists, as include/linux/list.h and rculist.h ---- */

struct list_head {
	struct list_head *next, *prev;
};

#define LIST_HEAD_INIT(name) { &(name), &(name) }
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

static inline void INIT_LIST_HEAD(struct list_head *l)
{
	WRITE_ONCE(l->next, l);
	l->prev = l;
}
#define INIT_LIST_HEAD_RCU(l) INIT_LIST_HEAD(l)

static inline void __list_add(struct list_head *n, struct list_head *prev,
			      struct list_head *next)
{
	next->prev = n;
	n->next = next;
	n->prev = prev;
	WRITE_ONCE(prev->next, n);
}

static inline void __list_add_rcu(struct list_head *n, struct list_head *prev,
				  struct list_head *next)
{
	n->next = next;
	n->prev = prev;
	rcu_assign_pointer(prev->next, n);
	next->prev = n;
}

static inline void list_add(struct list_head *n, struct list_head *h)
{
	__list_add(n, h, h->next);
}

static inline void list_add_rcu(struct list_head *n, struct list_head *h)
{
	__list_add_rcu(n, h, h->next);
}

static inline void list_add_tail_rcu(struct list_head *n, struct list_head *h)
{
	__list_add_rcu(n, h->prev, h);
}

static inline void __list_del_entry(struct list_head *e)
{
	e->next->prev = e->prev;
	WRITE_ONCE(e->prev->next, e->next);
}

static inline void list_del(struct list_head *e)
{
	__list_del_entry(e);
	e->next = (struct list_head *)0x100;
	e->prev = (struct list_head *)0x122;
}

/* Keeps ->next for readers standing on the entry, like the kernel's. */
static inline void list_del_rcu(struct list_head *e)
{
	__list_del_entry(e);
	e->prev = (struct list_head *)0x122;
}

static inline int list_empty(const struct list_head *h)
{
	return READ_ONCE(h->next) == h;
}

#define list_entry(ptr, type, member) container_of(ptr, type, member)
#define list_next_rcu(l) ((l)->next)
#define list_for_each(pos, head) \
	for (pos = (head)->next; pos != (head); pos = pos->next)
#define list_for_each_safe(pos, n, head) \
	for (pos = (head)->next, n = pos->next; pos != (head); \
	     pos = n, n = pos->next)
#define list_for_each_rcu(pos, head) \
	for (pos = rcu_dereference((head)->next); pos != (head); \
	     pos = rcu_dereference(pos->next))
#define list_for_each_entry(pos, head, member) \
	for (pos = list_entry((head)->next, __typeof__(*pos), member); \
	     &pos->member != (head); \
	     pos = list_entry(pos->member.next, __typeof__(*pos), member))
#define list_for_each_entry_safe(pos, n, head, member) \
	for (pos = list_entry((head)->next, __typeof__(*pos), member), \
	     n = list_entry(pos->member.next, __typeof__(*pos), member); \
	     &pos->member != (head); \
	     pos = n, n = list_entry(n->member.next, __typeof__(*n), member))
#define list_for_each_entry_rcu(pos, head, member, ...) \
	for (pos = list_entry(rcu_dereference((head)->next), \
			      __typeof__(*pos), member); \
	     &pos->member != (head); \
	     pos = list_entry(rcu_dereference(pos->member.next), \
			      __typeof__(*pos), member))

/* Hash lists, as the kernel's: a head of one pointer, nodes linked both ways. */
struct hlist_node {
	struct hlist_node *next, **pprev;
};
struct hlist_head {
	struct hlist_node *first;
};
#define INIT_HLIST_HEAD(h) ((h)->first = NULL)

static inline void hlist_add_head(struct hlist_node *n, struct hlist_head *h)
{
	n->next = h->first;
	if (n->next)
		n->next->pprev = &n->next;
	h->first = n;
	n->pprev = &h->first;
}

static inline void hlist_del(struct hlist_node *n)
{
	*n->pprev = n->next;
	if (n->next)
		n->next->pprev = n->pprev;
}

#define hlist_entry_safe(p, type, member) ((p) ? container_of(p, type, member) : NULL)
#define hlist_for_each_entry(pos, head, member) \
	for (pos = hlist_entry_safe((head)->first, __typeof__(*pos), member); pos; \
	     pos = hlist_entry_safe(pos->member.next, __typeof__(*pos), member))

/* RCU forms of the hash-list operations. */
#define hlist_first_rcu(h) ((h)->first)
#define hlist_next_rcu(n) ((n)->next)

static inline void hlist_add_head_rcu(struct hlist_node *n, struct hlist_head *h)
{
	struct hlist_node *first = h->first;

	n->next = first;
	n->pprev = &h->first;
	rcu_assign_pointer(h->first, n);
	if (first)
		first->pprev = &n->next;
}

/* Keeps ->next for readers standing on the node. */
static inline void hlist_del_rcu(struct hlist_node *n)
{
	WRITE_ONCE(*n->pprev, n->next);
	if (n->next)
		n->next->pprev = n->pprev;
	n->pprev = (struct hlist_node **)0x122;
}

#define rcu_dereference_check(p, c) rcu_dereference(p)
#define rcu_dereference_protected(p, c) (p)
#define RCU_INIT_POINTER(p, v) rcu_set_pointer(&(p), (v))

/*
 * Grace-period cookies. Waiting for a whole grace period when polled is
 * stronger than the kernel's answer and so just as safe for callers.
 */
static inline unsigned long get_state_synchronize_rcu(void)
{
	return 0;
}

static inline bool poll_state_synchronize_rcu(unsigned long cookie)
{
	(void)cookie;
	synchronize_rcu();
	return true;
}

#define cond_synchronize_rcu(cookie) poll_state_synchronize_rcu(cookie)

#define struct_size(p, member, n) \
	(sizeof(*(p)) + (size_t)(n) * sizeof((p)->member[0]))

/* ---- atomics ---- */

typedef struct {
	int counter;
} atomic_t;

#define ATOMIC_INIT(i) { (i) }
static inline int atomic_read(const atomic_t *v)
{
	return __atomic_load_n(&v->counter, __ATOMIC_RELAXED);
}
static inline void atomic_set(atomic_t *v, int i)
{
	__atomic_store_n(&v->counter, i, __ATOMIC_RELAXED);
}
static inline void atomic_add(int i, atomic_t *v)
{
	__atomic_fetch_add(&v->counter, i, __ATOMIC_SEQ_CST);
}
static inline void atomic_sub(int i, atomic_t *v)
{
	__atomic_fetch_sub(&v->counter, i, __ATOMIC_SEQ_CST);
}
#define atomic_inc(v) atomic_add(1, v)
#define atomic_dec(v) atomic_sub(1, v)

/* ---- locks ---- */

typedef struct {
	pthread_mutex_t m;
} spinlock_t;

#define DEFINE_SPINLOCK(x) spinlock_t x = { PTHREAD_MUTEX_INITIALIZER }
#define spin_lock(l) pthread_mutex_lock(&(l)->m)
#define spin_unlock(l) pthread_mutex_unlock(&(l)->m)

struct rw_semaphore {
	pthread_rwlock_t l;
};

#define DECLARE_RWSEM(x) struct rw_semaphore x = { PTHREAD_RWLOCK_INITIALIZER }

/*
 * Tests set this to act as a task with a fatal signal pending: killable
 * waits then fail at once, as they would in the kernel.
 */
extern __thread bool shim_fatal_signal;

static inline int down_write_killable(struct rw_semaphore *s)
{
	if (shim_fatal_signal)
		return -EINTR;
	pthread_rwlock_wrlock(&s->l);
	return 0;
}
static inline int down_read_killable(struct rw_semaphore *s)
{
	if (shim_fatal_signal)
		return -EINTR;
	pthread_rwlock_rdlock(&s->l);
	return 0;
}
#define down_write(s) pthread_rwlock_wrlock(&(s)->l)
#define up_write(s) pthread_rwlock_unlock(&(s)->l)
#define up_read(s) pthread_rwlock_unlock(&(s)->l)

/* Mutexes; killable waits fail at once for a task with a fatal signal. */
struct mutex {
	pthread_mutex_t m;
};

#define __MUTEX_INITIALIZER(x) { PTHREAD_MUTEX_INITIALIZER }
#define DEFINE_MUTEX(x) struct mutex x = __MUTEX_INITIALIZER(x)
#define mutex_lock(l) pthread_mutex_lock(&(l)->m)
#define mutex_unlock(l) pthread_mutex_unlock(&(l)->m)

static inline int mutex_lock_killable(struct mutex *l)
{
	if (shim_fatal_signal)
		return -EINTR;
	pthread_mutex_lock(&l->m);
	return 0;
}

/* ---- memory ---- */

/* Tests set this to make the n-th next allocation fail (1 = the next). */
extern __thread int shim_fail_alloc_in;

void *kzalloc(size_t size, gfp_t gfp);
void kfree(const void *p);
#define kvzalloc(s, g) kzalloc(s, g)
void *kmemdup(const void *src, size_t len, gfp_t gfp);
#define kvfree(p) kfree(p)

struct kmem_cache;
struct kmem_cache *kmem_cache_create_usercopy(const char *name, unsigned int size,
					      unsigned int align,
					      unsigned long flags,
					      unsigned int useroffset,
					      unsigned int usersize,
					      void (*ctor)(void *));
#define SLAB_HWCACHE_ALIGN 0x2000UL
void *kmem_cache_zalloc(struct kmem_cache *c, gfp_t gfp);
void kmem_cache_free(struct kmem_cache *c, void *p);
void kmem_cache_destroy(struct kmem_cache *c);
/* Objects currently allocated from any cache, for leak checks. */
long shim_cache_objects(void);

#define sizeof_field(t, m) sizeof(((t *)0)->m)

/* ---- misc helpers ---- */

/* Any fixed function of the bytes serves: callers only test equality. */
static inline u32 full_name_hash(const void *salt, const char *name,
				 unsigned int len)
{
	u32 h = 2166136261u;

	(void)salt;
	while (len--)
		h = (h ^ (unsigned char)*name++) * 16777619u;
	return h;
}

static inline u32 hash_32(u32 val, unsigned int bits)
{
	return (val * 0x61C88647u) >> (32 - bits);
}

struct timespec64 {
	time64_t tv_sec;
	long tv_nsec;
};

static inline void ktime_get_real_ts64(struct timespec64 *ts)
{
	struct timespec t;

	clock_gettime(CLOCK_REALTIME, &t);
	ts->tv_sec = t.tv_sec;
	ts->tv_nsec = t.tv_nsec;
}

ssize_t strscpy(char *dst, const char *src, size_t size);
void *memchr_inv(const void *s, int c, size_t n);
int scnprintf(char *buf, size_t size, const char *fmt, ...) __printf(3, 4);
int kstrtoll(const char *s, unsigned int base, long long *res);
int hex2bin(u8 *dst, const char *src, size_t count);
char *bin2hex(char *dst, const void *src, size_t count);
int in4_pton(const char *src, int srclen, u8 *dst, int delim, const char **end);
int in6_pton(const char *src, int srclen, u8 *dst, int delim, const char **end);

#define S64_MAX INT64_MAX
#define S64_MIN INT64_MIN

/* As lib/crc32.c: reflected IEEE 802.3, no pre- or post-inversion. */
u32 crc32_le(u32 crc, const unsigned char *p, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* ZENTROPE_KSHIM_H */
