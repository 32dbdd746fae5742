/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The verdict on a network operation of the current process: its
 * program's rules, then the address, port and domain lists; a refusal is
 * reported as a block event. Nothing here sleeps but the recording of a
 * process that has no record yet.
 */
#ifndef ZENTROPE_NET_VERDICT_H
#define ZENTROPE_NET_VERDICT_H

#include <linux/types.h>

#include "decide.h"
#include "zentrope_event.h"

/* A zeroed copy of what the operation names, as events carry it. */
struct net_addr {
	u8 raw[ZT_ADDR_SIZE];
	int len;
	struct net_target t;
};

/*
 * The start of a query to port 53, read before any lock is taken: @buf
 * holds @len bytes from its header on, or is NULL when the send is no
 * query to inspect. @whole is false when the datagram may hold more than
 * this send (corked, or cut into segments by UDP GSO).
 */
struct dns_query {
	u8 *buf;
	size_t len;
	bool whole;
};


/*
 * Whether any rule could refuse an operation of @kind. Most traffic meets
 * no rule at all, and then costs no lookup: the counts are read unlocked.
 */
bool net_rules_apply(int kind);

/*
 * -EPERM when the operation is refused (and reported), else 0. @a is NULL
 * when no address could be judged, @q when the send is no query to
 * inspect.
 */
int net_judge(const struct net_addr *a, const struct dns_query *q, int kind);

#endif /* ZENTROPE_NET_VERDICT_H */
