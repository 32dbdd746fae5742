/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The program decisions over the rule and process lists: name and identity
 * lookups, the identity and name steps of the strict verdict, and the
 * verdict on a process's network operation. No files, no events: the
 * callers in exec.c gather identities and report.
 */
#ifndef ZENTROPE_DECIDE_H
#define ZENTROPE_DECIDE_H

#include <linux/types.h>

#include "rule_lists.h"

/* Strict verdicts: what refused an exec or open, and so which event. */
#define STRICT_BLOCK_NONE 0
#define STRICT_BLOCK_HASH 1	/* digest in the store */
#define STRICT_BLOCK_INFO 2	/* file identity of a block_prog_info entry */
#define STRICT_BLOCK_NAME 3	/* path or short name in block_prog */

/* The text after the last '/' of @path, or all of it. */
const char *zt_basename(const char *path);

/*
 * Steps after the digest: the identity of an opened file (@have_file),
 * then @path and its last component against block_prog. 0, 2 or 3.
 */
int strict_identity_name_verdict(bool have_file, u32 dev, u64 ino,
				 const char *path);

/* What a network check knows of the calling process. */
struct filter_input {
	struct prog_info_struct *info;	/* its executable's identity rule */
	int hash_hit;			/* its digest is in the store */
	const u8 *digest;		/* recorded digest, or NULL */
	u32 dev;
	u64 ino;
	const char *path;
	int path_len;
	const char *short_name;
	int short_len;
	int pid;
};

/* Whether the operation is refused. */
bool filter_prog_decide(const struct filter_input *in);

/* What a network operation's socket address names. */
struct net_target {
	int family;		/* ZT_AF_INET or ZT_AF_INET6 */
	u16 port;		/* network byte order */
	const u8 *ip;		/* 4 or 16 bytes inside the address */
};

/*
 * 0 with @t filled when @addr, @len bytes, is an IPv4 or IPv6 socket
 * address long enough to hold the whole address; -1 otherwise (the kernel
 * refuses a short one itself, and nothing unread is judged).
 */
int net_target_of(const void *addr, int len, struct net_target *t);

/*
 * The address in block_ipv4 or block_ipv6 (an IPv4-mapped IPv6 address in
 * either); a non-zero port in block_port.
 */
bool net_addr_blocked(const struct net_target *t);
bool net_port_blocked(const struct net_target *t);

#endif /* ZENTROPE_DECIDE_H */
