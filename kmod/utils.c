// SPDX-License-Identifier: GPL-2.0
/*
 * Text helpers: address formatting, digest hex conversions and the
 * label-encoded form in which domain rules are stored. No state, no locks,
 * no allocation: safe in any context.
 */
#include <linux/kernel.h>
#include <linux/ctype.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "utils.h"

char *inet_ntop4(const u8 *src, char *dst, int size)
{
	char tmp[sizeof("255.255.255.255")];
	int n;

	n = snprintf(tmp, sizeof(tmp), "%u.%u.%u.%u",
		     src[0], src[1], src[2], src[3]);
	if (n >= size)
		return NULL;
	memcpy(dst, tmp, n + 1);
	return dst;
}

/* Longest run of zero groups; of equal runs the leftmost wins. */
static void longest_zero_run(const u16 *groups, int *best, int *best_len)
{
	int i, cur = -1, cur_len = 0;

	*best = -1;
	*best_len = 0;
	for (i = 0; i < 8; i++) {
		if (groups[i]) {
			cur = -1;
			continue;
		}
		if (cur < 0) {
			cur = i;
			cur_len = 0;
		}
		if (++cur_len > *best_len) {
			*best = cur;
			*best_len = cur_len;
		}
	}
	if (*best_len < 2)
		*best = -1;
}

char *inet_ntop6(const u8 *src, char *dst, int size)
{
	char tmp[49] = "";
	u16 groups[8];
	int best, best_len, i, n = 0;

	for (i = 0; i < 8; i++)
		groups[i] = (src[2 * i] << 8) | src[2 * i + 1];
	longest_zero_run(groups, &best, &best_len);

	for (i = 0; i < 8; i++) {
		if (best >= 0 && i >= best && i < best + best_len) {
			if (i == best)
				tmp[n++] = ':';
			continue;
		}
		if (i)
			tmp[n++] = ':';
		/* ::a.b.c.d and ::ffff:a.b.c.d keep the IPv4 part dotted */
		if (i == 6 && best == 0 &&
		    (best_len == 6 || (best_len == 5 && groups[5] == 0xffff))) {
			if (!inet_ntop4(src + 12, tmp + n, sizeof(tmp) - n))
				return NULL;
			n += strlen(tmp + n);
			goto done;
		}
		n += snprintf(tmp + n, sizeof(tmp) - n, "%x", groups[i]);
	}
	if (best >= 0 && best + best_len == 8)
		tmp[n++] = ':';
	tmp[n] = '\0';
done:
	if (n + 1 > size)
		return NULL;
	memcpy(dst, tmp, n + 1);
	return dst;
}

/*
 * Encode the first @len bytes of a dotted name (up to a NUL) as
 * length-prefixed labels. @out must be zero-filled and one byte larger than
 * @limit. Empty labels are dropped. A name whose
 * encoding does not fit is refused rather than cut, so a rule never stands
 * for a different domain than the one written.
 */
int translate_url(char *out, int limit, char *name, unsigned int len)
{
	unsigned int i = 0, start, l;
	int pos = 0;

	if (!out || !name || limit <= 0 || len < 1 || len > 256)
		return -EINVAL;
	while (i < len && name[i]) {
		start = i;
		while (i < len && name[i] && name[i] != '.')
			i++;
		l = i - start;
		if (l) {
			if (l > 255 || pos + 1 + (int)l > limit)
				return -EINVAL;
			out[pos] = (char)l;
			memcpy(out + pos + 1, name + start, l);
			pos += 1 + l;
		}
		if (i < len && name[i] == '.')
			i++;
	}
	return out[0] ? 0 : -EINVAL;
}

/*
 * Decode length-prefixed labels back to dotted text. @out must be
 * zero-filled and one byte larger than @limit. Reading stops at the first
 * zero length byte or at the end of the @len input bytes.
 */
int recover_url(char *out, int limit, const char *enc, unsigned int len)
{
	unsigned int in = 0;
	int pos = 0;

	if (!out || !enc || limit <= 0 || len < 1 || len > 256)
		return -EINVAL;
	while (in < len && enc[in]) {
		unsigned int l = (u8)enc[in++];

		if (l > len - in || pos + (int)l > limit)
			return -EINVAL;
		memcpy(out + pos, enc + in, l);
		in += l;
		pos += l;
		if (pos == limit)
			return 0;
		out[pos++] = '.';
		if (pos == limit)
			return 0;
	}
	if (!pos)
		return -EINVAL;
	out[pos - 1] = '\0';
	return 0;
}

int buf_is_zero(const void *buf, int len)
{
	if (!buf || len <= 0)
		return 1;
	return !memchr_inv(buf, 0, len);
}

/* Lowercase hex of @digest; always leaves room for the terminator. */
int translate_hash_hex(char *out, int size, const u8 *digest, int len)
{
	int n;

	if (!out || !digest || size <= 0 || len < 0)
		return 0;
	n = min(len, (size - 1) / 2);
	bin2hex(out, digest, n);
	out[2 * n] = '\0';
	return 2 * n;
}

/*
 * Hex text to bytes, min(@size, @len / 2) of them. Any character that is
 * not a hexadecimal digit refuses the whole text: a mistyped digest must not
 * be stored as some other digest.
 */
int translate_hash_bin(u8 *out, int size, const char *hex, int len)
{
	int i, n;

	if (!out || !hex || size <= 0 || len <= 0)
		return -EINVAL;
	for (i = 0; i < len; i++)
		if (!isxdigit(hex[i]))
			return -EINVAL;
	n = min(size, len / 2);
	if (hex2bin(out, hex, n))
		return -EINVAL;
	return n;
}
