// The mark decoder on arbitrary attribute values of 0 to 200 bytes, in
// heap buffers of exactly the size read, so any over-read is caught. A
// second mode seals the input as a mark's leading fields, flips one chosen
// bit, and requires the flip to be detected.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kshim.h"

extern "C" {
#include "mark_codec.h"
}

namespace {

const zt_file_id kIds[] = {
	{ 0x00800001, 0x123456789abcULL, 70000, 1700000000, 123456789 },
	{ 0x801, 3 * 65536ULL, 2 * 65536, 0, 0 }, // all-zero key
	{ 0xffffffffu, ~0ULL, -1, INT64_MIN, -1 },
};

void Check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

// As the kernel glue reads: a buffer of the mark's size, @got bytes read.
void OpenRaw(const uint8_t *data, size_t size, size_t len,
	     const zt_file_id &id)
{
	u8 *rec = static_cast<u8 *>(malloc(len));
	memset(rec, 0, len);
	memcpy(rec, data, size < len ? size : len);
	int rc = zt_mark_open(rec, len, (ssize_t)size, &id);
	Check(rc == -EINVAL || (rc == (int)len && size == len));
	if (rc == ZT_HASH_MARK_SIZE) {
		zt_hash_info hi;
		zt_hash_mark_decode(rec, &hi);
		zt_hash_mark_trusted(&hi, &id);
	} else if (rc == ZT_EXIST_MARK_SIZE) {
		zt_exist_info ei;
		zt_exist_mark_decode(rec, &ei);
		zt_exist_mark_current(&ei, ei.sec, ei.nsec);
	}
	free(rec);
}

// The input itself as the whole record, sized exactly.
void OpenExact(const uint8_t *data, size_t size, const zt_file_id &id)
{
	u8 *rec = static_cast<u8 *>(malloc(size ? size : 1));
	if (size)
		memcpy(rec, data, size);
	int rc = zt_mark_open(rec, size, (ssize_t)size, &id);
	Check(rc == -EINVAL || rc == (int)size);
	free(rec);
}

void SealFlipOpen(const uint8_t *data, size_t size, const zt_file_id &id)
{
	const size_t len = data[0] & 2 ? ZT_HASH_MARK_SIZE : ZT_EXIST_MARK_SIZE;
	const size_t flip = data[1] % (len * 8 + 1); // len * 8: no flip
	u8 *rec = static_cast<u8 *>(calloc(1, len));
	memcpy(rec, data + 2, size - 2 < len ? size - 2 : len);
	Check(zt_mark_seal(rec, len, &id) == 0);
	if (flip < len * 8)
		rec[flip / 8] ^= (u8)(1u << (flip % 8));
	int rc = zt_mark_open(rec, len, (ssize_t)len, &id);
	Check(flip < len * 8 ? rc == -EINVAL : rc == (int)len);
	free(rec);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > 200)
		size = 200;
	const zt_file_id &id = kIds[size % 3];

	OpenExact(data, size, id);
	OpenRaw(data, size, ZT_HASH_MARK_SIZE, id);
	OpenRaw(data, size, ZT_EXIST_MARK_SIZE, id);
	if (size >= 2)
		SealFlipOpen(data, size, id);
	return 0;
}
