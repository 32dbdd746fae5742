// SPDX-License-Identifier: GPL-2.0
/*
 * Program decisions. Lists whose count is 0 are skipped before any lookup
 * where the order of checks allows it: these run for processes that no
 * rule names far more often than for listed ones.
 */
#include <linux/kernel.h>
#include <linux/string.h>

#include "decide.h"
#include "proc_lists.h"
#include "zentrope_event.h"

const char *zt_basename(const char *path)
{
	const char *slash = strrchr(path, '/');

	return slash ? slash + 1 : path;
}

int strict_identity_name_verdict(bool have_file, u32 dev, u64 ino,
				 const char *path)
{
	if (have_file && exist_block_prog_info(dev, ino))
		return STRICT_BLOCK_INFO;
	if (!path || atomic_read(&num_block_prog) <= 0)
		return STRICT_BLOCK_NONE;
	if (exist_block_prog(path) || exist_block_prog(zt_basename(path)))
		return STRICT_BLOCK_NAME;
	return STRICT_BLOCK_NONE;
}

static bool has_text(const char *s, int len)
{
	return s && len > 0;
}

/*
 * A listed interpreter is judged by what it opened alone: its own path may
 * well be listed (to keep it off the network when run directly) without
 * that making every script it runs blocked.
 */
static bool is_interpreter(const struct filter_input *in)
{
	if (atomic_read(&num_interp_prog) <= 0)
		return false;
	if (exist_interp_prog_by_dev_ino(in->dev, in->ino))
		return true;
	return in->path && exist_interp_prog(in->path);
}

static bool block_prog_names(const char *name)
{
	return name && atomic_read(&num_block_prog) > 0 &&
	       exist_block_prog(name);
}

bool filter_prog_decide(const struct filter_input *in)
{
	if (in->info)
		return true;
	if (in->hash_hit && in->digest)
		return true;
	if (!in->hash_hit && !in->digest && !has_text(in->path, in->path_len) &&
	    !has_text(in->short_name, in->short_len))
		return false;
	if (is_interpreter(in)) {
		pr_debug("zentrope: %s pid:%d IS Interper %s\n", "filter_prog",
			 in->pid, in->path ? in->path : "");
		return in->pid > 0 &&
		       exist_interp_prog_opened_block_prog(in->pid);
	}
	return block_prog_names(in->path) || block_prog_names(in->short_name);
}

/* ---- network targets ---- */

int net_target_of(const void *addr, int len, struct net_target *t)
{
	const u8 *a = addr;
	u16 family;

	if (!a || len < (int)sizeof(family))
		return -1;
	memcpy(&family, a + ZT_ADDR_FAMILY_OFF, sizeof(family));
	if (family == ZT_AF_INET && len >= ZT_ADDR_IN4_OFF + 4)
		t->ip = a + ZT_ADDR_IN4_OFF;
	else if (family == ZT_AF_INET6 && len >= ZT_ADDR_IN6_OFF + 16)
		t->ip = a + ZT_ADDR_IN6_OFF;
	else
		return -1;
	t->family = family;
	memcpy(&t->port, a + ZT_ADDR_PORT_OFF, sizeof(t->port));
	return 0;
}

/* ::ffff:a.b.c.d, which a dual-stack socket sends to a.b.c.d. */
static bool ipv4_mapped(const u8 *ip6)
{
	static const u8 prefix[12] = { [10] = 0xff, [11] = 0xff };

	return !memcmp(ip6, prefix, sizeof(prefix));
}

bool net_addr_blocked(const struct net_target *t)
{
	if (t->family == ZT_AF_INET)
		return exist_block_ipv4(t->ip);
	if (exist_block_ipv6(t->ip))
		return true;
	return ipv4_mapped(t->ip) && exist_block_ipv4(t->ip + 12);
}

bool net_port_blocked(const struct net_target *t)
{
	u32 port = t->port;	/* zero-extended, as the list holds it */

	return port && exist_block_port(port);
}
