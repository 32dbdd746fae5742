/* SPDX-License-Identifier: GPL-2.0 */
#ifndef ZENTROPE_UTILS_H
#define ZENTROPE_UTILS_H

#include <linux/types.h>

/* A label-encoded domain name fits in this many bytes, NUL included. */
#define URL_BUF_SIZE 256
#define URL_MAX_ENCODED (URL_BUF_SIZE - 1)

#define SHA1_DIGEST_LEN 20
#define SHA1_HEX_LEN (2 * SHA1_DIGEST_LEN)

char *inet_ntop4(const u8 *src, char *dst, int size);
char *inet_ntop6(const u8 *src, char *dst, int size);
int translate_url(char *out, int limit, char *name, unsigned int len);
int recover_url(char *out, int limit, const char *enc, unsigned int len);
int buf_is_zero(const void *buf, int len);
int translate_hash_hex(char *out, int size, const u8 *digest, int len);
int translate_hash_bin(u8 *out, int size, const char *hex, int len);

#endif /* ZENTROPE_UTILS_H */
