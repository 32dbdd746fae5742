/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_MSG_H
#define ZENTROPE_MSG_H

#include <linux/types.h>
#include <linux/atomic.h>

#include "zentrope_event.h"
#include "decide.h"

struct file;
struct kmem_cache;

/* Objects of BLOCK_EVENT_SIZE bytes; created and destroyed by start-up. */
extern struct kmem_cache *block_event_cache;

/* quite 1 silences refusals; ulog 1 sends events to the channel, 0 logs. */
extern int quite;
extern int ulog;

/* Port id of the registered listener, 0 when nobody listens. */
extern s64 portid_pid;
/* Sequence of the last block event sent to the channel. */
extern atomic64_t seq_zentrope_event;

int init_zentrope_msg(void);
int exit_zentrope_msg(void);

void cn_zentrope_ack(int code, u64 seq, u32 ack);
int send_block_event(const struct block_event *ev, int len);

struct block_event *block_event_buf_reserve(void);
/* Current task's thread-group id and command name. */
void block_event_fill_current(struct block_event *ev);
/*
 * An event of the current task for a refusal that quite silences: NULL
 * then, or when no event can be had (the refusal stands either way).
 */
struct block_event *block_event_refusal(u32 type, u32 kind);
/* Routes by ulog, then frees @ev; NULL is ignored. */
void block_event_send(struct block_event *ev);
void printk_event(const struct block_event *ev);

void send_block_hash_event(const char *path, const u8 *digest, int len);
void send_block_prog_info_event(const char *name);
void send_strict_block_event(int kind, const char *name, struct file *file,
			     const u8 *digest, int len);

#endif /* ZENTROPE_MSG_H */
