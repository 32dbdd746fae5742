// The DNS question walk on arbitrary bytes: every name handed over must be
// NUL-terminated within the buffer and come from inside the message.
#include <cstdint>
#include <cstring>

#include "kshim.h"

extern "C" {
#include "dns.h"
}

namespace {

struct Bounds {
	size_t len;
	int calls;
};

int Check(const char *name, void *arg)
{
	auto *b = static_cast<Bounds *>(arg);
	if (strnlen(name, URL_BUF_SIZE) >= URL_BUF_SIZE || strlen(name) > b->len)
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
	size_t len = size - DNS_HDR_LEN;
	auto *body = new u8[len ? len : 1];
	memcpy(body, data + DNS_HDR_LEN, len);
	Bounds b{ len, 0 };
	char name[URL_BUF_SIZE];
	dns_find_question(body, len, count, name, Check, &b);
	if (b.calls > count)
		__builtin_trap();
	delete[] body;
	return 0;
}
