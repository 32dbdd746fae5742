/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Wire format of the block-event channel, shared by the module (C, kernel)
 * and the daemon (C++17, user space). Every structure is naturally aligned,
 * so no packing is needed; the checks at the end pin each offset, in both
 * worlds, to the format the daemon decodes.
 *
 * One message from the module is a connector header (struct cn_msg, 20
 * bytes) followed by one struct event_payload. Integers are in host order,
 * except the port inside addr, which stays in network order. A receiver
 * finds the payload 36 bytes into the datagram (16-byte netlink header
 * first), which is not 8-aligned: copy it out before reading the u64s.
 */
#ifndef ZENTROPE_EVENT_H
#define ZENTROPE_EVENT_H

#include <linux/types.h>
#ifdef __KERNEL__
#include <linux/stddef.h>
#include <linux/build_bug.h>
#else
#include <stddef.h>
#ifndef __cplusplus
#include <assert.h>
#endif
#endif

/* Connector identity and the daemon's multicast group. */
#define ZT_CN_IDX 16
#define ZT_CN_VAL 256
#define ZT_CN_GROUP 16
#define ZT_CN_GROUP_MASK (1U << (ZT_CN_GROUP - 1))	/* 0x8000 */

/* A listen request carries exactly this many data bytes. */
#define ZT_LISTEN_LEN 4
#define ZT_LISTEN_START 1
#define ZT_LISTEN_STOP 2

/* event_header.msg_type */
#define ZT_MSG_ACK 0
#define ZT_MSG_EVENT 1

/* Control acknowledgement codes, carried in block_event.type. */
#define ZT_ACK_DENIED 1		/* listen request without CAP_NET_ADMIN */
#define ZT_ACK_UNLOAD 32	/* module is being removed */

/* block_event.type: the rule class that refused. */
#define ZT_TYPE_PROG 0
#define ZT_TYPE_CONNECT 1
#define ZT_TYPE_SEND 2
#define ZT_TYPE_DNS 3
#define ZT_TYPE_RECV 4
#define ZT_TYPE_HASH 5
#define ZT_TYPE_BIND 7

/* block_event.kind: the refused operation, index of its word. */
#define ZT_KIND_PROGRAM 0
#define ZT_KIND_CONNECTING 1
#define ZT_KIND_SENDMSGING 2
#define ZT_KIND_DNSLOOKUPING 3
#define ZT_KIND_RECVMSGING 4
#define ZT_KIND_HASHLIST 5
#define ZT_KIND_EXECING 6
#define ZT_KIND_BINDING 7
#define ZT_KIND_COUNT 8

/* The words of the kinds, in kind order, as logs print them. */
#define ZT_KIND_WORDS {							\
	"program", "connecting", "sendmsging", "dnslookuping",	\
	"recvmsging", "hashlist", "execing", "binding",		\
}

/* Field sizes; text fields count their terminator. */
#define ZT_ADDR_SIZE 128
#define ZT_URL_SIZE 256
#define ZT_PROG_SIZE 4096
#define ZT_HASH_SIZE 41
#define ZT_COMM_SIZE 16

/*
 * addr is a socket address storage copy: host-order family, then the
 * network-order port and the address where sockaddr_in/sockaddr_in6 keep
 * them. Family values are the wire's, equal to Linux AF_INET/AF_INET6.
 */
#define ZT_AF_INET 2
#define ZT_AF_INET6 10
#define ZT_ADDR_FAMILY_OFF 0
#define ZT_ADDR_PORT_OFF 2
#define ZT_ADDR_IN4_OFF 4
#define ZT_ADDR_IN6_OFF 8

struct event_header {
	__u32 msg_type;
	__u32 cpu;
	__u64 sequence;
	__u64 time_ns;
};

struct block_event {
	__u32 type;
	__u32 kind;
	__u32 from_prog_info;
	__s32 pid;
	__u8 reserved[8];
	__u8 addr[ZT_ADDR_SIZE];
	char url[ZT_URL_SIZE];
	char prog[ZT_PROG_SIZE];
	char hash[ZT_HASH_SIZE];
	char comm[ZT_COMM_SIZE];
	__u8 padding[7];
};

struct event_payload {
	struct event_header header;
	struct block_event event;
};

#define ZT_CN_HDR_SIZE 20
#define ZT_EVENT_HEADER_SIZE 24
#define BLOCK_EVENT_SIZE 4568
#define ZT_PAYLOAD_SIZE (ZT_EVENT_HEADER_SIZE + BLOCK_EVENT_SIZE)	/* 4592 */
#define ZT_CN_MSG_SIZE (ZT_CN_HDR_SIZE + ZT_PAYLOAD_SIZE)		/* 4612 */

#define ZT_CHECK_OFF(type, field, off) \
	static_assert(offsetof(struct type, field) == (off), \
		      #type "." #field " is not at " #off)

static_assert(sizeof(struct event_header) == ZT_EVENT_HEADER_SIZE,
	      "event_header size");
static_assert(sizeof(struct block_event) == BLOCK_EVENT_SIZE,
	      "block_event size");
static_assert(sizeof(struct event_payload) == 4592, "event_payload size");
static_assert(ZT_CN_MSG_SIZE == 4612, "connector message size");
ZT_CHECK_OFF(event_header, msg_type, 0);
ZT_CHECK_OFF(event_header, cpu, 4);
ZT_CHECK_OFF(event_header, sequence, 8);
ZT_CHECK_OFF(event_header, time_ns, 16);
ZT_CHECK_OFF(block_event, type, 0);
ZT_CHECK_OFF(block_event, kind, 4);
ZT_CHECK_OFF(block_event, from_prog_info, 8);
ZT_CHECK_OFF(block_event, pid, 12);
ZT_CHECK_OFF(block_event, reserved, 16);
ZT_CHECK_OFF(block_event, addr, 24);
ZT_CHECK_OFF(block_event, url, 152);
ZT_CHECK_OFF(block_event, prog, 408);
ZT_CHECK_OFF(block_event, hash, 4504);
ZT_CHECK_OFF(block_event, comm, 4545);
ZT_CHECK_OFF(block_event, padding, 4561);
ZT_CHECK_OFF(event_payload, event, ZT_EVENT_HEADER_SIZE);

#undef ZT_CHECK_OFF

#endif /* ZENTROPE_EVENT_H */
