// SPDX-License-Identifier: GPL-2.0
/*
 * Block events as kernel-log lines, and the fillers every builder shares.
 * An event may come from anywhere (a fuzzer, a corrupted object), so text
 * fields are measured with their bounds and never trusted to be terminated.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "event_fmt.h"
#include "utils.h"

/* The first %s of every line names the kernel-log entry point. */
#define LOG_FN "printk_event"
#define ADDR_TEXT_SIZE 48

/* Precision and pointer for "%.*s": a field printed within its bound. */
#define FIELD(ev, f) (int)strnlen((ev)->f, sizeof((ev)->f)), (ev)->f

const char *const type_prog_string[ZT_KIND_COUNT] = ZT_KIND_WORDS;

const char *event_kind_word(u32 kind)
{
	if (kind >= ZT_KIND_COUNT)
		return NULL;
	return type_prog_string[kind];
}

static int has_hash(const struct block_event *ev)
{
	return ev->hash[0] != '\0';
}

/* Address text of addr; returns the port in host order, 0 for no address. */
static int event_addr(const struct block_event *ev, char *text, int size)
{
	const u8 *a = ev->addr;
	u16 family;

	text[0] = '\0';
	memcpy(&family, a + ZT_ADDR_FAMILY_OFF, sizeof(family));
	if (family == ZT_AF_INET) {
		if (!inet_ntop4(a + ZT_ADDR_IN4_OFF, text, size))
			text[0] = '\0';
	} else if (family == ZT_AF_INET6) {
		if (!inet_ntop6(a + ZT_ADDR_IN6_OFF, text, size))
			text[0] = '\0';
	} else {
		return 0;
	}
	return (a[ZT_ADDR_PORT_OFF] << 8) | a[ZT_ADDR_PORT_OFF + 1];
}

static int line_program(char *buf, int size, const struct block_event *ev,
			const char *word)
{
	if (has_hash(ev))
		return scnprintf(buf, size,
				 "zentrope: %s Blocking %s %s pid:%d comm:%.*s hash:%.*s\n",
				 LOG_FN, type_prog_string[ZT_KIND_PROGRAM],
				 word, ev->pid, FIELD(ev, comm),
				 FIELD(ev, hash));
	return scnprintf(buf, size,
			 "zentrope: %s Blocking %s %s pid:%d comm:%.*s prog:%.*s\n",
			 LOG_FN, type_prog_string[ZT_KIND_PROGRAM], word,
			 ev->pid, FIELD(ev, comm), FIELD(ev, prog));
}

static int line_hashlist(char *buf, int size, const struct block_event *ev,
			 const char *word)
{
	return scnprintf(buf, size,
			 "zentrope: %s Blocking %s %s pid:%d comm:%.*s prog:%.*s hash:%.*s\n",
			 LOG_FN, type_prog_string[ZT_KIND_HASHLIST], word,
			 ev->pid, FIELD(ev, comm), FIELD(ev, prog),
			 FIELD(ev, hash));
}

/* @what is "ip" or "port": the two network forms differ only in it. */
static int line_net(char *buf, int size, const struct block_event *ev,
		    const char *what, const char *word)
{
	char text[ADDR_TEXT_SIZE];
	int port = event_addr(ev, text, sizeof(text));

	if (has_hash(ev))
		return scnprintf(buf, size,
				 "zentrope: %s Blocking %s %s to %s:%d pid:%d comm:%.*s hash:%.*s\n",
				 LOG_FN, what, word, text, port, ev->pid,
				 FIELD(ev, comm), FIELD(ev, hash));
	return scnprintf(buf, size,
			 "zentrope: %s Blocking %s %s to %s:%d pid:%d comm:%.*s prog:%.*s\n",
			 LOG_FN, what, word, text, port, ev->pid,
			 FIELD(ev, comm), FIELD(ev, prog));
}

static int line_url(char *buf, int size, const struct block_event *ev,
		    const char *word)
{
	if (has_hash(ev))
		return scnprintf(buf, size,
				 "zentrope: %s Blocking %s url:%.*s pid:%d comm:%.*s hash:%.*s\n",
				 LOG_FN, word, FIELD(ev, url), ev->pid,
				 FIELD(ev, comm), FIELD(ev, hash));
	return scnprintf(buf, size,
			 "zentrope: %s Blocking %s url:%.*s pid:%d comm:%.*s prog:%.*s\n",
			 LOG_FN, word, FIELD(ev, url), ev->pid,
			 FIELD(ev, comm), FIELD(ev, prog));
}

/* Every type but program and hash list: the kind picks the line. */
static int line_by_kind(char *buf, int size, const struct block_event *ev,
			const char *word)
{
	switch (ev->kind) {
	case ZT_KIND_CONNECTING:
	case ZT_KIND_SENDMSGING:
	case ZT_KIND_RECVMSGING:
		return line_net(buf, size, ev, "ip", word);
	case ZT_KIND_BINDING:
		return line_net(buf, size, ev, "port", word);
	case ZT_KIND_DNSLOOKUPING:
		return line_url(buf, size, ev, word);
	default:
		return 0;
	}
}

int event_log_line(char *buf, int size, const struct block_event *ev,
		   int quiet)
{
	const char *word;

	if (!buf || size <= 0)
		return 0;
	buf[0] = '\0';
	if (!ev || quiet)
		return 0;
	word = event_kind_word(ev->kind);
	if (!word)
		return 0;
	if (ev->type == ZT_TYPE_PROG)
		return line_program(buf, size, ev, word);
	if (ev->type == ZT_TYPE_HASH)
		return line_hashlist(buf, size, ev, word);
	return line_by_kind(buf, size, ev, word);
}

int event_payload_fill(struct event_payload *p, u32 msg_type, u32 cpu,
		       u64 sequence, u64 time_ns,
		       const struct block_event *ev, int len)
{
	if (!p || len < 0 || len > BLOCK_EVENT_SIZE || (len && !ev))
		return -EINVAL;
	p->header.msg_type = msg_type;
	p->header.cpu = cpu;
	p->header.sequence = sequence;
	p->header.time_ns = time_ns;
	if (len)
		memcpy(&p->event, ev, len);
	return len;
}

void event_set_task(struct block_event *ev, int pid, const char *comm)
{
	ev->pid = pid;
	if (comm)
		memcpy(ev->comm, comm, sizeof(ev->comm));
}

void event_set_prog(struct block_event *ev, const char *name)
{
	if (name)
		strscpy(ev->prog, name, sizeof(ev->prog));
}

void event_set_hash(struct block_event *ev, const u8 *digest, int len)
{
	if (!digest || len <= 0)
		return;
	translate_hash_hex(ev->hash, sizeof(ev->hash), digest,
			   min(len, SHA1_DIGEST_LEN));
}

static int known(const char *s)
{
	return s && s[0];
}

void event_set_identity(struct block_event *ev,
			const struct event_identity *id)
{
	ev->from_prog_info = 0;
	if (id->digest && id->hash_hit) {
		event_set_hash(ev, id->digest, SHA1_DIGEST_LEN);
		return;
	}
	if (id->info_name) {
		event_set_prog(ev, id->info_name);
		ev->from_prog_info = 1;
		return;
	}
	if (known(id->path))
		event_set_prog(ev, id->path);
	else if (known(id->short_name))
		event_set_prog(ev, id->short_name);
}

void event_fill_hash_block(struct block_event *ev, const char *path,
			   const u8 *digest, int len)
{
	ev->type = ZT_TYPE_HASH;
	ev->kind = ZT_KIND_EXECING;
	event_set_hash(ev, digest, len);
	event_set_prog(ev, path);
}

void event_fill_prog_info_block(struct block_event *ev, const char *name)
{
	ev->type = ZT_TYPE_PROG;
	ev->kind = ZT_KIND_EXECING;
	ev->from_prog_info = 1;
	event_set_prog(ev, name);
}
