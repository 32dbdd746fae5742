// SPDX-License-Identifier: GPL-2.0
/*
 * DNS query questions, as the send check reads them.
 */
#include <linux/kernel.h>
#include <linux/string.h>

#include "dns.h"

#define DNS_FLAG_QR 0x80	/* byte 2: a response */
#define DNS_OPCODE_MASK 0x78	/* byte 2: bits 3 to 6 */
/* After a name: its zero label, then the 2-byte type and 2-byte class. */
#define DNS_QUESTION_TAIL 5

int dns_query_count(const u8 *hdr)
{
	if (hdr[2] & (DNS_FLAG_QR | DNS_OPCODE_MASK))
		return -1;
	return hdr[4] << 8 | hdr[5];
}

int dns_find_question(const u8 *body, size_t len, int count,
		      char name[URL_BUF_SIZE],
		      int (*match)(const char *name, void *arg), void *arg)
{
	size_t off = 0, n;
	int i, ret;

	for (i = 0; i < count && off < len; i++) {
		n = strnlen((const char *)body + off, len - off);
		if (n <= URL_MAX_ENCODED) {
			memcpy(name, body + off, n);
			name[n] = '\0';
			ret = match(name, arg);
			if (ret)
				return ret;
		}
		/* Ends the walk for a name without its tail: off passes len. */
		off += n + DNS_QUESTION_TAIL;
	}
	return 0;
}
