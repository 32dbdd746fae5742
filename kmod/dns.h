/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Reading the questions of an outgoing DNS query (RFC 1035). Any process
 * can send any bytes to port 53: nothing here reads past the given
 * length, every pointer followed leads backwards, and the walk stops
 * after a fixed number of questions, so no packet can make it loop or
 * cost more than a bounded amount.
 */
#ifndef ZENTROPE_DNS_H
#define ZENTROPE_DNS_H

#include <linux/types.h>

#include "utils.h"

#define DNS_HDR_LEN 12
#define DNS_PORT 53
/*
 * Real queries carry one question (RFC 9619 makes that the rule for
 * standard queries, and resolvers refuse or ignore the rest); a few more
 * are looked at, none past this.
 */
#define DNS_MAX_QUESTIONS 8
/* After a name: its 2-byte type and 2-byte class. */
#define DNS_QUESTION_TAIL 4
/* All of a query the walk can look at: the header and its questions. */
#define DNS_SCAN_MAX (DNS_HDR_LEN + \
		      DNS_MAX_QUESTIONS * (URL_BUF_SIZE + DNS_QUESTION_TAIL))

/* The question count of a standard query's header, or -1 for any other. */
int dns_query_count(const u8 *hdr);

/*
 * Calls @match with each of the first @count (at most DNS_MAX_QUESTIONS)
 * question names of @msg, @len bytes from its header on, until it answers
 * non-zero, and returns that answer (0 when none does). A name is handed
 * over label-encoded, compression pointers followed, without its final
 * zero label and NUL-terminated in @name. The walk ends at the first name
 * that is malformed, cut short or too long to be listed (over
 * URL_MAX_ENCODED bytes): no resolver takes such a query, and nothing
 * after it can be located.
 */
int dns_find_question(const u8 *msg, size_t len, int count,
		      char name[URL_BUF_SIZE],
		      int (*match)(const char *name, void *arg), void *arg);

#endif /* ZENTROPE_DNS_H */
