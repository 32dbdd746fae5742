/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Byte layout of the two file marks kept in extended attributes: the
 * cached-hash mark and the verdict mark. Pure logic, no kernel objects, so
 * that it is shared by the kernel glue and the host tests.
 *
 * Both marks are fixed-size little-endian records that embed the identity
 * of the file they describe, carry a CRC-32 and are masked with a per-file
 * key. The layout is fixed: marks written by one build are read by another.
 */
#ifndef ZENTROPE_MARK_CODEC_H
#define ZENTROPE_MARK_CODEC_H

#include <linux/types.h>

#define ZT_XATTR_HASH_NAME "security.zentrope_xattr"
#define ZT_XATTR_EXIST_NAME "security.zentrope_exist"

#define ZT_MARK_ID_SIZE 40
#define ZT_MARK_DIGEST_MAX 64

/* Cached-hash mark: digest of the file content. */
#define ZT_HASH_MARK_SIZE 144
#define ZT_HASH_OFF_SEC 0
#define ZT_HASH_OFF_NSEC 8
#define ZT_HASH_OFF_COMBINED 16
#define ZT_HASH_OFF_STALE 24
#define ZT_HASH_OFF_LEN 28
#define ZT_HASH_OFF_DIGEST 32
#define ZT_HASH_OFF_ID 96
#define ZT_HASH_OFF_CRC 136

/* Verdict mark: whether that digest was in the block-hash store. */
#define ZT_EXIST_MARK_SIZE 80
#define ZT_EXIST_OFF_SEC 0
#define ZT_EXIST_OFF_NSEC 8
#define ZT_EXIST_OFF_COMBINED 16
#define ZT_EXIST_OFF_VERDICT 24
#define ZT_EXIST_OFF_ID 32
#define ZT_EXIST_OFF_CRC 72

/* Saturation bound of the combined nanosecond time, in seconds. */
#define ZT_MARK_SEC_LIMIT 9223372035LL

/* The file a mark belongs to, as the kernel glue reads it from the inode. */
struct zt_file_id {
	u32 dev;	/* super block device, kernel encoding */
	u64 ino;
	s64 size;
	s64 mtime_sec;
	s64 mtime_nsec;	/* compared in its low 32 bits */
};

/* Fields 0 to 95 of the cached-hash mark, decoded. */
struct zt_hash_info {
	s64 sec;
	s64 nsec;
	s64 combined;
	u32 stale;
	u32 digest_len;	/* as stored; may exceed ZT_MARK_DIGEST_MAX */
	u8 digest[ZT_MARK_DIGEST_MAX];
};

/* Fields 0 to 31 of the verdict mark, decoded. */
struct zt_exist_info {
	s64 sec;
	s64 nsec;
	s64 combined;
	u32 verdict;
};

u32 zt_mark_crc(const u8 *buf, size_t len);
u32 zt_mark_key(u64 ino, s64 size);
void zt_mark_mask(u8 *buf, size_t len, u32 key);
s64 zt_mark_combined_time(s64 sec, s64 nsec);

void zt_mark_put_id(u8 *block, const struct zt_file_id *id);
int zt_mark_check_id(const u8 *block, const struct zt_file_id *id);

int zt_mark_seal(u8 *rec, size_t len, const struct zt_file_id *id);
int zt_mark_open(u8 *rec, size_t len, ssize_t got,
		 const struct zt_file_id *id);

void zt_hash_mark_encode(u8 *rec, s64 sec, s64 nsec, const u8 *digest,
			 u32 len);
void zt_hash_mark_decode(const u8 *rec, struct zt_hash_info *info);
void zt_hash_mark_set_stale(u8 *rec, u32 stale);
int zt_hash_mark_trusted(const struct zt_hash_info *info,
			 const struct zt_file_id *id);

void zt_exist_mark_encode(u8 *rec, s64 sec, s64 nsec, u32 verdict);
void zt_exist_mark_decode(const u8 *rec, struct zt_exist_info *info);
int zt_exist_mark_current(const struct zt_exist_info *info, s64 sec,
			  s64 nsec);

/* Whether @name is one of the two marks user space must never see. */
bool zt_mark_name(const char *name);

/*
 * Drops the marks from an attribute list of @len bytes (zero-terminated
 * names) in place; the list ends at an empty or unterminated name.
 * Returns the length kept.
 */
size_t zt_strip_mark_names(char *list, size_t len);

#endif /* ZENTROPE_MARK_CODEC_H */
