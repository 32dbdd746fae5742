/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Reading the questions of an outgoing DNS query (RFC 1035). Any process
 * can send any bytes to port 53: nothing here reads past the given
 * length, and every step moves forward, so no packet can make it loop.
 */
#ifndef ZENTROPE_DNS_H
#define ZENTROPE_DNS_H

#include <linux/types.h>

#include "utils.h"

#define DNS_HDR_LEN 12
#define DNS_PORT 53
/* A message is at most this long (a UDP payload, or TCP's 16-bit length). */
#define DNS_MSG_MAX 65535

/* The question count of a standard query's header, or -1 for any other. */
int dns_query_count(const u8 *hdr);

/*
 * Calls @match with each of the first @count question names of @body, the
 * @len bytes after the header, until it answers non-zero, and returns that
 * answer (0 when none does). A name is handed over label-encoded, without
 * its final zero label and NUL-terminated in @name; a name too long to be
 * listed (over URL_MAX_ENCODED bytes) is skipped. Compression pointers are
 * passed as they stand, never followed.
 */
int dns_find_question(const u8 *body, size_t len, int count,
		      char name[URL_BUF_SIZE],
		      int (*match)(const char *name, void *arg), void *arg);

#endif /* ZENTROPE_DNS_H */
