/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_RULE_LISTS_H
#define ZENTROPE_RULE_LISTS_H

#include <linux/types.h>
#include <linux/atomic.h>

#include "keyed_set.h"
#include "utils.h"

/* block_prog and interp_prog: a path or short name. */
struct name_struct {
	struct zt_set_node node;
	u32 dev;
	u64 ino;
	char name[];
};

/* block_prog_info: the identity of a listed program's file. */
struct prog_info_struct {
	struct zt_set_node node;
	u64 ino;
	u32 dev;
	u32 flag;
	char name[];
};

/* Hashed by the case-folded name: spellings that differ in case meet. */
struct url_struct {
	struct zt_set_node node;
	char name[URL_BUF_SIZE];
};

struct port_struct {
	struct zt_set_node node;
	u32 port;		/* network byte order, zero-extended */
};

struct ipv4_struct {
	struct zt_set_node node;
	u8 addr[4];
};

struct ipv6_struct {
	struct zt_set_node node;
	u8 addr[16];
};

#define DECLARE_RULE_LIST(name)					\
	extern struct zt_set name##_set;			\
	extern atomic_t num_##name

DECLARE_RULE_LIST(block_prog);
DECLARE_RULE_LIST(block_prog_info);
DECLARE_RULE_LIST(interp_prog);
DECLARE_RULE_LIST(block_url);
DECLARE_RULE_LIST(block_port);
DECLARE_RULE_LIST(block_ipv4);
DECLARE_RULE_LIST(block_ipv6);

/* Like update/delete_block_prog, but 1 tells that the name was added/removed. */
int update_block_prog_new(const char *name);
int delete_block_prog_found(const char *name);

int update_block_prog(const char *name);
int update_interp_prog(const char *name);
int update_block_url(const char *enc);
int update_block_port(int port);
int update_block_ipv4(const u8 *addr);
int update_block_ipv6(const u8 *addr);
int update_block_prog_info(struct prog_info_struct *info);

int delete_block_prog(const char *name);
int delete_interp_prog(const char *name);
int delete_block_url(const char *enc);
int delete_block_port(int port);
int delete_block_ipv4(const u8 *addr);
int delete_block_ipv6(const u8 *addr);
int delete_block_prog_info(const struct prog_info_struct *probe);

int dump_block_prog(char *buf, int size);
int dump_interp_prog(char *buf, int size);
int dump_block_url(char *buf, int size);
int dump_block_port(char *buf, int size);
int dump_block_ipv4(char *buf, int size);
int dump_block_ipv6(char *buf, int size);
int dump_block_prog_info(char *buf, int size);

int clear_block_prog(void);
int clear_interp_prog(void);
int clear_block_url(void);
int clear_block_port(void);
int clear_block_ipv4(void);
int clear_block_ipv6(void);
int clear_block_prog_info(void);

/*
 * Lookups, for hooks in any context: under RCU, never sleeping, one hashed
 * probe whatever a list's length.
 */
int exist_block_prog(const char *name);
int exist_interp_prog(const char *name);
int exist_interp_prog_by_dev_ino(u32 dev, u64 ino);
bool exist_block_prog_info(u32 dev, u64 ino);
/* The entry of (@dev, @ino); the caller holds rcu_read_lock(). */
struct prog_info_struct *find_block_prog_info(u32 dev, u64 ino);
/* A label-encoded name, letters in any case. */
int exist_block_url_nocase(const char *enc);
bool exist_block_port(u32 port);
bool exist_block_ipv4(const u8 *addr);
bool exist_block_ipv6(const u8 *addr);

/* Empties every list, whatever signals the caller has pending. */
void rule_lists_exit(void);

/* Device of @path's file system and its inode number; 0 or -errno. */
int zt_path_identity(const char *path, u32 *dev, u64 *ino);

#endif /* ZENTROPE_RULE_LISTS_H */
