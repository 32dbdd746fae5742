// SPDX-License-Identifier: GPL-2.0
/*
 * The text command language of the control entries: "ADD ", "DEL " and
 * "CLEAR", the token rules of every list, and the text the entries read as.
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <linux/inet.h>
#include <linux/byteorder/generic.h>

#include "zentrope_cmd.h"
#include "rule_lists.h"
#include "proc_lists.h"
#include "block_hash.h"
#include "utils.h"

#define HASH_TEXT_USED 128
#define HASH_BIN_MAX 64

atomic_t num_mem_block_prog = ATOMIC_INIT(0);

static bool full(const atomic_t *num)
{
	return atomic_read(num) > RULE_LIST_MAX - 1;
}

/* ---- command words ---- */

static int run_tokens(const struct zt_cmd_ops *ops, char *text, int add)
{
	char *tok;
	int ret;

	/* Only a single space separates: runs of them give empty tokens. */
	while ((tok = strsep(&text, " ")) != NULL) {
		if (!*tok)
			continue;
		ret = ops->token(tok, strlen(tok) + 1, add);
		if (add && ret < 0)
			return ret;
	}
	return 0;
}

/*
 * A command is the first line of a write. One longer than the command
 * buffer would be cut and its last token taken for another: refuse it.
 */
bool zt_command_fits(const char *text, size_t len)
{
	size_t n = min_t(size_t, len, CMD_TEXT_MAX);

	if (len < CMD_TEXT_MAX)
		return true;
	return memchr(text, '\n', n) || memchr(text, '\0', n);
}

int zt_run_command(const struct zt_cmd_ops *ops, char *cmd)
{
	if (!strncasecmp(cmd, "ADD ", 4))
		return run_tokens(ops, cmd + 4, 1);
	if (!strncasecmp(cmd, "DEL ", 4))
		return run_tokens(ops, cmd + 4, 0);
	if (!strncasecmp(cmd, "CLEAR", 5))
		return ops->clear();
	return -EINVAL;
}

/* ---- per-token operations ---- */

int add_del_block_hash(char *tok, int len1, int add)
{
	u8 digest[HASH_BIN_MAX];
	char *hex = strsep(&tok, ":");
	int n;

	if (add && atomic_read(&num_block_hash) > BLOCK_HASH_MAX - 1)
		return -ENOSPC;
	if (!hex[0])
		return -EINVAL;
	/* A file size may follow the colon; the store has no use for it. */
	n = translate_hash_bin(digest, sizeof(digest), hex,
			       min_t(int, strlen(hex), HASH_TEXT_USED));
	if (n <= 0)
		return -EINVAL;
	if (add)
		return update_block_hash(digest, n);
	delete_block_hash(digest, n);
	return 0;
}

int add_del_interp_prog(char *tok, int len1, int add)
{
	if (!add)
		return delete_interp_prog(tok);
	if (full(&num_interp_prog))
		return -ENOSPC;
	return update_interp_prog(tok);
}

int add_del_block_url(char *tok, int len1, int add)
{
	char enc[URL_BUF_SIZE] = "";

	if (translate_url(enc, URL_MAX_ENCODED, tok, strlen(tok)))
		return -EINVAL;
	if (!add)
		return delete_block_url(enc);
	if (full(&num_block_url))
		return -ENOSPC;
	return update_block_url(enc);
}

int add_del_block_port(char *tok, int len1, int add)
{
	long long v;
	int port;

	if (kstrtoll(tok, 10, &v) || v < 0)
		return -EINVAL;
	port = htons((u16)v);
	if (!add)
		return delete_block_port(port);
	if (full(&num_block_port))
		return -ENOSPC;
	return update_block_port(port);
}

static bool addr_list_full(void)
{
	return atomic_read(&num_block_ipv4) + atomic_read(&num_block_ipv6) >
	       RULE_LIST_MAX - 1;
}

int add_del_block_ipv4(char *tok, int len1, int add)
{
	int len = strlen(tok);
	const char *end;
	u8 addr[4];

	if (!in4_pton(tok, len, addr, -1, &end) || end != tok + len)
		return -EINVAL;
	if (!add)
		return delete_block_ipv4(addr);
	if (addr_list_full())
		return -ENOSPC;
	return update_block_ipv4(addr);
}

int add_del_block_ipv6(char *tok, int len1, int add)
{
	int len = strlen(tok);
	const char *end;
	u8 addr[16];

	if (!in6_pton(tok, len, addr, -1, &end) || end != tok + len)
		return -EINVAL;
	if (!add)
		return delete_block_ipv6(addr);
	if (addr_list_full())
		return -ENOSPC;
	return update_block_ipv6(addr);
}

static struct prog_info_struct *new_prog_info(const char *name, gfp_t gfp)
{
	size_t len = strlen(name);
	struct prog_info_struct *info;

	info = kzalloc(sizeof(*info) + len + 1, gfp);
	if (info)
		memcpy(info->name, name, len);
	return info;
}

/*
 * A path that names an existing file is also listed by its identity, so a
 * renamed or hard-linked copy stays blocked. A failure rolls back only a
 * name this call added: a name listed before must stay blocked.
 */
int add_block_prog(char *tok, int len1)
{
	struct prog_info_struct *info;
	u32 dev;
	u64 ino;
	int added, ret;

	if (full(&num_block_prog) || full(&num_block_prog_info) ||
	    atomic_read(&num_mem_block_prog) > MEM_BLOCK_PROG_MAX)
		return -ENOSPC;
	added = update_block_prog_new(tok);
	if (added < 0)
		return added;

	if (!zt_path_identity(tok, &dev, &ino)) {
		info = new_prog_info(tok, GFP_KERNEL);
		ret = info ? 0 : -ENOMEM;
		if (info) {
			info->dev = dev;
			info->ino = ino;
			ret = update_block_prog_info(info);
			if (ret <= 0)
				kfree(info);
		}
		if (ret < 0) {
			if (added)
				delete_block_prog(tok);
			return ret;
		}
	}
	/* The budget follows the names actually listed. */
	if (added)
		atomic_add(len1 + 1, &num_mem_block_prog);
	return 0;
}

/*
 * The identity entry goes too; when the path no longer opens (the file was
 * moved or removed) it is found by its name instead.
 */
void del_block_prog(char *tok, int len1)
{
	struct prog_info_struct *probe;
	int removed;

	removed = delete_block_prog_found(tok);
	if (removed < 0)
		return;
	probe = new_prog_info(tok, GFP_KERNEL);
	if (probe) {
		if (zt_path_identity(tok, &probe->dev, &probe->ino)) {
			probe->dev = 0;
			probe->ino = 0;
		}
		delete_block_prog_info(probe);
		kfree(probe);
	}
	if (removed)
		atomic_sub(len1 + 1, &num_mem_block_prog);
}

static int add_del_block_prog(char *tok, int len1, int add)
{
	if (add)
		return add_block_prog(tok, len1);
	del_block_prog(tok, len1);
	return 0;
}

static int clear_block_prog_all(void)
{
	clear_block_prog();
	atomic_set(&num_mem_block_prog, 0);
	clear_block_prog_info();
	return 0;
}

/* Names first, then identities, in the space the names left. */
static int dump_block_prog_all(char *buf, int size)
{
	int n = dump_block_prog(buf, size), m;

	if (n < 0)
		return n;
	if (size - n <= 1)
		return n;
	m = dump_block_prog_info(buf + n, size - n);
	return m < 0 ? n : n + m;
}

/* The store is read by position, without a dump text. */
static int no_dump(char *buf, int size)
{
	return -EINVAL;
}

#define CMD_OPS(name, tok_fn, clear_fn, dump_fn)			\
	const struct zt_cmd_ops name##_cmd = {				\
		.token = tok_fn, .clear = clear_fn, .dump = dump_fn,	\
	}

CMD_OPS(block_prog, add_del_block_prog, clear_block_prog_all,
	dump_block_prog_all);
CMD_OPS(block_hash, add_del_block_hash, clear_block_hash_nowait, no_dump);
CMD_OPS(interp_prog, add_del_interp_prog, clear_interp_prog,
	dump_interp_prog);
CMD_OPS(block_url, add_del_block_url, clear_block_url, dump_block_url);
CMD_OPS(block_port, add_del_block_port, clear_block_port, dump_block_port);
CMD_OPS(block_ipv4, add_del_block_ipv4, clear_block_ipv4, dump_block_ipv4);
CMD_OPS(block_ipv6, add_del_block_ipv6, clear_block_ipv6, dump_block_ipv6);

int dump_private_data(char *buf, int size)
{
	int n;

	if (!buf || size <= 0)
		return -EINVAL;
	n = scnprintf(buf, size,
		      "num_block_prog:%d\n"
		      "num_block_prog_info:%d\n"
		      "num_block_hash:%d\n"
		      "num_block_url:%d\n"
		      "num_block_ipv4:%d\n"
		      "num_block_ipv6:%d\n"
		      "num_interp_prog:%d\n"
		      "num_pid_prog_pair_list:%d\n"
		      "num_pid_prog_pair_short_list:%d\n"
		      "num_interp_prog_opened_block_prog_list:%d\n"
		      "num_flag_interp_prog_opened_block_prog_list:%d\n",
		      atomic_read(&num_block_prog),
		      atomic_read(&num_block_prog_info),
		      atomic_read(&num_block_hash),
		      atomic_read(&num_block_url),
		      atomic_read(&num_block_ipv4),
		      atomic_read(&num_block_ipv6),
		      atomic_read(&num_interp_prog),
		      atomic_read(&num_pid_prog_pair_list),
		      atomic_read(&num_pid_prog_pair_short_list),
		      atomic_read(&num_interp_prog_opened_block_prog_list),
		      atomic_read(&num_flag_interp_prog_opened_block_prog_list));
	return n;
}
