// SPDX-License-Identifier: GPL-2.0
/*
 * /proc/sys/kernel/zentrope/: the command entries of the rule lists, the
 * switches and the statistics. The command language lives in
 * zentrope_cmd.c, and each setting and statistic with the code it governs;
 * this file only moves text between user space and them.
 */
#include <linux/kernel.h>
#include <linux/sysctl.h>
#include <linux/slab.h>
#include <linux/mm.h>
#include <linux/rcupdate.h>

#include "compat.h"
#include "block_hash.h"
#include "exec.h"
#include "ftrace_hook.h"
#include "ima_crypto.h"
#include "msg.h"
#include "stats.h"
#include "zentrope_cmd.h"
#include "zentrope_sysctl.h"

#define DEBUG_BUF_SIZE 1024
#define HASH_LINE_LEN (SHA1_HEX_LEN + 1)

static int hash_max_filesize_max = ZT_HASH_MAXSIZE_MAX;
static struct ctl_table_header *zentrope_sysctls;

/* A command: the first line of one write at position 0. */
static int write_list(const struct zt_cmd_ops *ops, void *buffer,
		      size_t *lenp, loff_t *ppos)
{
	struct ctl_table t = { .maxlen = CMD_TEXT_MAX };
	char *cmd;
	int ret;

	if (!*ppos && !zt_command_fits(buffer, *lenp))
		return -EINVAL;
	cmd = kvzalloc(CMD_BUF_SIZE, GFP_KERNEL);
	if (!cmd)
		return -ENOMEM;
	t.data = cmd;
	ret = proc_dostring(&t, 1, buffer, lenp, ppos);
	if (!ret)
		ret = zt_run_command(ops, cmd);
	kvfree(cmd);
	return ret;
}

/*
 * The whole list text, newest first, in a buffer doubled until it holds
 * all of it: a list is as long as its entries make it.
 */
static char *dump_text(const struct zt_cmd_ops *ops, int *len)
{
	size_t size = DUMP_TEXT_MIN;
	char *text;
	int n;

	for (;;) {
		text = kvzalloc(size + 1, GFP_KERNEL);
		if (!text)
			return NULL;
		n = ops->dump(text, size);
		if (n < (int)size - 1 || size > INT_MAX / 2)
			break;
		kvfree(text);
		size *= 2;
	}
	*len = max(n, 0);
	text[*len] = '\0';
	return text;
}

/* Rebuilt for every read call; served from the caller's position. */
static int read_list(const struct zt_cmd_ops *ops, void *buffer,
		     size_t *lenp, loff_t *ppos)
{
	struct ctl_table t = {};
	char *text;
	int n, ret;

	text = dump_text(ops, &n);
	if (!text)
		return -ENOMEM;
	/* proc_dostring() adds the one final newline. */
	if (n > 0 && text[n - 1] == '\n')
		text[--n] = '\0';
	t.data = text;
	t.maxlen = n + 1;
	ret = proc_dostring(&t, 0, buffer, lenp, ppos);
	kvfree(text);
	return ret;
}

static int list_dostring(const struct zt_cmd_ops *ops, int write,
			 void *buffer, size_t *lenp, loff_t *ppos)
{
	if (write)
		return write_list(ops, buffer, lenp, ppos);
	return read_list(ops, buffer, lenp, ppos);
}

#define DEFINE_LIST_HANDLER(name)					\
static int name##_dostring(ZT_CTL_TABLE *table, int write,		\
			   void *buffer, size_t *lenp, loff_t *ppos)	\
{									\
	return list_dostring(&name##_cmd, write, buffer, lenp, ppos);	\
}

DEFINE_LIST_HANDLER(block_prog)
DEFINE_LIST_HANDLER(interp_prog)
DEFINE_LIST_HANDLER(block_url)
DEFINE_LIST_HANDLER(block_port)
DEFINE_LIST_HANDLER(block_ipv4)
DEFINE_LIST_HANDLER(block_ipv6)

/*
 * The digests are served by position as fixed 41-byte lines straight from
 * the store, without building a dump text.
 */
static int read_block_hash_dostring(char *buffer, size_t *lenp, loff_t *ppos)
{
	size_t want = *lenp, done = 0;
	loff_t idx = *ppos / HASH_LINE_LEN;
	unsigned int off = *ppos % HASH_LINE_LEN;
	struct block_hash_cursor cursor = {};
	struct hash_sha1_node *node;
	char line[HASH_LINE_LEN + 1];

	rcu_read_lock();
	node = block_hash_cursor_start(&cursor, idx);
	while (node && done < want) {
		size_t chunk = min_t(size_t, HASH_LINE_LEN - off, want - done);

		translate_hash_hex(line, sizeof(line), node->digest,
				   SHA1_DIGEST_LEN);
		line[SHA1_HEX_LEN] = '\n';
		memcpy(buffer + done, line + off, chunk);
		done += chunk;
		off = 0;
		node = block_hash_cursor_next(&cursor, node, &idx);
	}
	rcu_read_unlock();
	*lenp = done;
	*ppos += done;
	return 0;
}

static int block_hash_dostring(ZT_CTL_TABLE *table, int write, void *buffer,
			       size_t *lenp, loff_t *ppos)
{
	if (write)
		return write_list(&block_hash_cmd, buffer, lenp, ppos);
	return read_block_hash_dostring(buffer, lenp, ppos);
}

/* Reads as "%llu\n"; any write resets it. */
static int proc_stat(ZT_CTL_TABLE *table, int write, void *buffer,
		     size_t *lenp, loff_t *ppos)
{
	const struct zt_stat_file *stat = table->data;
	char text[24];
	struct ctl_table t = { .data = text, .maxlen = sizeof(text) };

	if (write) {
		stat->reset();
		*ppos += *lenp;
		return 0;
	}
	snprintf(text, sizeof(text), "%llu", stat->read());
	return proc_dostring(&t, 0, buffer, lenp, ppos);
}

static int proc_debug_data(ZT_CTL_TABLE *table, int write, void *buffer,
			   size_t *lenp, loff_t *ppos)
{
	struct ctl_table t = { .maxlen = DEBUG_BUF_SIZE };
	char *text;
	int n, ret;

	if (write)
		return -EINVAL;
	text = kzalloc(DEBUG_BUF_SIZE, GFP_KERNEL);
	if (!text)
		return -ENOMEM;
	n = dump_private_data(text, DEBUG_BUF_SIZE);
	if (n > 0 && text[n - 1] == '\n')
		text[n - 1] = '\0';
	t.data = text;
	ret = proc_dostring(&t, 0, buffer, lenp, ppos);
	kfree(text);
	return ret;
}

/* A 64-bit limit, exchanged as one bounded int. */
static int proc_s64_as_int(ZT_CTL_TABLE *table, int write, void *buffer,
			   size_t *lenp, loff_t *ppos)
{
	s64 *limit = table->data;
	int val = READ_ONCE(*limit);
	struct ctl_table t = {
		.data = &val, .maxlen = sizeof(val),
		.extra1 = table->extra1, .extra2 = table->extra2,
	};
	int ret;

	ret = proc_dointvec_minmax(&t, write, buffer, lenp, ppos);
	if (!ret && write)
		WRITE_ONCE(*limit, val);
	return ret;
}

#define LIST_ENTRY(name, perm) {					\
	.procname = #name, .mode = perm, .proc_handler = name##_dostring, \
}
#define STAT_ENTRY(name, stat) {					\
	.procname = #name, .data = &stat, .mode = 0640,			\
	.proc_handler = proc_stat,					\
}
#define SWITCH_ENTRY(name, var) {					\
	.procname = #name, .data = &var, .maxlen = sizeof(int),	\
	.mode = 0644, .proc_handler = proc_dointvec_minmax,		\
	.extra1 = SYSCTL_ZERO, .extra2 = SYSCTL_ONE,			\
}

static struct ctl_table zentrope_sysctl_table[] = {
	LIST_ENTRY(block_prog, 0644),
	LIST_ENTRY(block_hash, 0200),
	LIST_ENTRY(interp_prog, 0644),
	LIST_ENTRY(block_url, 0644),
	LIST_ENTRY(block_port, 0644),
	LIST_ENTRY(block_ipv4, 0644),
	LIST_ENTRY(block_ipv6, 0644),
	{ .procname = "hash_max_filesize", .data = &ima_hash_maxsize,
	  .mode = 0640, .proc_handler = proc_s64_as_int,
	  .extra1 = SYSCTL_ZERO, .extra2 = &hash_max_filesize_max },
	STAT_ENTRY(num_lost_hash, hash_lost_stat),
	STAT_ENTRY(total_cost, fh_total_cost_stat),
	{ .procname = "debug_data", .mode = 0440,
	  .proc_handler = proc_debug_data },
	SWITCH_ENTRY(strict, g_strict),
	SWITCH_ENTRY(quite, quite),
	SWITCH_ENTRY(ulog, ulog),
	{ }
};

int zentrope_init_sysctl(void)
{
	zentrope_sysctls = zt_register_sysctl("kernel/zentrope",
					      zentrope_sysctl_table,
					      ARRAY_SIZE(zentrope_sysctl_table));
	return zentrope_sysctls ? 0 : -ENOMEM;
}

/* Waits for handlers in flight, so no command runs after this returns. */
void zentrope_exit_sysctl(void)
{
	if (zentrope_sysctls)
		unregister_sysctl_table(zentrope_sysctls);
	zentrope_sysctls = NULL;
}
