// SPDX-License-Identifier: GPL-2.0
/*
 * The seven rule lists. Each has its own reader-writer semaphore; writers
 * are the control files and the unload path, readers the dumps and hooks.
 * Elements are freed at once under the write lock, as every reader holds
 * the read side while it touches them.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <linux/build_bug.h>
#include <linux/byteorder/generic.h>
#include <linux/ctype.h>
#include <linux/hash.h>

#include "rule_lists.h"

#define DEFINE_RULE_LIST(name)					\
	LIST_HEAD(head_##name);					\
	DECLARE_RWSEM(rwsem_##name);				\
	atomic_t num_##name = ATOMIC_INIT(0)

DEFINE_RULE_LIST(block_prog);
DEFINE_RULE_LIST(block_prog_info);
DEFINE_RULE_LIST(interp_prog);
DEFINE_RULE_LIST(block_url);
DEFINE_RULE_LIST(block_port);
DEFINE_RULE_LIST(block_ipv4);
DEFINE_RULE_LIST(block_ipv6);

/* Generic clear and delete free elements through their first member. */
static_assert(offsetof(struct name_struct, list) == 0);
static_assert(offsetof(struct prog_info_struct, list) == 0);
static_assert(offsetof(struct url_struct, list) == 0);
static_assert(offsetof(struct port_struct, list) == 0);
static_assert(offsetof(struct ipv4_struct, list) == 0);
static_assert(offsetof(struct ipv6_struct, list) == 0);

#define RELAX_EVERY 1000

/* Allocation happens under the write lock that hooks wait for: never sleep. */
#define LIST_GFP (GFP_ATOMIC | __GFP_NOWARN)

/* ---- list-level add routines: 1 linked, 0 present, -errno ---- */

int __update_name_struct_list(struct list_head *head, const char *name,
			      int len, u32 dev, u64 ino)
{
	struct name_struct *e;
	u32 hash;

	if (!head || !name || len <= 0)
		return -EINVAL;
	hash = zt_name_hash(name);
	list_for_each_entry(e, head, list) {
		if (e->hash == hash && !strcmp(e->name, name))
			return 0;
	}
	e = kzalloc(sizeof(*e) + len + 1, LIST_GFP);
	if (!e) {
		pr_err("zentrope: %s kzalloc err\n", __func__);
		return -ENOMEM;
	}
	e->dev = dev;
	e->ino = ino;
	e->hash = hash;
	memcpy(e->name, name, len);
	list_add(&e->list, head);
	return 1;
}

/*
 * block_url is also indexed by a hash of the case-folded name: a query's
 * name is tested on every DNS send, against up to the list's capacity of
 * 10,000 domains. Spellings that differ in case share a bucket.
 */
#define URL_INDEX_BITS 12
static struct hlist_head url_index[1 << URL_INDEX_BITS];

/* Folded as strncasecmp() folds, so names it calls equal share a key. */
static u32 url_key(const char *enc)
{
	char folded[URL_BUF_SIZE];
	size_t i;

	for (i = 0; i < URL_MAX_ENCODED && enc[i]; i++)
		folded[i] = tolower(enc[i]);
	return full_name_hash(NULL, folded, i);
}

static struct hlist_head *url_bucket(u32 key)
{
	return &url_index[hash_32(key, URL_INDEX_BITS)];
}

static struct url_struct *
url_lookup(const char *enc, int (*cmp)(const char *, const char *, size_t))
{
	u32 key = url_key(enc);
	struct url_struct *e;

	hlist_for_each_entry(e, url_bucket(key), node) {
		if (e->key == key && !cmp(e->name, enc, URL_BUF_SIZE))
			return e;
	}
	return NULL;
}

/* The element spelled exactly @enc; the caller holds the lock. */
static struct url_struct *find_url(const char *enc)
{
	return url_lookup(enc, strncmp);
}

struct url_struct *find_block_url_nocase(const char *enc)
{
	return url_lookup(enc, strncasecmp);
}

int __update_url_struct_list(struct list_head *head, const char *enc)
{
	struct url_struct *e;

	if (!head || !enc || !enc[0])
		return -EINVAL;
	if (find_url(enc))
		return 0;
	e = kzalloc(sizeof(*e), LIST_GFP);
	if (!e) {
		pr_err("zentrope: %s kzalloc err\n", __func__);
		return -ENOMEM;
	}
	strscpy(e->name, enc, URL_BUF_SIZE);
	e->key = url_key(e->name);
	hlist_add_head(&e->node, url_bucket(e->key));
	list_add(&e->list, head);
	return 1;
}

int __update_port_struct_list(struct list_head *head, int port)
{
	struct port_struct *e;

	if (!head || port <= 0)
		return -EINVAL;
	list_for_each_entry(e, head, list) {
		if (e->port == (u32)port)
			return 0;
	}
	e = kzalloc(sizeof(*e), LIST_GFP);
	if (!e) {
		pr_err("zentrope: %s kzalloc err\n", __func__);
		return -ENOMEM;
	}
	e->port = port;
	list_add(&e->list, head);
	return 1;
}

int __update_ipv4_struct_list(struct list_head *head, const u8 *addr)
{
	struct ipv4_struct *e;

	if (!head || !addr)
		return -EINVAL;
	list_for_each_entry(e, head, list) {
		if (!memcmp(e->addr, addr, sizeof(e->addr)))
			return 0;
	}
	e = kzalloc(sizeof(*e), LIST_GFP);
	if (!e) {
		pr_err("zentrope: %s kzalloc err\n", __func__);
		return -ENOMEM;
	}
	memcpy(e->addr, addr, sizeof(e->addr));
	list_add(&e->list, head);
	return 1;
}

int __update_ipv6_struct_list(struct list_head *head, const u8 *addr)
{
	struct ipv6_struct *e;

	if (!head || !addr)
		return -EINVAL;
	list_for_each_entry(e, head, list) {
		if (!memcmp(e->addr, addr, sizeof(e->addr)))
			return 0;
	}
	e = kzalloc(sizeof(*e), LIST_GFP);
	if (!e) {
		pr_err("zentrope: %s kzalloc err\n", __func__);
		return -ENOMEM;
	}
	memcpy(e->addr, addr, sizeof(e->addr));
	list_add(&e->list, head);
	return 1;
}

/* ---- public updates ---- */

/* Count a linked element under the lock that linked it; 1 stays 1. */
static int count_added(int ret, atomic_t *num)
{
	if (ret == 1)
		atomic_inc(num);
	return ret;
}

static int fold(int ret)
{
	return ret > 0 ? 0 : ret;
}

static int update_name_list(struct list_head *head, struct rw_semaphore *sem,
			    atomic_t *num, const char *name, u32 dev, u64 ino)
{
	int ret;

	if (!name || !name[0])
		return -1;
	if (down_write_killable(sem))
		return -EINTR;
	ret = __update_name_struct_list(head, name, strlen(name), dev, ino);
	ret = count_added(ret, num);
	up_write(sem);
	return ret;
}

int update_block_prog_new(const char *name)
{
	return update_name_list(&head_block_prog, &rwsem_block_prog,
				&num_block_prog, name, 0, 0);
}

int update_block_prog(const char *name)
{
	return fold(update_block_prog_new(name));
}

int update_interp_prog(const char *name)
{
	u32 dev = 0;
	u64 ino = 0;

	if (!name || !name[0])
		return -1;
	/* Opening the path may sleep: do it before taking the lock. */
	if (zt_path_identity(name, &dev, &ino)) {
		dev = 0;
		ino = 0;
	}
	return fold(update_name_list(&head_interp_prog, &rwsem_interp_prog,
				     &num_interp_prog, name, dev, ino));
}

int update_block_url(const char *enc)
{
	int ret;

	if (!enc)
		return -EINVAL;
	if (down_write_killable(&rwsem_block_url))
		return -EINTR;
	ret = count_added(__update_url_struct_list(&head_block_url, enc),
			  &num_block_url);
	up_write(&rwsem_block_url);
	return fold(ret);
}

int update_block_port(int port)
{
	int ret;

	if (port <= 0)
		return -EINVAL;
	if (down_write_killable(&rwsem_block_port))
		return -EINTR;
	ret = count_added(__update_port_struct_list(&head_block_port, port),
			  &num_block_port);
	up_write(&rwsem_block_port);
	return fold(ret);
}

int update_block_ipv4(const u8 *addr)
{
	int ret;

	if (!addr)
		return -EINVAL;
	if (down_write_killable(&rwsem_block_ipv4))
		return -EINTR;
	ret = count_added(__update_ipv4_struct_list(&head_block_ipv4, addr),
			  &num_block_ipv4);
	up_write(&rwsem_block_ipv4);
	return fold(ret);
}

int update_block_ipv6(const u8 *addr)
{
	int ret;

	if (!addr)
		return -EINVAL;
	if (down_write_killable(&rwsem_block_ipv6))
		return -EINTR;
	ret = count_added(__update_ipv6_struct_list(&head_block_ipv6, addr),
			  &num_block_ipv6);
	up_write(&rwsem_block_ipv6);
	return fold(ret);
}

/* Identity only, never the name: hard links to one file are one entry. */
int update_block_prog_info(struct prog_info_struct *info)
{
	struct prog_info_struct *e;
	int ret = 1;

	if (!info)
		return -EINVAL;
	if (down_write_killable(&rwsem_block_prog_info))
		return -EINTR;
	list_for_each_entry(e, &head_block_prog_info, list) {
		if (e->dev == info->dev && e->ino == info->ino) {
			ret = 0;
			break;
		}
	}
	if (ret) {
		list_add(&info->list, &head_block_prog_info);
		atomic_inc(&num_block_prog_info);
	}
	up_write(&rwsem_block_prog_info);
	return ret;
}

/* ---- deletes: remove the first match; 1 removed, 0 none, -EINTR ---- */

typedef bool (*match_fn)(const struct list_head *elem, const void *key);

static int delete_first(struct list_head *head, struct rw_semaphore *sem,
			atomic_t *num, match_fn match, const void *key)
{
	struct list_head *pos;
	int ret = 0;

	if (down_write_killable(sem))
		return -EINTR;
	list_for_each(pos, head) {
		if (match(pos, key)) {
			list_del(pos);
			kfree(pos);
			atomic_dec(num);
			ret = 1;
			break;
		}
	}
	up_write(sem);
	return ret;
}

static bool match_name(const struct list_head *elem, const void *key)
{
	return !strcmp(list_entry(elem, struct name_struct, list)->name, key);
}

static bool match_port(const struct list_head *elem, const void *key)
{
	return list_entry(elem, struct port_struct, list)->port ==
	       *(const u32 *)key;
}

static bool match_ipv4(const struct list_head *elem, const void *key)
{
	return !memcmp(list_entry(elem, struct ipv4_struct, list)->addr, key, 4);
}

static bool match_ipv6(const struct list_head *elem, const void *key)
{
	return !memcmp(list_entry(elem, struct ipv6_struct, list)->addr, key, 16);
}

static bool match_prog_info(const struct list_head *elem, const void *key)
{
	const struct prog_info_struct *e, *probe = key;

	e = list_entry(elem, struct prog_info_struct, list);
	if (e->dev == probe->dev && e->ino == probe->ino)
		return true;
	return e->name[0] && probe->name[0] && !strcmp(e->name, probe->name);
}

int delete_block_prog_found(const char *name)
{
	if (!name)
		return -EINVAL;
	return delete_first(&head_block_prog, &rwsem_block_prog,
			    &num_block_prog, match_name, name);
}

int delete_block_prog(const char *name)
{
	return fold(delete_block_prog_found(name));
}

int delete_interp_prog(const char *name)
{
	if (!name)
		return -EINVAL;
	return fold(delete_first(&head_interp_prog, &rwsem_interp_prog,
				 &num_interp_prog, match_name, name));
}

int delete_block_url(const char *enc)
{
	struct url_struct *e;

	if (!enc)
		return -EINVAL;
	if (down_write_killable(&rwsem_block_url))
		return -EINTR;
	e = find_url(enc);
	if (e) {
		hlist_del(&e->node);
		list_del(&e->list);
		kfree(e);
		atomic_dec(&num_block_url);
	}
	up_write(&rwsem_block_url);
	return 0;
}

int delete_block_port(int port)
{
	u32 key = port;

	if (port <= 0)
		return -EINVAL;
	return fold(delete_first(&head_block_port, &rwsem_block_port,
				 &num_block_port, match_port, &key));
}

int delete_block_ipv4(const u8 *addr)
{
	if (!addr)
		return -EINVAL;
	return fold(delete_first(&head_block_ipv4, &rwsem_block_ipv4,
				 &num_block_ipv4, match_ipv4, addr));
}

int delete_block_ipv6(const u8 *addr)
{
	if (!addr)
		return -EINVAL;
	return fold(delete_first(&head_block_ipv6, &rwsem_block_ipv6,
				 &num_block_ipv6, match_ipv6, addr));
}

int delete_block_prog_info(const struct prog_info_struct *probe)
{
	if (!probe)
		return -EINVAL;
	return fold(delete_first(&head_block_prog_info, &rwsem_block_prog_info,
				 &num_block_prog_info, match_prog_info, probe));
}

/* ---- dumps ---- */

struct dump_ctx {
	char *buf;
	int size;
	int len;
	bool full;
};

/* Append one line if it fits; otherwise keep what fitted and stop. */
static __printf(2, 3) void dump_printf(struct dump_ctx *d, const char *fmt, ...)
{
	int room = d->size - d->len, n;
	va_list ap;

	va_start(ap, fmt);
	n = vsnprintf(d->buf + d->len, room, fmt, ap);
	va_end(ap);
	if (n < room)
		d->len += n;
	else
		d->full = true;
}

typedef void (*line_fn)(struct dump_ctx *d, const struct list_head *elem);

static int dump_list(struct list_head *head, struct rw_semaphore *sem,
		     char *buf, int size, line_fn line, bool relax)
{
	struct dump_ctx d = { .buf = buf, .size = size };
	struct list_head *pos;
	unsigned int n = 0;

	if (!buf || size <= 0)
		return -EINVAL;
	if (down_read_killable(sem))
		return -EINTR;
	buf[0] = '\0';
	list_for_each(pos, head) {
		line(&d, pos);
		if (d.full)
			break;
		if (relax && ++n % RELAX_EVERY == 0)
			cpu_relax();
	}
	up_read(sem);
	return d.full ? size - 1 : d.len;
}

static void line_name(struct dump_ctx *d, const struct list_head *elem)
{
	dump_printf(d, "%s\n", list_entry(elem, struct name_struct, list)->name);
}

static void line_prog_info(struct dump_ctx *d, const struct list_head *elem)
{
	const struct prog_info_struct *e;

	e = list_entry(elem, struct prog_info_struct, list);
	dump_printf(d, "%s dev:%u,%u inode:%lu\n", e->name, e->dev >> 20,
		    e->dev & 0xFFFFF, (unsigned long)e->ino);
}

static void line_url(struct dump_ctx *d, const struct list_head *elem)
{
	const struct url_struct *e = list_entry(elem, struct url_struct, list);
	char text[URL_BUF_SIZE] = "";

	if (!recover_url(text, URL_MAX_ENCODED, e->name, URL_BUF_SIZE))
		dump_printf(d, "%s\n", text);
}

static void line_port(struct dump_ctx *d, const struct list_head *elem)
{
	u32 port = list_entry(elem, struct port_struct, list)->port;

	dump_printf(d, "%d\n", ntohs((u16)port));
}

static void line_ipv4(struct dump_ctx *d, const struct list_head *elem)
{
	char text[16];

	if (inet_ntop4(list_entry(elem, struct ipv4_struct, list)->addr, text,
		       sizeof(text)))
		dump_printf(d, "%s\n", text);
}

static void line_ipv6(struct dump_ctx *d, const struct list_head *elem)
{
	char text[48];

	if (inet_ntop6(list_entry(elem, struct ipv6_struct, list)->addr, text,
		       sizeof(text)))
		dump_printf(d, "%s\n", text);
}

int dump_block_prog(char *buf, int size)
{
	return dump_list(&head_block_prog, &rwsem_block_prog, buf, size,
			 line_name, true);
}

int dump_interp_prog(char *buf, int size)
{
	return dump_list(&head_interp_prog, &rwsem_interp_prog, buf, size,
			 line_name, true);
}

int dump_block_url(char *buf, int size)
{
	return dump_list(&head_block_url, &rwsem_block_url, buf, size,
			 line_url, true);
}

int dump_block_port(char *buf, int size)
{
	return dump_list(&head_block_port, &rwsem_block_port, buf, size,
			 line_port, true);
}

int dump_block_ipv4(char *buf, int size)
{
	return dump_list(&head_block_ipv4, &rwsem_block_ipv4, buf, size,
			 line_ipv4, true);
}

int dump_block_ipv6(char *buf, int size)
{
	return dump_list(&head_block_ipv6, &rwsem_block_ipv6, buf, size,
			 line_ipv6, true);
}

int dump_block_prog_info(char *buf, int size)
{
	return dump_list(&head_block_prog_info, &rwsem_block_prog_info, buf,
			 size, line_prog_info, false);
}

/* ---- clears ---- */

static void free_all_locked(struct list_head *head, atomic_t *num)
{
	struct list_head *pos, *next;
	unsigned int n = 0;

	list_for_each_safe(pos, next, head) {
		list_del(pos);
		kfree(pos);
		if (++n % RELAX_EVERY == 0)
			cpu_relax();
	}
	atomic_set(num, 0);
}

/* The index goes with its elements. */
static void free_urls_locked(void)
{
	size_t i;

	free_all_locked(&head_block_url, &num_block_url);
	for (i = 0; i < ARRAY_SIZE(url_index); i++)
		INIT_HLIST_HEAD(&url_index[i]);
}

static int clear_list(struct list_head *head, struct rw_semaphore *sem,
		      atomic_t *num)
{
	if (down_write_killable(sem))
		return -EINTR;
	free_all_locked(head, num);
	up_write(sem);
	return 0;
}

int clear_block_url(void)
{
	if (down_write_killable(&rwsem_block_url))
		return -EINTR;
	free_urls_locked();
	up_write(&rwsem_block_url);
	return 0;
}

#define DEFINE_CLEAR(name)						\
int clear_##name(void)							\
{									\
	return clear_list(&head_##name, &rwsem_##name, &num_##name);	\
}

DEFINE_CLEAR(block_prog)
DEFINE_CLEAR(block_prog_info)
DEFINE_CLEAR(interp_prog)
DEFINE_CLEAR(block_port)
DEFINE_CLEAR(block_ipv4)
DEFINE_CLEAR(block_ipv6)

/*
 * At unload nothing may stay behind, so a signal to the removing process
 * must not cut the wait short.
 */
#define EXIT_CLEAR(name)						\
	do {								\
		down_write(&rwsem_##name);				\
		free_all_locked(&head_##name, &num_##name);		\
		up_write(&rwsem_##name);				\
	} while (0)

void rule_lists_exit(void)
{
	EXIT_CLEAR(interp_prog);
	EXIT_CLEAR(block_prog);
	EXIT_CLEAR(block_prog_info);
	down_write(&rwsem_block_url);
	free_urls_locked();
	up_write(&rwsem_block_url);
	EXIT_CLEAR(block_ipv4);
	EXIT_CLEAR(block_ipv6);
	EXIT_CLEAR(block_port);
}
