/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_RULE_LISTS_H
#define ZENTROPE_RULE_LISTS_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/rwsem.h>
#include <linux/atomic.h>
#include <linux/string.h>
#include <linux/stringhash.h>

#include "utils.h"

/* block_prog and interp_prog: a path or short name. */
struct name_struct {
	struct list_head list;
	u32 dev;
	u32 hash;	/* zt_name_hash(name): most names differ here */
	u64 ino;
	char name[];
};

/*
 * Lookups run on every exec; comparing this first keeps a walk of a long
 * list to one load and compare per element.
 */
static inline u32 zt_name_hash(const char *name)
{
	return full_name_hash(NULL, name, strlen(name));
}

/* block_prog_info: the identity of a listed program's file. */
struct prog_info_struct {
	struct list_head list;
	u64 ino;
	u32 dev;
	u32 flag;
	char name[];
};

struct url_struct {
	struct list_head list;
	struct hlist_node node;	/* in the index, by its case-folded key */
	u32 key;
	char name[URL_BUF_SIZE];
};

struct port_struct {
	struct list_head list;
	u32 port;		/* network byte order, zero-extended */
};

struct ipv4_struct {
	struct list_head list;
	u8 addr[4];
};

struct ipv6_struct {
	struct list_head list;
	u8 addr[16];
};

#define DECLARE_RULE_LIST(name)					\
	extern struct list_head head_##name;			\
	extern struct rw_semaphore rwsem_##name;		\
	extern atomic_t num_##name

DECLARE_RULE_LIST(block_prog);
DECLARE_RULE_LIST(block_prog_info);
DECLARE_RULE_LIST(interp_prog);
DECLARE_RULE_LIST(block_url);
DECLARE_RULE_LIST(block_port);
DECLARE_RULE_LIST(block_ipv4);
DECLARE_RULE_LIST(block_ipv6);

int __update_name_struct_list(struct list_head *head, const char *name,
			      int len, u32 dev, u64 ino);
int __update_url_struct_list(struct list_head *head, const char *enc);
int __update_port_struct_list(struct list_head *head, int port);
int __update_ipv4_struct_list(struct list_head *head, const u8 *addr);
int __update_ipv6_struct_list(struct list_head *head, const u8 *addr);

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
 * A label-encoded name in block_url, letters in any case; the caller holds
 * rwsem_block_url. One hashed probe, whatever the list's length.
 */
struct url_struct *find_block_url_nocase(const char *enc);

/* Empties every list, whatever signals the caller has pending. */
void rule_lists_exit(void);

/* Device of @path's file system and its inode number; 0 or -errno. */
int zt_path_identity(const char *path, u32 *dev, u64 *ino);

#endif /* ZENTROPE_RULE_LISTS_H */
