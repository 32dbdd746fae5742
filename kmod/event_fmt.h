/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Building and printing block events: no locks, no allocation, no kernel
 * state, so it runs in any context and in the host tests. Every read of an
 * event stays inside its field's bound, whatever the event holds.
 */
#ifndef ZENTROPE_EVENT_FMT_H
#define ZENTROPE_EVENT_FMT_H

#include <linux/types.h>

#include "zentrope_event.h"

/* printk keeps no more than this of one record. */
#define EVENT_LINE_MAX 1024

extern const char *const type_prog_string[ZT_KIND_COUNT];

/* The word of @kind, or NULL when it is out of range. */
const char *event_kind_word(u32 kind);

/*
 * The kernel-log line of @ev (with its newline) into @buf, cut to @size.
 * Returns its length, or 0 when the event prints nothing: @quiet set, a
 * kind out of range, or an event class that has no line.
 */
int event_log_line(char *buf, int size, const struct block_event *ev,
		   int quiet);

/* A body length send_block_event takes: 1 up to the whole record. */
static inline int event_len_ok(int len)
{
	return len > 0 && len <= BLOCK_EVENT_SIZE;
}

/*
 * The payload header, then the first @len bytes of @ev (none when @ev is
 * NULL and @len 0). @p must be zeroed. Returns @len, or -EINVAL when @len
 * is negative, above the record size, or positive without an event.
 */
int event_payload_fill(struct event_payload *p, u32 msg_type, u32 cpu,
		       u64 sequence, u64 time_ns,
		       const struct block_event *ev, int len);

/* @comm is copied whole: ZT_COMM_SIZE bytes. */
void event_set_task(struct block_event *ev, int pid, const char *comm);

/* @name into prog, cut to fit; NULL leaves prog as it is. */
void event_set_prog(struct block_event *ev, const char *name);

/* Hex of at most 20 bytes of @digest into hash; nothing for len <= 0. */
void event_set_hash(struct block_event *ev, const u8 *digest, int len);

/*
 * What a deciding check knows about the refused program. @digest, when
 * given, is SHA1_DIGEST_LEN bytes; @hash_hit says it is a listed digest.
 */
struct event_identity {
	const u8 *digest;
	int hash_hit;
	const char *info_name;	/* matched prog-info rule, or NULL */
	const char *path;
	const char *short_name;
};

/*
 * The identity rule: a listed digest names the program by its hex text
 * alone; else a matched prog-info rule by its name (from_prog_info 1);
 * else the path, the short name, or nothing.
 */
void event_set_identity(struct block_event *ev,
			const struct event_identity *id);

/* Hash-list refusal at exec: type 5, kind 6, @path as prog. */
void event_fill_hash_block(struct block_event *ev, const char *path,
			   const u8 *digest, int len);

/* Prog-info or name refusal at exec: type 0, kind 6, @name as prog. */
void event_fill_prog_info_block(struct block_event *ev, const char *name);

#endif /* ZENTROPE_EVENT_FMT_H */
