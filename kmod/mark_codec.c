// SPDX-License-Identifier: GPL-2.0
/*
 * Encoding, sealing and opening of the file marks. Every field is written
 * byte by byte in little-endian order, so the layout does not depend on the
 * host's struct packing or byte order. No state, no locks, no allocation.
 */
#include <linux/kernel.h>
#include <linux/types.h>
#include <linux/string.h>
#include <linux/errno.h>
#include <linux/crc32.h>
#include <linux/build_bug.h>

#include "mark_codec.h"

static_assert(ZT_HASH_OFF_ID + ZT_MARK_ID_SIZE == ZT_HASH_OFF_CRC);
static_assert(ZT_HASH_OFF_CRC + 8 == ZT_HASH_MARK_SIZE);
static_assert(ZT_HASH_OFF_DIGEST + ZT_MARK_DIGEST_MAX == ZT_HASH_OFF_ID);
static_assert(ZT_EXIST_OFF_ID + ZT_MARK_ID_SIZE == ZT_EXIST_OFF_CRC);
static_assert(ZT_EXIST_OFF_CRC + 8 == ZT_EXIST_MARK_SIZE);
static_assert(ZT_HASH_MARK_SIZE % 4 == 0 && ZT_EXIST_MARK_SIZE % 4 == 0);

/* Byte offsets inside the identity block. */
#define ID_OFF_DEV 0
#define ID_OFF_INO 8
#define ID_OFF_SIZE 16
#define ID_OFF_MSEC 24
#define ID_OFF_MNSEC 32

static u32 get_le32(const u8 *p)
{
	return (u32)p[0] | (u32)p[1] << 8 | (u32)p[2] << 16 | (u32)p[3] << 24;
}

static u64 get_le64(const u8 *p)
{
	return (u64)get_le32(p) | (u64)get_le32(p + 4) << 32;
}

static void put_le32(u8 *p, u32 v)
{
	p[0] = v;
	p[1] = v >> 8;
	p[2] = v >> 16;
	p[3] = v >> 24;
}

static void put_le64(u8 *p, u64 v)
{
	put_le32(p, (u32)v);
	put_le32(p + 4, (u32)(v >> 32));
}

/* Where identity and checksum sit in a mark of @len bytes; 0 if unknown. */
static size_t id_offset(size_t len)
{
	if (len == ZT_HASH_MARK_SIZE)
		return ZT_HASH_OFF_ID;
	if (len == ZT_EXIST_MARK_SIZE)
		return ZT_EXIST_OFF_ID;
	return 0;
}

/* The kernel's little-endian CRC-32 started at all ones, not inverted. */
u32 zt_mark_crc(const u8 *buf, size_t len)
{
	return crc32_le(~0u, buf, len);
}

u32 zt_mark_key(u64 ino, s64 size)
{
	u32 key = (u32)((ino << 16) | ((u64)size & 0xffff));
	int shift;

	if (key & 0xff)
		return key;
	for (shift = 8; shift < 32; shift += 8) {
		if ((key >> shift) & 0xff)
			return key | ((key >> shift) & 0xff);
	}
	return key;
}

/* Bytes o..o+3 are XORed with k3^o, k2^o, k1^o, k0^o; its own inverse. */
void zt_mark_mask(u8 *buf, size_t len, u32 key)
{
	size_t o;
	int i;

	for (o = 0; o + 4 <= len; o += 4) {
		for (i = 0; i < 4; i++)
			buf[o + i] ^= (u8)(key >> (8 * (3 - i))) ^ (u8)o;
	}
}

s64 zt_mark_combined_time(s64 sec, s64 nsec)
{
	if (sec > ZT_MARK_SEC_LIMIT)
		return S64_MAX;
	if (sec < -ZT_MARK_SEC_LIMIT)
		return S64_MIN;
	/* Unsigned arithmetic: an out-of-range nsec wraps instead of UB. */
	return (s64)((u64)sec * 1000000000ULL + (u64)nsec);
}

void zt_mark_put_id(u8 *block, const struct zt_file_id *id)
{
	memset(block, 0, ZT_MARK_ID_SIZE);
	put_le32(block + ID_OFF_DEV, id->dev);
	put_le64(block + ID_OFF_INO, id->ino);
	put_le64(block + ID_OFF_SIZE, (u64)id->size);
	put_le64(block + ID_OFF_MSEC, (u64)id->mtime_sec);
	put_le64(block + ID_OFF_MNSEC, (u64)id->mtime_nsec);
}

int zt_mark_check_id(const u8 *block, const struct zt_file_id *id)
{
	if (!block || !id)
		return -EINVAL;
	if (get_le32(block + ID_OFF_DEV) != id->dev ||
	    get_le64(block + ID_OFF_INO) != id->ino ||
	    get_le64(block + ID_OFF_SIZE) != (u64)id->size ||
	    get_le64(block + ID_OFF_MSEC) != (u64)id->mtime_sec ||
	    get_le32(block + ID_OFF_MNSEC) != (u32)id->mtime_nsec)
		return -EINVAL;
	return 0;
}

/*
 * Completes a mark whose leading fields the caller filled: identity,
 * checksum, then the mask. The record is ready to be written as it is.
 */
int zt_mark_seal(u8 *rec, size_t len, const struct zt_file_id *id)
{
	size_t off = id_offset(len);

	if (!rec || !id || !off)
		return -EINVAL;
	zt_mark_put_id(rec + off, id);
	memset(rec + off + ZT_MARK_ID_SIZE, 0, 8);
	put_le32(rec + off + ZT_MARK_ID_SIZE, zt_mark_crc(rec, len));
	zt_mark_mask(rec, len, zt_mark_key(id->ino, id->size));
	return 0;
}

/*
 * Unmasks and validates a mark read back as @got bytes. Returns @len when
 * it is whole, intact and describes @id, else -EINVAL. On success the
 * checksum field is left zero.
 */
int zt_mark_open(u8 *rec, size_t len, ssize_t got,
		 const struct zt_file_id *id)
{
	size_t off = id_offset(len);
	u8 *crc_field;
	u32 crc;

	if (!rec || !id || !off || got < 0 || (size_t)got != len)
		return -EINVAL;
	zt_mark_mask(rec, len, zt_mark_key(id->ino, id->size));
	crc_field = rec + off + ZT_MARK_ID_SIZE;
	crc = get_le32(crc_field);
	put_le32(crc_field, 0);
	if (zt_mark_crc(rec, len) != crc)
		return -EINVAL;
	if (zt_mark_check_id(rec + off, id))
		return -EINVAL;
	return (int)len;
}

void zt_hash_mark_encode(u8 *rec, s64 sec, s64 nsec, const u8 *digest,
			 u32 len)
{
	if (len > ZT_MARK_DIGEST_MAX)
		len = ZT_MARK_DIGEST_MAX;
	memset(rec, 0, ZT_HASH_OFF_ID);
	put_le64(rec + ZT_HASH_OFF_SEC, (u64)sec);
	put_le64(rec + ZT_HASH_OFF_NSEC, (u64)nsec);
	put_le64(rec + ZT_HASH_OFF_COMBINED,
		 (u64)zt_mark_combined_time(sec, nsec));
	put_le32(rec + ZT_HASH_OFF_LEN, len);
	if (digest && len)
		memcpy(rec + ZT_HASH_OFF_DIGEST, digest, len);
}

void zt_hash_mark_decode(const u8 *rec, struct zt_hash_info *info)
{
	info->sec = (s64)get_le64(rec + ZT_HASH_OFF_SEC);
	info->nsec = (s64)get_le64(rec + ZT_HASH_OFF_NSEC);
	info->combined = (s64)get_le64(rec + ZT_HASH_OFF_COMBINED);
	info->stale = get_le32(rec + ZT_HASH_OFF_STALE);
	info->digest_len = get_le32(rec + ZT_HASH_OFF_LEN);
	memcpy(info->digest, rec + ZT_HASH_OFF_DIGEST, ZT_MARK_DIGEST_MAX);
}

/* For an unmasked record; the caller seals it again before writing. */
void zt_hash_mark_set_stale(u8 *rec, u32 stale)
{
	put_le32(rec + ZT_HASH_OFF_STALE, stale);
}

/*
 * A valid cached-hash mark is trusted only when it is not flagged stale,
 * holds a digest that fits its field, and was written strictly after the
 * file's last modification.
 */
int zt_hash_mark_trusted(const struct zt_hash_info *info,
			 const struct zt_file_id *id)
{
	if (info->stale)
		return 0;
	if (!info->digest_len || info->digest_len > ZT_MARK_DIGEST_MAX)
		return 0;
	if (info->sec != id->mtime_sec)
		return info->sec > id->mtime_sec;
	return info->nsec > id->mtime_nsec;
}

void zt_exist_mark_encode(u8 *rec, s64 sec, s64 nsec, u32 verdict)
{
	memset(rec, 0, ZT_EXIST_OFF_ID);
	put_le64(rec + ZT_EXIST_OFF_SEC, (u64)sec);
	put_le64(rec + ZT_EXIST_OFF_NSEC, (u64)nsec);
	put_le64(rec + ZT_EXIST_OFF_COMBINED,
		 (u64)zt_mark_combined_time(sec, nsec));
	put_le32(rec + ZT_EXIST_OFF_VERDICT, verdict);
}

void zt_exist_mark_decode(const u8 *rec, struct zt_exist_info *info)
{
	info->sec = (s64)get_le64(rec + ZT_EXIST_OFF_SEC);
	info->nsec = (s64)get_le64(rec + ZT_EXIST_OFF_NSEC);
	info->combined = (s64)get_le64(rec + ZT_EXIST_OFF_COMBINED);
	info->verdict = get_le32(rec + ZT_EXIST_OFF_VERDICT);
}

/* The verdict still holds only for exactly the store it was taken from. */
int zt_exist_mark_current(const struct zt_exist_info *info, s64 sec,
			  s64 nsec)
{
	return info->sec == sec && (u32)info->nsec == (u32)nsec;
}

bool zt_mark_name(const char *name)
{
	return name && (!strcmp(name, ZT_XATTR_HASH_NAME) ||
			!strcmp(name, ZT_XATTR_EXIST_NAME));
}

size_t zt_strip_mark_names(char *list, size_t len)
{
	char *end = list + len, *out = list, *p = list;
	size_t n;

	while (p < end && *p) {
		n = strnlen(p, end - p);
		if (n == (size_t)(end - p))
			break;	/* unterminated: not a name */
		if (!zt_mark_name(p)) {
			memmove(out, p, n + 1);
			out += n + 1;
		}
		p += n + 1;
	}
	return out - list;
}
