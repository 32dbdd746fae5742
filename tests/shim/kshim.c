// SPDX-License-Identifier: GPL-2.0
/* User-space stand-ins for the kernel helpers declared in kshim.h. */
#include "kshim.h"

#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

__thread bool shim_fatal_signal;
__thread int shim_fail_alloc_in;

static long cache_objects;

static bool alloc_should_fail(void)
{
	return shim_fail_alloc_in > 0 && --shim_fail_alloc_in == 0;
}

void *kzalloc(size_t size, gfp_t gfp)
{
	(void)gfp;
	if (alloc_should_fail())
		return NULL;
	return calloc(1, size);
}

void *kmemdup(const void *src, size_t len, gfp_t gfp)
{
	void *p = kzalloc(len, gfp);

	if (p)
		memcpy(p, src, len);
	return p;
}

void kfree(const void *p)
{
	free((void *)p);
}

struct kmem_cache {
	const char *name;
	size_t size;
};

struct kmem_cache *kmem_cache_create_usercopy(const char *name, unsigned int size,
					      unsigned int align,
					      unsigned long flags,
					      unsigned int useroffset,
					      unsigned int usersize,
					      void (*ctor)(void *))
{
	struct kmem_cache *c = calloc(1, sizeof(*c));

	(void)align, (void)flags, (void)ctor;
	assert(useroffset + usersize <= size);
	if (c) {
		c->name = name;
		c->size = size;
	}
	return c;
}

void *kmem_cache_zalloc(struct kmem_cache *c, gfp_t gfp)
{
	void *p;

	(void)gfp;
	if (alloc_should_fail())
		return NULL;
	p = calloc(1, c->size);
	if (p)
		__atomic_fetch_add(&cache_objects, 1, __ATOMIC_RELAXED);
	return p;
}

void kmem_cache_free(struct kmem_cache *c, void *p)
{
	(void)c;
	if (p)
		__atomic_fetch_sub(&cache_objects, 1, __ATOMIC_RELAXED);
	free(p);
}

/* The kernel complains about a cache destroyed with live objects. */
void kmem_cache_destroy(struct kmem_cache *c)
{
	if (c && __atomic_load_n(&cache_objects, __ATOMIC_RELAXED))
		fprintf(stderr, "kmem_cache_destroy %s: objects remaining\n",
			c->name);
	free(c);
}

long shim_cache_objects(void)
{
	return __atomic_load_n(&cache_objects, __ATOMIC_RELAXED);
}

ssize_t strscpy(char *dst, const char *src, size_t size)
{
	size_t len;

	if (!size)
		return -E2BIG;
	len = strnlen(src, size);
	if (len == size) {
		memcpy(dst, src, size - 1);
		dst[size - 1] = '\0';
		return -E2BIG;
	}
	memcpy(dst, src, len + 1);
	return len;
}

void *memchr_inv(const void *s, int c, size_t n)
{
	const unsigned char *p = s;

	for (; n; n--, p++)
		if (*p != (unsigned char)c)
			return (void *)p;
	return NULL;
}

int scnprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list ap;
	int n;

	if (!size)
		return 0;
	va_start(ap, fmt);
	n = vsnprintf(buf, size, fmt, ap);
	va_end(ap);
	if (n < 0)
		return 0;
	return (size_t)n < size ? n : (int)size - 1;
}

static int hex_to_bin(unsigned char ch)
{
	if (ch >= '0' && ch <= '9')
		return ch - '0';
	ch = tolower(ch);
	if (ch >= 'a' && ch <= 'f')
		return ch - 'a' + 10;
	return -1;
}

int hex2bin(u8 *dst, const char *src, size_t count)
{
	while (count--) {
		int hi = hex_to_bin(*src++), lo;

		if (hi < 0)
			return -EINVAL;
		lo = hex_to_bin(*src++);
		if (lo < 0)
			return -EINVAL;
		*dst++ = (hi << 4) | lo;
	}
	return 0;
}

char *bin2hex(char *dst, const void *src, size_t count)
{
	static const char hex[] = "0123456789abcdef";
	const unsigned char *s = src;

	while (count--) {
		*dst++ = hex[*s >> 4];
		*dst++ = hex[*s++ & 15];
	}
	return dst;
}

/*
 * As lib/kstrtox.c: optional sign, digits in @base (0 picks 8, 10 or 16
 * from the prefix), one optional trailing newline, nothing else.
 */
int kstrtoll(const char *s, unsigned int base, long long *res)
{
	unsigned long long v = 0, lim;
	bool neg = false;
	int digits = 0;

	if (*s == '+' || *s == '-')
		neg = *s++ == '-';
	if (base == 0 || base == 16) {
		if (s[0] == '0' && tolower((unsigned char)s[1]) == 'x' &&
		    isxdigit((unsigned char)s[2])) {
			s += 2;
			base = 16;
		} else if (base == 0) {
			base = s[0] == '0' ? 8 : 10;
		}
	}
	lim = neg ? (unsigned long long)LLONG_MAX + 1 : LLONG_MAX;
	for (; *s; s++, digits++) {
		int d = hex_to_bin((unsigned char)*s);

		if (d < 0 || d >= (int)base)
			break;
		if (v > (lim - d) / base)
			return -ERANGE;
		v = v * base + d;
	}
	if (!digits)
		return -EINVAL;
	if (*s == '\n')
		s++;
	if (*s)
		return -EINVAL;
	*res = neg ? (long long)(0 - v) : (long long)v;
	return 0;
}

/*
 * in4_pton() and in6_pton(), ported from the kernel's net/core/utils.c so
 * that host tests parse addresses exactly as the module does.
 */
#define IN6PTON_XDIGIT		0x00010000
#define IN6PTON_DIGIT		0x00020000
#define IN6PTON_COLON_MASK	0x00700000
#define IN6PTON_COLON_1		0x00100000
#define IN6PTON_COLON_2		0x00200000
#define IN6PTON_COLON_1_2	0x00400000
#define IN6PTON_DOT		0x00800000
#define IN6PTON_DELIM		0x10000000
#define IN6PTON_NULL		0x20000000
#define IN6PTON_UNKNOWN		0x40000000

static int xdigit2bin(char c, int delim)
{
	int val;

	if (c == delim || c == '\0')
		return IN6PTON_DELIM;
	if (c == ':')
		return IN6PTON_COLON_MASK;
	if (c == '.')
		return IN6PTON_DOT;
	val = hex_to_bin((unsigned char)c);
	if (val >= 0)
		return val | IN6PTON_XDIGIT | (val < 10 ? IN6PTON_DIGIT : 0);
	if (delim == -1)
		return IN6PTON_DELIM;
	return IN6PTON_UNKNOWN;
}

int in4_pton(const char *src, int srclen, u8 *dst, int delim, const char **end)
{
	const char *s = src;
	u8 dbuf[4], *d = dbuf;
	int ret = 0, i = 0, w = 0;

	if (srclen < 0)
		srclen = strlen(src);
	while (1) {
		int c = xdigit2bin(srclen > 0 ? *s : '\0', delim);

		if (!(c & (IN6PTON_DIGIT | IN6PTON_DOT | IN6PTON_DELIM |
			   IN6PTON_COLON_MASK)))
			goto out;
		if (c & (IN6PTON_DOT | IN6PTON_DELIM | IN6PTON_COLON_MASK)) {
			if (w == 0)
				goto out;
			*d++ = w & 0xff;
			w = 0;
			i++;
			if (c & (IN6PTON_DELIM | IN6PTON_COLON_MASK)) {
				if (i != 4)
					goto out;
				break;
			}
			goto cont;
		}
		w = (w * 10) + c;
		if ((w & 0xffff) > 255)
			goto out;
cont:
		if (i >= 4)
			goto out;
		s++;
		srclen--;
	}
	ret = 1;
	memcpy(dst, dbuf, sizeof(dbuf));
out:
	if (end)
		*end = s;
	return ret;
}

int in6_pton(const char *src, int srclen, u8 *dst, int delim, const char **end)
{
	const char *s = src, *tok = NULL;
	u8 dbuf[16], *d = dbuf, *dc = NULL;
	int ret = 0, i, w = 0;
	int state = IN6PTON_COLON_1_2 | IN6PTON_XDIGIT | IN6PTON_NULL;

	memset(dbuf, 0, sizeof(dbuf));
	if (srclen < 0)
		srclen = strlen(src);
	while (1) {
		int c = xdigit2bin(srclen > 0 ? *s : '\0', delim);

		if (!(c & state))
			goto out;
		if (c & (IN6PTON_DELIM | IN6PTON_COLON_MASK)) {
			if (!(state & IN6PTON_NULL)) {
				*d++ = (w >> 8) & 0xff;
				*d++ = w & 0xff;
			}
			w = 0;
			if (c & IN6PTON_DELIM)
				break;
			switch (state & IN6PTON_COLON_MASK) {
			case IN6PTON_COLON_2:
				dc = d;
				state = IN6PTON_XDIGIT | IN6PTON_DELIM;
				if (dc - dbuf >= (int)sizeof(dbuf))
					state |= IN6PTON_NULL;
				break;
			case IN6PTON_COLON_1 | IN6PTON_COLON_1_2:
				state = IN6PTON_XDIGIT | IN6PTON_COLON_2;
				break;
			case IN6PTON_COLON_1:
				state = IN6PTON_XDIGIT;
				break;
			case IN6PTON_COLON_1_2:
				state = IN6PTON_COLON_2;
				break;
			default:
				state = 0;
			}
			tok = s + 1;
			goto cont;
		}
		if (c & IN6PTON_DOT) {
			ret = in4_pton(tok ? tok : s, srclen + (int)(s - tok), d,
				       delim, &s);
			if (ret > 0) {
				d += 4;
				break;
			}
			goto out;
		}
		w = (w << 4) | (0xff & c);
		state = IN6PTON_COLON_1 | IN6PTON_DELIM;
		if (!(w & 0xf000))
			state |= IN6PTON_XDIGIT;
		if (!dc && d + 2 < dbuf + sizeof(dbuf)) {
			state |= IN6PTON_COLON_1_2;
			state &= ~IN6PTON_DELIM;
		}
		if (d + 2 >= dbuf + sizeof(dbuf))
			state &= ~(IN6PTON_COLON_1 | IN6PTON_COLON_1_2);
cont:
		if ((dc && d + 4 < dbuf + sizeof(dbuf)) ||
		    d + 4 == dbuf + sizeof(dbuf))
			state |= IN6PTON_DOT;
		if (d >= dbuf + sizeof(dbuf))
			state &= ~(IN6PTON_XDIGIT | IN6PTON_COLON_MASK);
		s++;
		srclen--;
	}
	i = 15;
	d--;
	if (dc) {
		while (d >= dc)
			dst[i--] = *d--;
		while (i >= dc - dbuf)
			dst[i--] = 0;
		while (i >= 0)
			dst[i--] = *d--;
	} else {
		memcpy(dst, dbuf, sizeof(dbuf));
	}
	ret = 1;
out:
	if (end)
		*end = s;
	return ret;
}

u32 crc32_le(u32 crc, const unsigned char *p, size_t len)
{
	int i;

	while (len--) {
		crc ^= *p++;
		for (i = 0; i < 8; i++)
			crc = (crc >> 1) ^ (0xEDB88320u & -(crc & 1));
	}
	return crc;
}
