#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kmod.h"

namespace {

std::string Ntop6(std::vector<uint16_t> groups, int size = 48)
{
	u8 addr[16];
	for (int i = 0; i < 8; i++) {
		addr[2 * i] = groups[i] >> 8;
		addr[2 * i + 1] = groups[i] & 0xff;
	}
	char out[64];
	memset(out, 'X', sizeof(out));
	if (!inet_ntop6(addr, out, size))
		return "(null)";
	return out;
}

TEST(InetNtop6, Compression)
{
	struct Case {
		std::vector<uint16_t> groups;
		const char *text;
	} cases[] = {
		{ { 0, 0, 0, 0, 0, 0, 0, 0 }, "::" },
		{ { 0, 0, 0, 0, 0, 0, 0, 1 }, "::1" },
		{ { 0x2001, 0xdb8, 0, 0, 1, 0, 0, 1 }, "2001:db8::1:0:0:1" },
		{ { 1, 0, 2, 3, 4, 5, 6, 7 }, "1:0:2:3:4:5:6:7" },
		{ { 1, 2, 3, 4, 5, 6, 7, 0 }, "1:2:3:4:5:6:7:0" },
		{ { 1, 2, 3, 4, 5, 6, 0, 0 }, "1:2:3:4:5:6::" },
		{ { 1, 0, 0, 2, 0, 0, 0, 3 }, "1:0:0:2::3" },
		{ { 0, 0, 0, 0, 0, 0xffff, 0x0a01, 0x0203 }, "::ffff:10.1.2.3" },
		{ { 0, 0, 0, 0, 0, 0, 0x0a01, 0x0203 }, "::10.1.2.3" },
		{ { 0, 0, 0, 0, 0, 0xfffe, 0x0a01, 0x0203 }, "::fffe:a01:203" },
		{ { 0xfe80, 0, 0, 0, 0, 0, 0, 0xabcd }, "fe80::abcd" },
		{ { 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff },
		  "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff" },
	};
	for (const auto &c : cases)
		EXPECT_EQ(Ntop6(c.groups), c.text);
}

TEST(InetNtop6, DestinationTooSmall)
{
	std::vector<uint16_t> loop{ 0, 0, 0, 0, 0, 0, 0, 1 };
	EXPECT_EQ(Ntop6(loop, 4), "::1");
	EXPECT_EQ(Ntop6(loop, 3), "(null)");
	std::vector<uint16_t> full(8, 0xffff);
	EXPECT_EQ(Ntop6(full, 39), "(null)");
	EXPECT_NE(Ntop6(full, 40), "(null)");
}

TEST(InetNtop4, FitsOrRefuses)
{
	u8 a[4] = { 255, 255, 255, 255 };
	char out[16];
	ASSERT_NE(inet_ntop4(a, out, 16), nullptr);
	EXPECT_STREQ(out, "255.255.255.255");
	strcpy(out, "untouched");
	EXPECT_EQ(inet_ntop4(a, out, 15), nullptr);
	EXPECT_STREQ(out, "untouched");
	u8 z[4] = { 0, 0, 0, 0 };
	ASSERT_NE(inet_ntop4(z, out, 8), nullptr);
	EXPECT_STREQ(out, "0.0.0.0");
}

// Encodes @name with the control layer's limit; "" on failure.
int Encode(const std::string &name, std::string *enc, int limit = 255)
{
	char out[URL_BUF_SIZE + 8];
	memset(out, 0, sizeof(out));
	std::string copy = name;
	int ret = translate_url(out, limit, copy.data(), copy.size());
	*enc = std::string(out, strnlen(out, sizeof(out)));
	// Nothing may be written past the limit.
	for (size_t i = limit; i < sizeof(out); i++)
		EXPECT_EQ(out[i], 0) << "byte " << i << " written past limit";
	return ret;
}

std::string Label(size_t n, char c = 'a')
{
	return std::string(n, c);
}

TEST(TranslateUrl, Encodes)
{
	std::string enc;
	ASSERT_EQ(Encode("ab.cde", &enc), 0);
	EXPECT_EQ(enc, std::string("\2ab\3cde"));
	std::string enc2;
	ASSERT_EQ(Encode(".ab..cde.", &enc2), 0);
	EXPECT_EQ(enc2, enc);
	ASSERT_EQ(Encode("Example.COM", &enc), 0);
	EXPECT_EQ(enc, std::string("\7Example\3COM"));
}

TEST(TranslateUrl, Bounds)
{
	std::string enc;
	// No dots: 1 + 256 bytes, must be refused without overrunning.
	EXPECT_EQ(Encode(Label(256), &enc), -EINVAL);
	EXPECT_EQ(Encode(Label(255), &enc), -EINVAL);
	EXPECT_EQ(Encode(Label(254), &enc), 0);
	// Two 127-character labels encode to 256 bytes.
	EXPECT_EQ(Encode(Label(127) + "." + Label(127), &enc), -EINVAL);
	// Exactly 255 encoded bytes: 127 + 1 + 126 + 1.
	EXPECT_EQ(Encode(Label(126) + "." + Label(126), &enc), 0);
	EXPECT_EQ(enc.size(), 254u);
	EXPECT_EQ(Encode(Label(127) + "." + Label(126), &enc), 0);
	EXPECT_EQ(enc.size(), 255u);
	// Full output with labels left over is refused, not cut.
	EXPECT_EQ(Encode(Label(127) + "." + Label(126) + ".x", &enc), -EINVAL);
	// A label too long for its length byte, with a roomy limit.
	char big[600] = {};
	std::string name = Label(256);
	EXPECT_EQ(translate_url(big, 590, name.data(), name.size()), -EINVAL);
}

TEST(TranslateUrl, Refusals)
{
	std::string enc;
	EXPECT_EQ(Encode("...", &enc), -EINVAL);
	EXPECT_EQ(Encode(".", &enc), -EINVAL);
	EXPECT_EQ(Encode("a.", &enc), 0);
	EXPECT_EQ(enc, "\1a");
	char out[8] = {};
	char name[] = "a";
	EXPECT_EQ(translate_url(nullptr, 5, name, 1), -EINVAL);
	EXPECT_EQ(translate_url(out, 5, nullptr, 1), -EINVAL);
	EXPECT_EQ(translate_url(out, 0, name, 1), -EINVAL);
	EXPECT_EQ(translate_url(out, 5, name, 0), -EINVAL);
	EXPECT_EQ(translate_url(out, 5, name, 257), -EINVAL);
}

std::string Decode(const std::string &enc, int limit = 255, int *ret = nullptr)
{
	char in[URL_BUF_SIZE] = {};
	memcpy(in, enc.data(), std::min(enc.size(), sizeof(in)));
	char out[URL_BUF_SIZE + 8] = {};
	int r = recover_url(out, limit, in, URL_BUF_SIZE);
	if (ret)
		*ret = r;
	return r ? "(err)" : out;
}

TEST(RecoverUrl, RoundTrip)
{
	for (const char *name : { "ab.cde", "a", "www.example.com", "x.y.z" }) {
		std::string enc;
		ASSERT_EQ(Encode(name, &enc), 0);
		EXPECT_EQ(Decode(enc), name);
	}
}

TEST(RecoverUrl, Edges)
{
	int ret;
	EXPECT_EQ(Decode(std::string(), 255, &ret), "(err)");
	EXPECT_EQ(ret, -EINVAL);
	// 255 encoded bytes into a limit of 255 keeps a final dot.
	std::string enc;
	ASSERT_EQ(Encode(Label(127) + "." + Label(126), &enc), 0);
	std::string text = Decode(enc);
	EXPECT_EQ(text, Label(127) + "." + Label(126) + ".");
	// A label running past the limit is refused.
	EXPECT_EQ(Decode(std::string("\5abcde"), 4, &ret), "(err)");
	EXPECT_EQ(Decode(std::string("\5abcde"), 5), "abcde");
}

TEST(RecoverUrl, NeverReadsPastInput)
{
	// A length byte promising more than the input holds.
	const char enc[3] = { 10, 'a', 'b' };
	char out[URL_BUF_SIZE] = {};
	EXPECT_EQ(recover_url(out, 255, enc, sizeof(enc)), -EINVAL);
}

TEST(BufIsZero, Cases)
{
	u8 d[20] = {};
	EXPECT_EQ(buf_is_zero(nullptr, 20), 1);
	EXPECT_EQ(buf_is_zero(d, 0), 1);
	EXPECT_EQ(buf_is_zero(d, -3), 1);
	EXPECT_EQ(buf_is_zero(d, 20), 1);
	d[19] = 1;
	EXPECT_EQ(buf_is_zero(d, 20), 0);
	EXPECT_EQ(buf_is_zero(d, 19), 1);
}

TEST(HashHex, RoundTrip)
{
	u8 d[20];
	for (int i = 0; i < 20; i++)
		d[i] = i * 13 + 7;
	char hex[41];
	ASSERT_EQ(translate_hash_hex(hex, sizeof(hex), d, 20), 40);
	EXPECT_EQ(strlen(hex), 40u);
	for (char c : std::string(hex))
		EXPECT_TRUE(isdigit(c) || (c >= 'a' && c <= 'f')) << c;
	u8 back[64];
	ASSERT_EQ(translate_hash_bin(back, sizeof(back), hex, 40), 20);
	EXPECT_EQ(memcmp(back, d, 20), 0);
}

TEST(HashHex, TerminatorStaysInside)
{
	u8 d[20] = { 0xab, 0xcd, 0xef };
	char buf[8];
	memset(buf, 'X', sizeof(buf));
	// 7 bytes: room for 3 bytes of digits and the terminator.
	EXPECT_EQ(translate_hash_hex(buf, 7, d, 20), 6);
	EXPECT_STREQ(buf, "abcdef");
	EXPECT_EQ(buf[7], 'X');
	EXPECT_EQ(translate_hash_hex(buf, 1, d, 20), 0);
	EXPECT_EQ(buf[0], '\0');
}

TEST(HashBin, RefusesNonHex)
{
	u8 out[64] = {};
	std::string good(40, 'a');
	EXPECT_EQ(translate_hash_bin(out, 64, good.c_str(), 40), 20);
	for (size_t pos : { 0, 1, 20, 39 }) {
		std::string bad = good;
		bad[pos] = 'g';
		EXPECT_EQ(translate_hash_bin(out, 64, bad.c_str(), 40), -EINVAL)
			<< "position " << pos;
	}
	EXPECT_EQ(translate_hash_bin(out, 64, "AbCd", 4), 2);
	EXPECT_EQ(out[0], 0xab);
	EXPECT_EQ(out[1], 0xcd);
	EXPECT_EQ(translate_hash_bin(out, 1, "abcd", 4), 1);
	EXPECT_EQ(translate_hash_bin(out, 64, "a", 1), 0);
}

} // namespace
