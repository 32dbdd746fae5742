#include <gtest/gtest.h>
#include <lzma.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bundle.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Xz(const std::string &data)
{
	Bytes out(lzma_stream_buffer_bound(data.size()));
	size_t n = 0;
	EXPECT_EQ(lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr,
					  (const uint8_t *)data.data(),
					  data.size(), out.data(), &n, out.size()),
		  LZMA_OK);
	out.resize(n);
	return out;
}

struct Blk {
	const char *platform;
	uint32_t code;
	std::vector<uint32_t> abi;
	uint32_t xz_size = 0; // nonzero: a crafted size field
};

// A daemon's bytes, then the blocks; the offset of each block's stream.
Bytes Bundle(const std::vector<Blk> &blocks, std::vector<size_t> *at = nullptr)
{
	Bytes f(100, 'D');
	for (const Blk &b : blocks) {
		std::string image = "image of " + std::to_string(f.size());
		Bytes xz = Xz(image);
		build_descriptor d{};
		strcpy(d.platform, b.platform);
		d.version_code = b.code;
		version_text(b.code, d.version);
		std::copy(b.abi.begin(), b.abi.end(), d.abi);
		d.image_size = image.size();
		uint32_t n = b.xz_size ? b.xz_size : xz.size();
		if (at)
			at->push_back(f.size());
		f.insert(f.end(), xz.begin(), xz.end());
		f.insert(f.end(), (uint8_t *)&d, (uint8_t *)(&d + 1));
		f.insert(f.end(), (uint8_t *)&n, (uint8_t *)(&n + 1));
	}
	return f;
}

constexpr uint32_t k66 = 0x06060000, k61 = 0x06010045;

TEST(Bundle, Select)
{
	const std::vector<Blk> two = { { "Kylin11", k66, { 40009 } },
				       { "Kylin11", k66, { 40010, 40011 } } };
	struct {
		const char *name;
		std::vector<Blk> blocks;
		uint32_t code, abi;
		int want; // block picked, or -1
		const char *list;
	} cases[] = {
		{ "abi in list", two, k66, 40009, 0, nullptr },
		{ "abi later in list", two, k66, 40011, 1, nullptr },
		{ "unknown abi takes last appended", two, k66, 0, 1, nullptr },
		{ "other version", two, k61, 40009, -1,
		  "6.6.0-40009 6.6.0-40010-40011 " },
		{ "abi 0 entries never match", { { "el8", k66, {} } }, k66, 7,
		  -1, "6.6.0 " },
		{ "nothing appended", {}, k66, 1, -1, "" },
		{ "bad prefix ends the walk",
		  { { "Rocky9", k61, { 5 } }, { "Fedora", k66, { 1 } } }, k61, 5,
		  -1, "" },
		{ "size reaching the file start ends the walk",
		  { { "Debian", k61, { 1 } }, { "Ubuntu", k66, { 2 }, 100000 } },
		  k61, 1, -1, "" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<size_t> at;
		Bytes f = Bundle(c.blocks, &at);
		running_system sys{ "X", "", c.code, c.abi };
		version_text(c.code, sys.version);
		bundle_pick pick;
		testing::internal::CaptureStderr();
		int found = bundle_select(f.data(), f.size(), sys, &pick);
		std::string err = testing::internal::GetCapturedStderr();
		ASSERT_EQ(found, c.want >= 0);
		if (found) {
			EXPECT_EQ(pick.xz - f.data(), (long)at[c.want]);
			EXPECT_EQ(err, "");
		} else {
			EXPECT_NE(err.find(std::string("only support ") + c.list +
					   ". Or abicode"),
				  std::string::npos)
				<< err;
		}
	}
}

TEST(Bundle, TruncatedFilesEndTheWalk)
{
	Bytes f = Bundle({ { "Ubuntu", k61, { 1 } } });
	running_system sys{ "Ubuntu", "6.1.69", k61, 1 };
	bundle_pick pick;
	for (size_t keep : { (size_t)0, (size_t)1, kTrailerSize, kTrailerSize + 1,
			     f.size() - 100 }) {
		Bytes tail(f.end() - keep, f.end());
		testing::internal::CaptureStderr();
		EXPECT_EQ(bundle_select(tail.data(), tail.size(), sys, &pick), 0);
		testing::internal::GetCapturedStderr();
	}
}

TEST(Bundle, Decompress)
{
	std::string data;
	for (int i = 0; i < 5000; i++)
		data += std::to_string(i * 7919 % 1000);
	Bytes xz = Xz(data), out(2 * data.size()), two = xz;
	two.insert(two.end(), xz.begin(), xz.end());
	auto with = [&](size_t off, uint8_t flip) {
		Bytes b = xz;
		b[off] ^= flip;
		return b;
	};
	struct {
		const char *name;
		Bytes in;
		size_t room;
		long want; // 1: short of the whole data
	} cases[] = {
		{ "exact room", xz, data.size(), (long)data.size() },
		{ "spare room", xz, data.size() + 10, (long)data.size() },
		{ "room short by one", xz, data.size() - 1, -2 },
		{ "not xz", Bytes(40, 'x'), data.size(), -4 },
		{ "corrupt", with(xz.size() / 2, 0x55), data.size(), -5 },
		{ "check mismatch", with(xz.size() - 28, 1), data.size(), -5 },
		{ "two streams", two, 2 * data.size(), 2 * (long)data.size() },
		// With exactly the room the data needs, a stream cut short
		// never passes for whole.
		{ "cut in the data", Bytes(xz.begin(), xz.end() - 100), data.size(),
		  1 },
		{ "cut after the data", Bytes(xz.begin(), xz.end() - 30),
		  data.size(), -6 },
		{ "empty", Bytes(), data.size(), 1 },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		testing::internal::CaptureStderr();
		long got = xz_decompress(c.in.data(), c.in.size(), out.data(),
					 c.room);
		testing::internal::GetCapturedStderr();
		if (c.want == 1)
			EXPECT_LT(got, (long)data.size());
		else
			EXPECT_EQ(got, c.want);
		if (got == (long)data.size()) {
			EXPECT_EQ(memcmp(out.data(), data.data(), got), 0);
		}
	}
}

TEST(Bundle, UnpackRefusesImplausibleSizes)
{
	Bytes f = Bundle({ { "Debian", k61, { 1 } } });
	bundle_pick pick;
	size_t pos = f.size();
	ASSERT_EQ(bundle_next(f.data(), &pos, &pick), 1);
	std::unique_ptr<uint8_t[]> image;
	ASSERT_EQ(bundle_unpack(pick, &image), 0);
	for (uint32_t size : { 0u, pick.desc.image_size + 1, kMaxImageSize + 1,
			       0xffffffffu }) {
		bundle_pick bad = pick;
		bad.desc.image_size = size;
		testing::internal::CaptureStderr();
		EXPECT_EQ(bundle_unpack(bad, &image), -1);
		EXPECT_NE(testing::internal::GetCapturedStderr().find(
				  "uncompress kernel module err, Debian 6.1.69"),
			  std::string::npos);
		EXPECT_FALSE(image);
	}
}

TEST(Bundle, Identify)
{
	const char *kylin = "NAME=\"Kylin Linux Advanced Server\"\n"
			    "VERSION_ID=\"V11\"\n";
	const char *debian = "PRETTY_NAME=\"Debian GNU/Linux 12\"\n"
			     "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n";
	struct {
		system_sources src;
		const char *platform, *version; // null platform: fails
		uint32_t abi;
	} cases[] = {
		{ { kylin, "", "6.6.0-40.9.v2601.ky11.x86_64", "#1 SMP", "" },
		  "Kylin11", "6.6.0", 40009 },
		{ { "NAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\n",
		    "Ubuntu 5.15.0-91.101-generic 5.15.131", "5.15.0-91-generic",
		    "#101-Ubuntu SMP", "" },
		  "Ubuntu", "5.15.131", 91 },
		{ { "NAME=Ubuntu\n", "", "5.15.0-91-generic", "#101-Ubuntu", "" },
		  "Ubuntu", "5.15.0", 91000 },
		{ { debian, "", "6.1.0-17-amd64",
		    "#1 SMP PREEMPT_DYNAMIC Debian 6.1.69-1 (2023-12-30)", "" },
		  "Debian", "6.1.69", 1 },
		{ { debian, "", "6.12.118+deb12-amd64",
		    "#1 SMP PREEMPT_DYNAMIC Debian 6.12.118-1~deb12u1 (2026-11-28)",
		    "" },
		  "Debian", "6.12.118", 1 },
		{ { "NAME=\"Rocky Linux\"\nVERSION_ID=\"V9.3\"", "", "odd", "",
		    "Linux version 4.18.0-513.el8.x86_64 (mockbuild)" },
		  "Rocky9", "4.18.0", 0 },
		{ { "NAME=\"ABCDEFGHIJKLMNOPQRSTUVWXYZ\"\n", "", "5.4.99999", "",
		    "" },
		  "ABCDEFGHIJKLMNO", "5.4.65535", 0 },
		{ { "NAME=\"\"\nVERSION_ID=\"V11\"\n", "", "6.6.0", "", "" },
		  nullptr, nullptr, 0 },
		{ { "ID=kylin\n", "", "6.6.0", "", "" }, nullptr, nullptr, 0 },
		{ { kylin, "", "0.0.0", "", "Linux version 6.6.0" }, nullptr, nullptr, 0 },
		{ { kylin, "", "", "", "" }, nullptr, nullptr, 0 },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.src.os_release + c.src.release);
		running_system sys;
		int rc = identify_system(c.src, &sys);
		ASSERT_EQ(rc, c.platform ? 0 : -1);
		if (!c.platform)
			continue;
		EXPECT_STREQ(sys.platform, c.platform);
		EXPECT_STREQ(sys.version, c.version);
		EXPECT_EQ(sys.abi, c.abi);
	}
}

TEST(Bundle, OsReleaseFallsBackToUsrLib)
{
	TempDir dir;
	const std::string &root = dir.path();
	system_sources src;
	EXPECT_EQ(read_system_sources(&src, root), -1);
	mkdir((root + "/usr").c_str(), 0700);
	mkdir((root + "/usr/lib").c_str(), 0700);
	std::ofstream(root + "/usr/lib/os-release") << "NAME=\"Rocky\"\n";
	ASSERT_EQ(read_system_sources(&src, root), 0);
	EXPECT_EQ(src.os_release, "NAME=\"Rocky\"\n");
}

TEST(Bundle, ModuleLoaded)
{
	TempDir dir;
	const std::string path = dir.path() + "/modules";
	struct {
		std::string text;
		int want;
	} cases[] = {
		{ "zentrope 12345 0 - Live 0xffffffffc0a00000\n", 1 },
		{ "ext4 1 0 - Live\nzentrope 2 0 - Live\n", 1 },
		{ "zentrope_extra 12345 0 - Live\n", 0 },
		{ "zentrop 1 0 - Live\n", 0 },
		{ std::string(2047, 'x') + "zentrope 1 0\n", 0 },
		{ "", 0 },
	};
	for (const auto &c : cases) {
		std::ofstream(path) << c.text;
		EXPECT_EQ(module_loaded("zentrope", path.c_str()), c.want)
			<< c.text.substr(0, 40);
	}
	EXPECT_EQ(module_loaded("zentrope", "/nonexistent/modules"), 0);
}

} // namespace
