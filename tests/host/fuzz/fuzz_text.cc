// The text helpers on arbitrary input: encoders never write past their
// bound, decoders never read past their input, conversions round-trip.
#include <cstdint>
#include <cstring>
#include <string>

#include "../kmod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const uint8_t sel = data[0];
	const char *in = reinterpret_cast<const char *>(data + 1);
	size_t len = size - 1;

	// translate_url into an exact-size heap buffer: overruns are caught.
	if (len >= 1 && len <= 256) {
		std::string name(in, len);
		int limit = 1 + sel % 255;
		char *out = static_cast<char *>(calloc(1, limit + 1));
		if (translate_url(out, limit, name.data(), len) == 0) {
			char *text = static_cast<char *>(calloc(1, 257));
			size_t enc = strnlen(out, limit + 1);
			if (recover_url(text, 256, out, enc) != 0)
				__builtin_trap();
			free(text);
		}
		free(out);
	}

	// recover_url on raw bytes sized exactly.
	if (len >= 1 && len <= 256) {
		char *enc = static_cast<char *>(malloc(len));
		memcpy(enc, in, len);
		int limit = 1 + sel % 255;
		char *out = static_cast<char *>(calloc(1, limit + 1));
		recover_url(out, limit, enc, len);
		free(out);
		free(enc);
	}

	if (len >= 16) {
		char v6[48], v4[16];
		if (inet_ntop6(data + 1, v6, 1 + sel % 48)) {
			u8 back[16];
			const char *end;
			if (!in6_pton(v6, -1, back, -1, &end) ||
			    memcmp(back, data + 1, 16))
				__builtin_trap();
		}
		if (inet_ntop4(data + 1, v4, 1 + sel % 16)) {
			u8 back[4];
			if (!in4_pton(v4, -1, back, -1, nullptr) ||
			    memcmp(back, data + 1, 4))
				__builtin_trap();
		}
	}

	// Digest conversions, exact-size buffers.
	int hsize = 1 + sel % 64;
	char *hex = static_cast<char *>(malloc(hsize));
	int n = translate_hash_hex(hex, hsize, data + 1, len);
	if (n >= hsize || hex[n] != '\0')
		__builtin_trap();
	u8 *bin = static_cast<u8 *>(malloc(hsize));
	int m = translate_hash_bin(bin, hsize, hex, n);
	if (n > 0 && (m != n / 2 || memcmp(bin, data + 1, m)))
		__builtin_trap();
	translate_hash_bin(bin, hsize, in, len);
	free(bin);
	free(hex);

	buf_is_zero(data + 1, len);
	return 0;
}
