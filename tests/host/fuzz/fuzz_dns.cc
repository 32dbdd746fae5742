// The DNS question walk on arbitrary bytes: every name handed over must be
// NUL-terminated within the buffer, and no more names than the bound;
// pointers must not make it loop.
#include <cstdint>
#include <cstring>

#include "kshim.h"

extern "C" {
#include "dns.h"
}

namespace {

struct Bounds {
	int calls;
};

int Check(const char *name, void *arg)
{
	auto *b = static_cast<Bounds *>(arg);
	if (strnlen(name, URL_BUF_SIZE) >= URL_BUF_SIZE)
		__builtin_trap();
	b->calls++;
	return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < DNS_HDR_LEN)
		return 0;
	int count = dns_query_count(data);
	if (count < 0)
		return 0;
	// An exact-size copy, so ASan sees any read past the message.
	auto *msg = new u8[size];
	memcpy(msg, data, size);
	Bounds b{ 0 };
	char name[URL_BUF_SIZE];
	dns_find_question(msg, size, count, name, Check, &b);
	if (b.calls > count || b.calls > DNS_MAX_QUESTIONS)
		__builtin_trap();
	delete[] msg;
	return 0;
}
