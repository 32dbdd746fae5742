// SPDX-License-Identifier: GPL-2.0
/*
 * DNS query questions, as the send check reads them.
 */
#include <linux/kernel.h>
#include <linux/string.h>

#include "dns.h"

#define DNS_FLAG_QR 0x80	/* byte 2: a response */
#define DNS_OPCODE_MASK 0x78	/* byte 2: bits 3 to 6 */
#define DNS_PTR 0xc0		/* label byte: a compression pointer */
#define DNS_LABEL_MAX 63

int dns_query_count(const u8 *hdr)
{
	if (hdr[2] & (DNS_FLAG_QR | DNS_OPCODE_MASK))
		return -1;
	return hdr[4] << 8 | hdr[5];
}

/*
 * The name at @off into @name; the offset after it in the question, or 0
 * when it is not a name a resolver would take. A pointer refers to an
 * earlier occurrence, so it must lead before the start of the labels it
 * ends: every jump lowers that start, and the walk ends.
 */
static size_t dns_read_name(const u8 *msg, size_t len, size_t off,
			    char name[URL_BUF_SIZE])
{
	size_t n = 0, next = 0, start = off;
	u8 l;

	while (off < len) {
		l = msg[off];
		if (!l) {
			name[n] = '\0';
			return next ? next : off + 1;
		}
		if ((l & DNS_PTR) == DNS_PTR) {
			size_t to = (l & ~DNS_PTR) << 8;

			if (off + 1 >= len)
				return 0;
			to |= msg[off + 1];
			if (!next)
				next = off + 2;
			if (to >= start)
				return 0;
			off = start = to;
			continue;
		}
		if (l > DNS_LABEL_MAX || off + 1 + l > len ||
		    n + 1 + l > URL_MAX_ENCODED)
			return 0;
		memcpy(name + n, msg + off, 1 + l);
		n += 1 + l;
		off += 1 + l;
	}
	return 0;
}

int dns_find_question(const u8 *msg, size_t len, int count,
		      char name[URL_BUF_SIZE],
		      int (*match)(const char *name, void *arg), void *arg)
{
	size_t off = DNS_HDR_LEN;
	int i, ret;

	count = min(count, DNS_MAX_QUESTIONS);
	for (i = 0; i < count && off < len; i++) {
		off = dns_read_name(msg, len, off, name);
		if (!off)
			return 0;
		ret = match(name, arg);
		if (ret)
			return ret;
		off += DNS_QUESTION_TAIL;
	}
	return 0;
}
