// SPDX-License-Identifier: GPL-2.0
/*
 * The seven rule lists, each a keyed set: hooks look entries up under RCU
 * without waiting, the control files and the unload path change them one
 * writer at a time, and dumps list them newest first.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <linux/build_bug.h>
#include <linux/byteorder/generic.h>
#include <linux/ctype.h>
#include <linux/stringhash.h>

#include "rule_lists.h"

#define DEFINE_RULE_LIST(name)						\
	atomic_t num_##name = ATOMIC_INIT(0);				\
	struct zt_set name##_set =					\
		ZT_SET_INIT(name##_set, &num_##name, GFP_KERNEL, true)

DEFINE_RULE_LIST(block_prog);
DEFINE_RULE_LIST(block_prog_info);
DEFINE_RULE_LIST(interp_prog);
DEFINE_RULE_LIST(block_url);
DEFINE_RULE_LIST(block_port);
DEFINE_RULE_LIST(block_ipv4);
DEFINE_RULE_LIST(block_ipv6);

/*
 * interp_prog entries by the identity of the file they named when added,
 * counted by the names that share it (a path and a link to it).
 */
struct identity {
	u32 dev;
	u64 ino;
};

struct interp_id {
	struct zt_set_node node;
	struct identity id;
	unsigned int names;
};

static atomic_t num_interp_id = ATOMIC_INIT(0);
static struct zt_set interp_id_set =
	ZT_SET_INIT(interp_id_set, &num_interp_id, GFP_KERNEL, true);

/* The set frees elements through their first member. */
static_assert(offsetof(struct name_struct, node) == 0);
static_assert(offsetof(struct prog_info_struct, node) == 0);
static_assert(offsetof(struct url_struct, node) == 0);
static_assert(offsetof(struct port_struct, node) == 0);
static_assert(offsetof(struct ipv4_struct, node) == 0);
static_assert(offsetof(struct ipv6_struct, node) == 0);
static_assert(offsetof(struct interp_id, node) == 0);

#define RELAX_EVERY 1000
#define LIST_GFP (GFP_KERNEL | __GFP_NOWARN)

/* ---- keys: hash and equality per element type ---- */

static u32 name_hash(const char *name)
{
	return full_name_hash(NULL, name, strlen(name));
}

static bool name_eq(const struct zt_set_node *n, const void *key)
{
	return !strcmp(container_of(n, struct name_struct, node)->name, key);
}

static u32 identity_hash(u32 dev, u64 ino)
{
	return dev ^ (u32)ino ^ (u32)(ino >> 32);
}

static bool prog_info_eq(const struct zt_set_node *n, const void *key)
{
	const struct prog_info_struct *e;
	const struct identity *id = key;

	e = container_of(n, struct prog_info_struct, node);
	return e->dev == id->dev && e->ino == id->ino;
}

static bool interp_id_eq(const struct zt_set_node *n, const void *key)
{
	const struct interp_id *e = container_of(n, struct interp_id, node);
	const struct identity *id = key;

	return e->id.dev == id->dev && e->id.ino == id->ino;
}

/* Folded as strncasecmp() folds, so names it calls equal share a hash. */
static u32 url_hash(const char *enc)
{
	char folded[URL_BUF_SIZE];
	size_t i;

	for (i = 0; i < URL_MAX_ENCODED && enc[i]; i++)
		folded[i] = tolower(enc[i]);
	return full_name_hash(NULL, folded, i);
}

static bool url_eq(const struct zt_set_node *n, const void *key)
{
	return !strncmp(container_of(n, struct url_struct, node)->name, key,
			URL_BUF_SIZE);
}

static bool url_eq_nocase(const struct zt_set_node *n, const void *key)
{
	return !strncasecmp(container_of(n, struct url_struct, node)->name, key,
			    URL_BUF_SIZE);
}

static bool port_eq(const struct zt_set_node *n, const void *key)
{
	return container_of(n, struct port_struct, node)->port ==
	       *(const u32 *)key;
}

static u32 ipv4_hash(const u8 *addr)
{
	u32 v;

	memcpy(&v, addr, sizeof(v));
	return v;
}

static bool ipv4_eq(const struct zt_set_node *n, const void *key)
{
	return !memcmp(container_of(n, struct ipv4_struct, node)->addr, key, 4);
}

static u32 ipv6_hash(const u8 *addr)
{
	return full_name_hash(NULL, (const char *)addr, 16);
}

static bool ipv6_eq(const struct zt_set_node *n, const void *key)
{
	return !memcmp(container_of(n, struct ipv6_struct, node)->addr, key, 16);
}

/* ---- adds: 1 linked, 0 present, -errno ---- */

static void *new_elem(size_t size, const char *fn)
{
	void *e = kzalloc(size, LIST_GFP);

	if (!e)
		pr_err("zentrope: %s kzalloc err\n", fn);
	return e;
}

/* Allocated before the lock, so writers never sleep for memory in it. */
static int add_elem(struct zt_set *s, void *e, u32 hash, zt_set_eq_fn eq,
		    const void *key)
{
	int ret;

	if (!e)
		return -ENOMEM;
	ret = zt_set_add(s, e, hash, eq, key);
	if (ret <= 0)
		kfree(e);
	return ret;
}

static struct name_struct *new_name(const char *name, u32 dev, u64 ino)
{
	size_t len = strlen(name);
	struct name_struct *e;

	e = new_elem(sizeof(*e) + len + 1, "__update_name_struct_list");
	if (e) {
		e->dev = dev;
		e->ino = ino;
		memcpy(e->name, name, len);
	}
	return e;
}

static int fold(int ret)
{
	return ret > 0 ? 0 : ret;
}

int update_block_prog_new(const char *name)
{
	if (!name || !name[0])
		return -1;
	return add_elem(&block_prog_set, new_name(name, 0, 0), name_hash(name),
			name_eq, name);
}

int update_block_prog(const char *name)
{
	return fold(update_block_prog_new(name));
}

/*
 * Under interp_prog's lock: one more name for @ref's identity. Takes @ref,
 * and frees it when the identity is counted already.
 */
static void interp_id_get(struct interp_id *ref)
{
	u32 hash;
	struct zt_set_node *n;

	if (!ref)
		return;
	hash = identity_hash(ref->id.dev, ref->id.ino);
	zt_set_lock_always(&interp_id_set);
	n = zt_set_find(&interp_id_set, hash, interp_id_eq, &ref->id);
	if (n) {
		container_of(n, struct interp_id, node)->names++;
	} else {
		ref->names = 1;
		if (!zt_set_link(&interp_id_set, &ref->node, hash))
			ref = NULL;
	}
	zt_set_unlock(&interp_id_set);
	kfree(ref);
}

static void interp_id_put(u32 dev, u64 ino)
{
	const struct identity id = { dev, ino };
	struct zt_set_node *n;
	struct interp_id *e;

	if (!dev && !ino)
		return;
	zt_set_lock_always(&interp_id_set);
	n = zt_set_find(&interp_id_set, identity_hash(dev, ino), interp_id_eq,
			&id);
	e = n ? container_of(n, struct interp_id, node) : NULL;
	if (e && !--e->names)
		zt_set_unlink(&interp_id_set, n);
	zt_set_unlock(&interp_id_set);
}

int update_interp_prog(const char *name)
{
	struct identity id = {};
	struct interp_id *ref = NULL;
	struct name_struct *e;
	u32 hash;
	int ret;

	if (!name || !name[0])
		return -1;
	/* Opening the path may sleep: do it before taking the lock. */
	if (zt_path_identity(name, &id.dev, &id.ino))
		id = (struct identity){};
	if (id.dev || id.ino) {
		ref = new_elem(sizeof(*ref), "__update_name_struct_list");
		if (!ref)
			return -ENOMEM;
		ref->id = id;
	}
	e = new_name(name, id.dev, id.ino);
	ret = e ? zt_set_lock(&interp_prog_set) : -ENOMEM;
	if (ret)
		goto out;
	hash = name_hash(name);
	if (!zt_set_find(&interp_prog_set, hash, name_eq, name)) {
		ret = zt_set_link(&interp_prog_set, &e->node, hash);
		if (!ret) {
			e = NULL;
			interp_id_get(ref);
			ref = NULL;
		}
	}
	zt_set_unlock(&interp_prog_set);
out:
	kfree(ref);
	kfree(e);
	return ret;
}

int update_block_url(const char *enc)
{
	struct url_struct *e;

	if (!enc || !enc[0])
		return -EINVAL;
	e = new_elem(sizeof(*e), "__update_url_struct_list");
	if (e)
		strscpy(e->name, enc, URL_BUF_SIZE);
	return fold(add_elem(&block_url_set, e, url_hash(enc), url_eq, enc));
}

int update_block_port(int port)
{
	u32 key = port;
	struct port_struct *e;

	if (port <= 0)
		return -EINVAL;
	e = new_elem(sizeof(*e), "__update_port_struct_list");
	if (e)
		e->port = key;
	return fold(add_elem(&block_port_set, e, key, port_eq, &key));
}

int update_block_ipv4(const u8 *addr)
{
	struct ipv4_struct *e;

	if (!addr)
		return -EINVAL;
	e = new_elem(sizeof(*e), "__update_ipv4_struct_list");
	if (e)
		memcpy(e->addr, addr, sizeof(e->addr));
	return fold(add_elem(&block_ipv4_set, e, ipv4_hash(addr), ipv4_eq, addr));
}

int update_block_ipv6(const u8 *addr)
{
	struct ipv6_struct *e;

	if (!addr)
		return -EINVAL;
	e = new_elem(sizeof(*e), "__update_ipv6_struct_list");
	if (e)
		memcpy(e->addr, addr, sizeof(e->addr));
	return fold(add_elem(&block_ipv6_set, e, ipv6_hash(addr), ipv6_eq, addr));
}

/* Identity only, never the name: hard links to one file are one entry. */
int update_block_prog_info(struct prog_info_struct *info)
{
	struct identity id;

	if (!info)
		return -EINVAL;
	id = (struct identity){ info->dev, info->ino };
	return zt_set_add(&block_prog_info_set, &info->node,
			  identity_hash(id.dev, id.ino), prog_info_eq, &id);
}

/* ---- deletes: 1 removed, 0 none, -errno ---- */

int delete_block_prog_found(const char *name)
{
	if (!name)
		return -EINVAL;
	return zt_set_remove(&block_prog_set, name_hash(name), name_eq, name);
}

int delete_block_prog(const char *name)
{
	return fold(delete_block_prog_found(name));
}

int delete_interp_prog(const char *name)
{
	struct zt_set_node *n;
	struct name_struct *e;

	if (!name)
		return -EINVAL;
	if (zt_set_lock(&interp_prog_set))
		return -EINTR;
	n = zt_set_find(&interp_prog_set, name_hash(name), name_eq, name);
	if (n) {
		e = container_of(n, struct name_struct, node);
		interp_id_put(e->dev, e->ino);
		zt_set_unlink(&interp_prog_set, n);
	}
	zt_set_unlock(&interp_prog_set);
	return 0;
}

int delete_block_url(const char *enc)
{
	if (!enc)
		return -EINVAL;
	return fold(zt_set_remove(&block_url_set, url_hash(enc), url_eq, enc));
}

int delete_block_port(int port)
{
	u32 key = port;

	if (port <= 0)
		return -EINVAL;
	return fold(zt_set_remove(&block_port_set, key, port_eq, &key));
}

int delete_block_ipv4(const u8 *addr)
{
	if (!addr)
		return -EINVAL;
	return fold(zt_set_remove(&block_ipv4_set, ipv4_hash(addr), ipv4_eq,
				  addr));
}

int delete_block_ipv6(const u8 *addr)
{
	if (!addr)
		return -EINVAL;
	return fold(zt_set_remove(&block_ipv6_set, ipv6_hash(addr), ipv6_eq,
				  addr));
}

/*
 * By identity, or else by name: a listed file that was moved or removed
 * is still found by the path it was listed under.
 */
static struct zt_set_node *find_prog_info_locked(const struct prog_info_struct *probe)
{
	const struct identity id = { probe->dev, probe->ino };
	struct zt_set_node *n;

	n = zt_set_find(&block_prog_info_set, identity_hash(id.dev, id.ino),
			prog_info_eq, &id);
	if (n || !probe->name[0])
		return n;
	zt_set_for_each(n, &block_prog_info_set) {
		const char *name = container_of(n, struct prog_info_struct,
						node)->name;

		if (name[0] && !strcmp(name, probe->name))
			return n;
	}
	return NULL;
}

int delete_block_prog_info(const struct prog_info_struct *probe)
{
	struct zt_set_node *n;

	if (!probe)
		return -EINVAL;
	if (zt_set_lock(&block_prog_info_set))
		return -EINTR;
	n = find_prog_info_locked(probe);
	if (n)
		zt_set_unlink(&block_prog_info_set, n);
	zt_set_unlock(&block_prog_info_set);
	return 0;
}

/* ---- lookups ---- */

int exist_block_prog(const char *name)
{
	return name && zt_set_contains(&block_prog_set, name_hash(name),
				       name_eq, name);
}

int exist_interp_prog(const char *name)
{
	return name && zt_set_contains(&interp_prog_set, name_hash(name),
				       name_eq, name);
}

int exist_interp_prog_by_dev_ino(u32 dev, u64 ino)
{
	const struct identity id = { dev, ino };

	return dev && ino && zt_set_contains(&interp_id_set,
					     identity_hash(dev, ino),
					     interp_id_eq, &id);
}

struct prog_info_struct *find_block_prog_info(u32 dev, u64 ino)
{
	const struct identity id = { dev, ino };
	struct zt_set_node *n;

	n = zt_set_find(&block_prog_info_set, identity_hash(dev, ino),
			prog_info_eq, &id);
	return n ? container_of(n, struct prog_info_struct, node) : NULL;
}

bool exist_block_prog_info(u32 dev, u64 ino)
{
	const struct identity id = { dev, ino };

	return zt_set_contains(&block_prog_info_set, identity_hash(dev, ino),
			       prog_info_eq, &id);
}

int exist_block_url_nocase(const char *enc)
{
	return zt_set_contains(&block_url_set, url_hash(enc), url_eq_nocase,
			       enc);
}

bool exist_block_port(u32 port)
{
	return zt_set_contains(&block_port_set, port, port_eq, &port);
}

bool exist_block_ipv4(const u8 *addr)
{
	return zt_set_contains(&block_ipv4_set, ipv4_hash(addr), ipv4_eq, addr);
}

bool exist_block_ipv6(const u8 *addr)
{
	return zt_set_contains(&block_ipv6_set, ipv6_hash(addr), ipv6_eq, addr);
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

typedef void (*line_fn)(struct dump_ctx *d, const struct zt_set_node *n);

static int dump_set(struct zt_set *s, char *buf, int size, line_fn line,
		    bool relax)
{
	struct dump_ctx d = { .buf = buf, .size = size };
	struct zt_set_node *n;
	unsigned int done = 0;

	if (!buf || size <= 0)
		return -EINVAL;
	if (zt_set_lock(s))
		return -EINTR;
	buf[0] = '\0';
	zt_set_for_each(n, s) {
		line(&d, n);
		if (d.full)
			break;
		if (relax && ++done % RELAX_EVERY == 0)
			cpu_relax();
	}
	zt_set_unlock(s);
	return d.full ? size - 1 : d.len;
}

static void line_name(struct dump_ctx *d, const struct zt_set_node *n)
{
	dump_printf(d, "%s\n", container_of(n, struct name_struct, node)->name);
}

static void line_prog_info(struct dump_ctx *d, const struct zt_set_node *n)
{
	const struct prog_info_struct *e;

	e = container_of(n, struct prog_info_struct, node);
	dump_printf(d, "%s dev:%u,%u inode:%lu\n", e->name, e->dev >> 20,
		    e->dev & 0xFFFFF, (unsigned long)e->ino);
}

static void line_url(struct dump_ctx *d, const struct zt_set_node *n)
{
	const struct url_struct *e = container_of(n, struct url_struct, node);
	char text[URL_BUF_SIZE] = "";

	if (!recover_url(text, URL_MAX_ENCODED, e->name, URL_BUF_SIZE))
		dump_printf(d, "%s\n", text);
}

static void line_port(struct dump_ctx *d, const struct zt_set_node *n)
{
	u32 port = container_of(n, struct port_struct, node)->port;

	dump_printf(d, "%d\n", ntohs((u16)port));
}

static void line_ipv4(struct dump_ctx *d, const struct zt_set_node *n)
{
	char text[16];

	if (inet_ntop4(container_of(n, struct ipv4_struct, node)->addr, text,
		       sizeof(text)))
		dump_printf(d, "%s\n", text);
}

static void line_ipv6(struct dump_ctx *d, const struct zt_set_node *n)
{
	char text[48];

	if (inet_ntop6(container_of(n, struct ipv6_struct, node)->addr, text,
		       sizeof(text)))
		dump_printf(d, "%s\n", text);
}

#define DEFINE_DUMP(name, line, relax)					\
int dump_##name(char *buf, int size)					\
{									\
	return dump_set(&name##_set, buf, size, line, relax);		\
}

DEFINE_DUMP(block_prog, line_name, true)
DEFINE_DUMP(interp_prog, line_name, true)
DEFINE_DUMP(block_url, line_url, true)
DEFINE_DUMP(block_port, line_port, true)
DEFINE_DUMP(block_ipv4, line_ipv4, true)
DEFINE_DUMP(block_ipv6, line_ipv6, true)
DEFINE_DUMP(block_prog_info, line_prog_info, false)

/* ---- clears ---- */

/* The identities go with their names. */
int clear_interp_prog(void)
{
	if (zt_set_lock(&interp_prog_set))
		return -EINTR;
	zt_set_clear_locked(&interp_prog_set);
	zt_set_lock_always(&interp_id_set);
	zt_set_clear_locked(&interp_id_set);
	zt_set_unlock(&interp_id_set);
	zt_set_unlock(&interp_prog_set);
	return 0;
}

#define DEFINE_CLEAR(name)						\
int clear_##name(void)							\
{									\
	return zt_set_clear(&name##_set);				\
}

DEFINE_CLEAR(block_prog)
DEFINE_CLEAR(block_prog_info)
DEFINE_CLEAR(block_url)
DEFINE_CLEAR(block_port)
DEFINE_CLEAR(block_ipv4)
DEFINE_CLEAR(block_ipv6)

/*
 * At unload nothing may stay behind, so a signal to the removing process
 * must not cut the waits short; the frees queued here end before it
 * returns.
 */
void rule_lists_exit(void)
{
	zt_set_exit(&interp_prog_set);
	zt_set_exit(&interp_id_set);
	zt_set_exit(&block_prog_set);
	zt_set_exit(&block_prog_info_set);
	zt_set_exit(&block_url_set);
	zt_set_exit(&block_ipv4_set);
	zt_set_exit(&block_ipv6_set);
	zt_set_exit(&block_port_set);
	rcu_barrier();
}
