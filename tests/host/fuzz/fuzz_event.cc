// An arbitrary blob as a block event (a record read from anywhere): the
// log line stays within its buffer and every field within its bound, and
// the fillers never read past what they are given. Every buffer is an
// exact-size heap copy so that ASan sees any over-read.
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "../kmod.h"

extern "C" {
#include "event_fmt.h"
}

namespace {

// Longest possible line: the longest format text plus every field at its
// bound and the widest numbers.
constexpr size_t kMaxLine = 80 + 11 + 48 + 5 + ZT_COMM_SIZE + ZT_PROG_SIZE +
			    ZT_HASH_SIZE + ZT_URL_SIZE;

bool Prints(const block_event &ev, int quiet)
{
	if (quiet || ev.kind >= ZT_KIND_COUNT)
		return false;
	if (ev.type == ZT_TYPE_PROG || ev.type == ZT_TYPE_HASH)
		return true;
	return ev.kind != 0 && ev.kind != 5 && ev.kind != 6;
}

void CheckLine(const block_event *ev, int size, int quiet)
{
	std::unique_ptr<char[]> buf(new char[size]);
	int n = event_log_line(buf.get(), size, ev, quiet);
	if (n < 0 || n >= size || buf[n] != '\0' || strlen(buf.get()) != size_t(n))
		__builtin_trap();
	if (size_t(n) > kMaxLine)
		__builtin_trap();
	if (size >= int(kMaxLine) + 1 && (n > 0) != Prints(*ev, quiet))
		__builtin_trap();
	if (n > 0 && size >= int(kMaxLine) + 1 &&
	    (strncmp(buf.get(), "zentrope: printk_event Blocking ", 32) ||
	     buf[n - 1] != '\n'))
		__builtin_trap();
}

// A NUL-terminated exact-size copy of up to @max bytes of @data.
std::unique_ptr<char[]> Text(const uint8_t *data, size_t size, size_t max)
{
	size_t n = size < max ? size : max;
	std::unique_ptr<char[]> s(new char[n + 1]);
	memcpy(s.get(), data, n);
	s[n] = '\0';
	return s;
}

void Fillers(const uint8_t *data, size_t size)
{
	if (size < 2)
		return;
	const uint8_t sel = data[0];
	data++;
	size--;
	auto ev = std::make_unique<block_event>();

	// Strings longer than their field, digests exactly their length.
	auto path = Text(data, size, 5000);
	auto name = Text(data + size / 2, size - size / 2, 300);
	int dlen = sel % 40 - 4;
	std::unique_ptr<u8[]> digest(new u8[dlen > 0 ? dlen : 1]);
	memcpy(digest.get(), data, std::min<size_t>(size, dlen > 0 ? dlen : 1));

	event_fill_hash_block(ev.get(), (sel & 1) ? path.get() : nullptr,
			      digest.get(), dlen);
	if (strnlen(ev->hash, ZT_HASH_SIZE) != size_t(dlen > 0 ? 2 * std::min(dlen, 20) : 0))
		__builtin_trap();
	if (ev->prog[ZT_PROG_SIZE - 1] != '\0')
		__builtin_trap();

	std::unique_ptr<u8[]> sha(new u8[SHA1_DIGEST_LEN]());
	memcpy(sha.get(), data, std::min<size_t>(size, SHA1_DIGEST_LEN));
	event_identity id{ (sel & 2) ? sha.get() : nullptr, sel & 4,
			   (sel & 8) ? name.get() : nullptr,
			   (sel & 16) ? path.get() : nullptr,
			   (sel & 32) ? name.get() : nullptr };
	ev = std::make_unique<block_event>();
	event_set_identity(ev.get(), &id);
	if (ev->prog[ZT_PROG_SIZE - 1] != '\0' || ev->hash[ZT_HASH_SIZE - 1] != '\0')
		__builtin_trap();
	if ((ev->hash[0] != '\0') == (ev->prog[0] != '\0') && ev->hash[0])
		__builtin_trap();

	// The payload copy reads exactly @len bytes of its source.
	int len = int((sel * 37u + size) % (BLOCK_EVENT_SIZE + 64)) - 32;
	std::unique_ptr<uint8_t[]> src(new uint8_t[len > 0 ? len : 1]);
	memset(src.get(), sel, len > 0 ? len : 1);
	auto p = std::make_unique<event_payload>();
	int r = event_payload_fill(p.get(), 1, 2, 3, 4,
				   reinterpret_cast<block_event *>(src.get()), len);
	if (r != (len >= 0 && len <= BLOCK_EVENT_SIZE ? len : -EINVAL))
		__builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > 5000)
		return 0;
	// The blob lays out the record; what it does not cover stays zero.
	auto ev = std::make_unique<block_event>();
	memcpy(ev.get(), data, std::min(size, sizeof(block_event)));
	// Reserved bytes and padding are never read.
	ASAN_POISON_MEMORY_REGION(ev->reserved, sizeof(ev->reserved));
	ASAN_POISON_MEMORY_REGION(ev->padding, sizeof(ev->padding));

	int size_sel = size ? data[size - 1] : 0;
	CheckLine(ev.get(), kMaxLine + 1, 0);
	CheckLine(ev.get(), kMaxLine + 1, 1);
	CheckLine(ev.get(), 1 + size_sel * 5, 0);
	CheckLine(ev.get(), EVENT_LINE_MAX, 0);

	ASAN_UNPOISON_MEMORY_REGION(ev->reserved, sizeof(ev->reserved));
	ASAN_UNPOISON_MEMORY_REGION(ev->padding, sizeof(ev->padding));
	Fillers(data, size);
	return 0;
}
