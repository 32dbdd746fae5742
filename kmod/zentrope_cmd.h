/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_CMD_H
#define ZENTROPE_CMD_H

#include <linux/types.h>
#include <linux/atomic.h>

/* A command is one line of at most CMD_TEXT_MAX - 1 characters. */
#define CMD_TEXT_MAX 131072
#define CMD_BUF_SIZE (CMD_TEXT_MAX + 2)
/* A list's text is dumped into this much first, then twice as much. */
#define DUMP_TEXT_MIN 65536

#define RULE_LIST_MAX 10000
#define MEM_BLOCK_PROG_MAX 4194303

/* How one control entry's commands act on its list. */
struct zt_cmd_ops {
	int (*token)(char *tok, int len1, int add);
	int (*clear)(void);
	int (*dump)(char *buf, int size);
};

extern const struct zt_cmd_ops block_prog_cmd, block_hash_cmd,
	interp_prog_cmd, block_url_cmd, block_port_cmd, block_ipv4_cmd,
	block_ipv6_cmd;

extern atomic_t num_mem_block_prog;


bool zt_command_fits(const char *text, size_t len);
int zt_run_command(const struct zt_cmd_ops *ops, char *cmd);

int add_del_block_hash(char *tok, int len1, int add);
int add_del_interp_prog(char *tok, int len1, int add);
int add_del_block_url(char *tok, int len1, int add);
int add_del_block_port(char *tok, int len1, int add);
int add_del_block_ipv4(char *tok, int len1, int add);
int add_del_block_ipv6(char *tok, int len1, int add);
int add_block_prog(char *tok, int len1);
void del_block_prog(char *tok, int len1);

int dump_private_data(char *buf, int size);

#endif /* ZENTROPE_CMD_H */
