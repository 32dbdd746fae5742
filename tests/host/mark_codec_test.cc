// The file marks: byte layout, key, mask, checksum, sealing and opening.
// The layout is checked against a record built here byte by byte from the
// documented offsets, so a codec change that moves a field fails.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kshim.h"

extern "C" {
#include "mark_codec.h"
}

namespace {

using Bytes = std::vector<u8>;

const zt_file_id kId = { 0x00800001, 0x123456789abcULL, 70000, 1700000000,
			 123456789 };

void PutLe(Bytes &b, size_t off, uint64_t v, int n)
{
	for (int i = 0; i < n; i++)
		b[off + i] = (u8)(v >> (8 * i));
}

uint64_t GetLe(const Bytes &b, size_t off, int n)
{
	uint64_t v = 0;
	for (int i = n - 1; i >= 0; i--)
		v = v << 8 | b[off + i];
	return v;
}

// The mask as documented: bytes o..o+3 ^= k3^o, k2^o, k1^o, k0^o.
void ReferenceMask(Bytes &b, u32 key)
{
	const u8 k[4] = { (u8)key, (u8)(key >> 8), (u8)(key >> 16),
			  (u8)(key >> 24) };
	for (size_t o = 0; o + 4 <= b.size(); o += 4)
		for (int i = 0; i < 4; i++)
			b[o + i] ^= k[3 - i] ^ (u8)o;
}

void ReferenceId(Bytes &b, size_t off, const zt_file_id &id)
{
	PutLe(b, off + 0, id.dev, 4);
	PutLe(b, off + 8, id.ino, 8);
	PutLe(b, off + 16, (uint64_t)id.size, 8);
	PutLe(b, off + 24, (uint64_t)id.mtime_sec, 8);
	PutLe(b, off + 32, (uint64_t)id.mtime_nsec, 8);
}

Bytes SealedHashMark(const zt_file_id &id, s64 sec = 1700000100,
		     s64 nsec = 42)
{
	Bytes rec(ZT_HASH_MARK_SIZE, 0xee);
	u8 digest[20];
	for (int i = 0; i < 20; i++)
		digest[i] = (u8)(0xa0 + i);
	zt_hash_mark_encode(rec.data(), sec, nsec, digest, sizeof(digest));
	EXPECT_EQ(zt_mark_seal(rec.data(), rec.size(), &id), 0);
	return rec;
}

Bytes SealedExistMark(const zt_file_id &id, u32 verdict = 1)
{
	Bytes rec(ZT_EXIST_MARK_SIZE, 0xee);
	zt_exist_mark_encode(rec.data(), 1700000200, 999999999, verdict);
	EXPECT_EQ(zt_mark_seal(rec.data(), rec.size(), &id), 0);
	return rec;
}

int Open(Bytes rec, const zt_file_id &id)
{
	return zt_mark_open(rec.data(), rec.size(), rec.size(), &id);
}

TEST(MarkCrc, IsTheKernelsLittleEndianCrc32FromAllOnes)
{
	const char *check = "123456789";
	// CRC-32/IEEE of the check string is 0xCBF43926 after the final
	// inversion, which these marks do not apply.
	EXPECT_EQ(crc32_le(~0u, (const u8 *)check, 9), ~0xCBF43926u);
	EXPECT_EQ(zt_mark_crc((const u8 *)check, 9), ~0xCBF43926u);
	EXPECT_EQ(zt_mark_crc((const u8 *)check, 0), ~0u);
}

TEST(MarkKey, InodeShiftedOverSizeWithLowestByteRule)
{
	struct Case {
		u64 ino;
		s64 size;
		u32 key;
	} cases[] = {
		{ 1, 1, 0x00010001 },
		{ 0x12345678, 0x9abc, 0x56789abc },
		{ 0x12345678, 0x1239abc, 0x56789abc }, // size: low 16 bits only
		{ 0xffffffff00005678ULL, 0x0042, 0x56780042 }, // truncated
		{ 1, 0x0100, 0x00010101 },	// byte 1 replaces byte 0
		{ 0x00ab, 0, 0x00ab00ab },	// byte 2, byte 1 being zero
		{ 0xcd00, 0, 0xcd0000cd },	// byte 3
		{ 0x0201, 0x0300, 0x02010303 },	// lowest non-zero byte wins
		{ 0x10000, 0x20000, 0 },	// all zero stays zero
		{ 7, -1, 0x0007ffff },
	};
	for (const auto &c : cases)
		EXPECT_EQ(zt_mark_key(c.ino, c.size), c.key)
			<< std::hex << "ino " << c.ino << " size " << c.size;
}

TEST(MarkMask, OffsetBytesAndInvolution)
{
	Bytes b(12, 0);
	zt_mark_mask(b.data(), b.size(), 0x11223344);
	const Bytes want = { 0x11, 0x22, 0x33, 0x44, 0x15, 0x26, 0x37, 0x40,
			     0x19, 0x2a, 0x3b, 0x4c };
	EXPECT_EQ(b, want);
	zt_mark_mask(b.data(), b.size(), 0x11223344);
	EXPECT_EQ(b, Bytes(12, 0));

	// A zero key masks with the offset bytes alone.
	Bytes z(ZT_HASH_MARK_SIZE, 0);
	zt_mark_mask(z.data(), z.size(), 0);
	for (size_t i = 0; i < z.size(); i++)
		ASSERT_EQ(z[i], (u8)(i & ~3u)) << i;
}

TEST(MarkTime, CombinedNanosecondsSaturate)
{
	struct Case {
		s64 sec, nsec, combined;
	} cases[] = {
		{ 0, 0, 0 },
		{ 1, 5, 1000000005 },
		{ -1, 0, -1000000000 },
		{ 9223372035, 999999999, 9223372035999999999LL },
		{ 9223372036, 0, INT64_MAX },
		{ INT64_MAX, 999999999, INT64_MAX },
		{ -9223372035, 0, -9223372035000000000LL },
		{ -9223372035, 999999999, -9223372034000000001LL },
		{ -9223372036, 0, INT64_MIN },
		{ INT64_MIN, 0, INT64_MIN },
	};
	for (const auto &c : cases)
		EXPECT_EQ(zt_mark_combined_time(c.sec, c.nsec), c.combined)
			<< c.sec << "." << c.nsec;
}

TEST(MarkLayout, HashMarkMatchesDocumentedOffsets)
{
	const s64 sec = 1700000100, nsec = 42;
	Bytes want(ZT_HASH_MARK_SIZE, 0);
	PutLe(want, 0, (uint64_t)sec, 8);
	PutLe(want, 8, (uint64_t)nsec, 8);
	PutLe(want, 16, (uint64_t)(sec * 1000000000LL + nsec), 8);
	PutLe(want, 24, 0, 4);
	PutLe(want, 28, 20, 4);
	for (int i = 0; i < 20; i++)
		want[32 + i] = (u8)(0xa0 + i);
	ReferenceId(want, 96, kId);
	PutLe(want, 136, crc32_le(~0u, want.data(), want.size()), 4);
	ReferenceMask(want, zt_mark_key(kId.ino, kId.size));

	EXPECT_EQ(SealedHashMark(kId, sec, nsec), want);
}

TEST(MarkLayout, VerdictMarkMatchesDocumentedOffsets)
{
	Bytes want(ZT_EXIST_MARK_SIZE, 0);
	PutLe(want, 0, 1700000200, 8);
	PutLe(want, 8, 999999999, 8);
	PutLe(want, 16, 1700000200999999999ULL, 8);
	PutLe(want, 24, 1, 4);
	ReferenceId(want, 32, kId);
	PutLe(want, 72, crc32_le(~0u, want.data(), want.size()), 4);
	ReferenceMask(want, zt_mark_key(kId.ino, kId.size));

	EXPECT_EQ(SealedExistMark(kId, 1), want);
}

TEST(MarkOpen, RoundTripsBothKinds)
{
	Bytes h = SealedHashMark(kId);
	ASSERT_EQ(zt_mark_open(h.data(), h.size(), h.size(), &kId),
		  ZT_HASH_MARK_SIZE);
	EXPECT_EQ(GetLe(h, ZT_HASH_OFF_CRC, 4), 0u);
	zt_hash_info hi;
	zt_hash_mark_decode(h.data(), &hi);
	EXPECT_EQ(hi.sec, 1700000100);
	EXPECT_EQ(hi.nsec, 42);
	EXPECT_EQ(hi.combined, 1700000100000000042LL);
	EXPECT_EQ(hi.stale, 0u);
	ASSERT_EQ(hi.digest_len, 20u);
	for (int i = 0; i < 20; i++)
		EXPECT_EQ(hi.digest[i], 0xa0 + i);
	for (int i = 20; i < ZT_MARK_DIGEST_MAX; i++)
		EXPECT_EQ(hi.digest[i], 0);

	Bytes e = SealedExistMark(kId, 0);
	ASSERT_EQ(zt_mark_open(e.data(), e.size(), e.size(), &kId),
		  ZT_EXIST_MARK_SIZE);
	zt_exist_info ei;
	zt_exist_mark_decode(e.data(), &ei);
	EXPECT_EQ(ei.sec, 1700000200);
	EXPECT_EQ(ei.nsec, 999999999);
	EXPECT_EQ(ei.verdict, 0u);
}

// A stale flag set on an opened mark survives a new seal.
TEST(MarkOpen, StaleFlagRewrite)
{
	Bytes h = SealedHashMark(kId);
	ASSERT_EQ(zt_mark_open(h.data(), h.size(), h.size(), &kId),
		  ZT_HASH_MARK_SIZE);
	zt_hash_mark_set_stale(h.data(), 1);
	ASSERT_EQ(zt_mark_seal(h.data(), h.size(), &kId), 0);
	ASSERT_EQ(zt_mark_open(h.data(), h.size(), h.size(), &kId),
		  ZT_HASH_MARK_SIZE);
	zt_hash_info hi;
	zt_hash_mark_decode(h.data(), &hi);
	EXPECT_EQ(hi.stale, 1u);
}

TEST(MarkOpen, EveryIdentityFieldMismatchIsRefused)
{
	struct Case {
		const char *what;
		void (*change)(zt_file_id &);
	} cases[] = {
		{ "dev", [](zt_file_id &i) { i.dev ^= 1; } },
		{ "dev major", [](zt_file_id &i) { i.dev += 1u << 20; } },
		{ "ino", [](zt_file_id &i) { i.ino += 1; } },
		{ "ino high bits", [](zt_file_id &i) { i.ino += 1ULL << 40; } },
		{ "size", [](zt_file_id &i) { i.size += 1; } },
		{ "size by 65536", [](zt_file_id &i) { i.size += 65536; } },
		{ "mtime sec", [](zt_file_id &i) { i.mtime_sec += 1; } },
		{ "mtime sec high", [](zt_file_id &i) { i.mtime_sec ^= 1LL << 40; } },
		{ "mtime nsec", [](zt_file_id &i) { i.mtime_nsec += 1; } },
	};
	for (const auto &c : cases) {
		zt_file_id other = kId;
		c.change(other);
		EXPECT_EQ(Open(SealedHashMark(kId), other), -EINVAL) << c.what;
		EXPECT_EQ(Open(SealedExistMark(kId), other), -EINVAL) << c.what;

		// The identity comparison alone catches it, too.
		Bytes block(ZT_MARK_ID_SIZE);
		zt_mark_put_id(block.data(), &kId);
		EXPECT_EQ(zt_mark_check_id(block.data(), &other), -EINVAL)
			<< c.what;
		EXPECT_EQ(zt_mark_check_id(block.data(), &kId), 0);
	}
}

TEST(MarkOpen, NanosecondsCompareInTheirLow32Bits)
{
	zt_file_id other = kId;
	other.mtime_nsec += 1LL << 32;
	Bytes block(ZT_MARK_ID_SIZE);
	zt_mark_put_id(block.data(), &kId);
	EXPECT_EQ(zt_mark_check_id(block.data(), &other), 0);
}

// Inode numbers 65536 apart share a key: the checksum still verifies and
// only the identity comparison tells the files apart.
TEST(MarkOpen, MarkCopiedToAnotherInode)
{
	zt_file_id same_key = kId;
	same_key.ino += 65536;
	ASSERT_EQ(zt_mark_key(same_key.ino, same_key.size),
		  zt_mark_key(kId.ino, kId.size));
	zt_file_id other_key = kId;
	other_key.ino = 99;

	for (const zt_file_id &to : { same_key, other_key }) {
		EXPECT_EQ(Open(SealedHashMark(kId), to), -EINVAL) << to.ino;
		EXPECT_EQ(Open(SealedExistMark(kId), to), -EINVAL) << to.ino;
	}
}

TEST(MarkOpen, AnyFlippedBitIsRefused)
{
	for (const Bytes &sealed : { SealedHashMark(kId), SealedExistMark(kId) }) {
		for (size_t i = 0; i < sealed.size(); i++) {
			for (int bit = 0; bit < 8; bit += 3) {
				Bytes t = sealed;
				t[i] ^= (u8)(1u << bit);
				ASSERT_EQ(Open(t, kId), -EINVAL)
					<< "len " << sealed.size() << " byte " << i;
			}
		}
	}
}

TEST(MarkOpen, AllZeroKey)
{
	const zt_file_id id = { 0x801, 3 * 65536ULL, 2 * 65536, 1, 2 };
	ASSERT_EQ(zt_mark_key(id.ino, id.size), 0u);

	// Masked by the offset bytes alone, and still self-consistent.
	const Bytes sealed = SealedHashMark(id);
	Bytes plain = sealed;
	ReferenceMask(plain, 0);
	EXPECT_EQ(GetLe(plain, ZT_HASH_OFF_ID, 4), id.dev);
	EXPECT_EQ(GetLe(plain, ZT_HASH_OFF_ID + 8, 8), id.ino);
	EXPECT_EQ(GetLe(plain, ZT_HASH_OFF_ID + 16, 8), (uint64_t)id.size);
	const uint64_t crc = GetLe(plain, ZT_HASH_OFF_CRC, 4);
	PutLe(plain, ZT_HASH_OFF_CRC, 0, 4);
	EXPECT_EQ(crc32_le(~0u, plain.data(), plain.size()), crc);
	EXPECT_NE(sealed, plain);

	EXPECT_EQ(Open(sealed, id), ZT_HASH_MARK_SIZE);
	EXPECT_EQ(Open(SealedExistMark(id), id), ZT_EXIST_MARK_SIZE);
}

TEST(MarkOpen, OnlyTheExactSizeIsAccepted)
{
	const Bytes h = SealedHashMark(kId), e = SealedExistMark(kId);
	for (ssize_t got = -ENODATA; got <= 200; got++) {
		Bytes t = h;
		int want = got == ZT_HASH_MARK_SIZE ? ZT_HASH_MARK_SIZE : -EINVAL;
		EXPECT_EQ(zt_mark_open(t.data(), t.size(), got, &kId), want) << got;
		t = e;
		want = got == ZT_EXIST_MARK_SIZE ? ZT_EXIST_MARK_SIZE : -EINVAL;
		EXPECT_EQ(zt_mark_open(t.data(), t.size(), got, &kId), want) << got;
	}
	// Records of any other length are neither sealed nor opened.
	for (size_t len : { 0, 4, 79, 81, 143, 145, 200 }) {
		Bytes t(len + 1, 0);
		EXPECT_EQ(zt_mark_seal(t.data(), len, &kId), -EINVAL) << len;
		EXPECT_EQ(zt_mark_open(t.data(), len, len, &kId), -EINVAL) << len;
	}
	EXPECT_EQ(zt_mark_seal(nullptr, ZT_HASH_MARK_SIZE, &kId), -EINVAL);
	EXPECT_EQ(zt_mark_open(nullptr, ZT_HASH_MARK_SIZE, 144, &kId), -EINVAL);
	EXPECT_EQ(zt_mark_check_id(nullptr, &kId), -EINVAL);
}

TEST(MarkEncode, DigestLongerThanItsFieldIsCut)
{
	u8 digest[100];
	memset(digest, 0x5a, sizeof(digest));
	Bytes rec(ZT_HASH_MARK_SIZE, 0xee);
	zt_hash_mark_encode(rec.data(), 1, 2, digest, sizeof(digest));
	zt_hash_info hi;
	zt_hash_mark_decode(rec.data(), &hi);
	EXPECT_EQ(hi.digest_len, (u32)ZT_MARK_DIGEST_MAX);
	// The identity block behind the digest field is untouched.
	EXPECT_EQ(rec[ZT_HASH_OFF_ID], 0xee);
}

TEST(MarkTrust, CachedHashRule)
{
	const zt_file_id id = { 1, 2, 3, 1000, 500 };
	struct Case {
		const char *what;
		s64 sec, nsec;
		u32 stale, len;
		bool trusted;
	} cases[] = {
		{ "later second", 1001, 0, 0, 20, true },
		{ "same second, later nsec", 1000, 501, 0, 20, true },
		{ "equal to the nanosecond", 1000, 500, 0, 20, false },
		{ "earlier nsec", 1000, 499, 0, 20, false },
		{ "earlier second, larger nsec", 999, 999999999, 0, 20, false },
		{ "stale", 2000, 0, 1, 20, false },
		{ "stale any value", 2000, 0, 0x100, 20, false },
		{ "no digest", 2000, 0, 0, 0, false },
		{ "full field", 2000, 0, 0, ZT_MARK_DIGEST_MAX, true },
		{ "longer than its field", 2000, 0, 0, ZT_MARK_DIGEST_MAX + 1, false },
		{ "huge length", 2000, 0, 0, 0xffffffffu, false },
	};
	for (const auto &c : cases) {
		zt_hash_info hi = {};
		hi.sec = c.sec;
		hi.nsec = c.nsec;
		hi.stale = c.stale;
		hi.digest_len = c.len;
		EXPECT_EQ(zt_hash_mark_trusted(&hi, &id), c.trusted) << c.what;
	}
}

TEST(MarkTrust, VerdictNeedsTheExactStoreTime)
{
	zt_exist_info ei = {};
	ei.sec = 1700000000;
	ei.nsec = 7;
	EXPECT_TRUE(zt_exist_mark_current(&ei, 1700000000, 7));
	EXPECT_TRUE(zt_exist_mark_current(&ei, 1700000000, 7 + (1LL << 32)));
	EXPECT_FALSE(zt_exist_mark_current(&ei, 1700000000, 8));
	EXPECT_FALSE(zt_exist_mark_current(&ei, 1700000001, 7));
	EXPECT_FALSE(zt_exist_mark_current(&ei, 1700000000 + (1LL << 32), 7));
}

TEST(MarkNames, StrippedFromAttributeLists)
{
	const std::string h = "security.zentrope_xattr", e = "security.zentrope_exist";
	const std::string z(1, '\0');
	struct {
		std::string in, out;
	} rows[] = {
		{ "", "" },
		{ "user.a" + z, "user.a" + z },
		{ h + z + "user.a" + z + e + z, "user.a" + z },
		{ h + z + e + z, "" },
		{ "user.a" + z + h + z + "user.b" + z, "user.a" + z + "user.b" + z },
		{ h + "x" + z + "security.zentrope" + z, h + "x" + z + "security.zentrope" + z },
		// The list ends at an empty or an unterminated name.
		{ "user.a" + z + z + "user.b" + z, "user.a" + z },
		{ "user.a" + z + "user.b", "user.a" + z },
	};
	for (const auto &r : rows) {
		std::string buf = r.in;
		size_t n = zt_strip_mark_names(&buf[0], buf.size());
		EXPECT_EQ(buf.substr(0, n), r.out) << r.in.size() << " bytes in";
	}
	EXPECT_FALSE(zt_mark_name(nullptr));
}

} // namespace
