// zt_bundle: appends module builds to the daemon executable in the form the
// daemon's bundle walk reads back (bundle.h), and lists a bundle.
#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bundle.h"

namespace {

// Decoder memory is about the dictionary size and the daemon allows 32 MiB;
// a dictionary beyond the image itself gains nothing.
constexpr uint32_t kMaxDict = 16u << 20;

struct module_arg {
	std::string ko, kernel_build, kernel_version, abi, platform;
};

struct options {
	std::string out, daemon, list;
	std::vector<module_arg> modules;
};

struct block {
	build_descriptor desc;
	std::vector<uint8_t> image, xz;
};

const char kUsage[] =
	"usage: zt_bundle -o OUT DAEMON [--module KO (--kernel-build DIR |\n"
	"                 --kernel-version X.Y.Z --abi LIST) [--platform NAME]]...\n"
	"       zt_bundle --list FILE\n"
	"LIST: comma-separated ABI codes or ranges A-B, at most 200 codes.\n"
	"NAME: begins with el, Ubuntu, Debian, Rocky or Kylin; at most 31 chars.\n";

[[noreturn]] void usage(const char *why)
{
	if (why)
		fprintf(stderr, "zt_bundle: %s\n", why);
	fputs(kUsage, stderr);
	exit(2);
}

__attribute__((format(printf, 1, 2))) int fail(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fputs("zt_bundle: ", stderr);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
	va_end(ap);
	return -1;
}

// quiet: a missing file is no error worth a message.
int read_file(const std::string &path, std::vector<uint8_t> *out,
	      bool quiet = false)
{
	FILE *f = fopen(path.c_str(), "rbe");
	if (!f)
		return quiet && errno == ENOENT
			       ? -1
			       : fail("%s: %s", path.c_str(), strerror(errno));
	out->clear();
	uint8_t buf[65536];
	size_t n;
	while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
		out->insert(out->end(), buf, buf + n);
	bool bad = ferror(f);
	fclose(f);
	return bad ? fail("%s: read error", path.c_str()) : 0;
}

// Whole-string unsigned number, no sign, no overflow.
bool parse_u32(const std::string &s, uint32_t *v)
{
	if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") !=
						  std::string::npos)
		return false;
	unsigned long long n = strtoull(s.c_str(), nullptr, 10);
	if (n > UINT32_MAX)
		return false;
	*v = (uint32_t)n;
	return true;
}

int parse_version(const std::string &s, build_descriptor *d)
{
	uint32_t v[3];
	size_t a = s.find('.'), b = a == std::string::npos ? a : s.find('.', a + 1);
	if (b == std::string::npos || !parse_u32(s.substr(0, a), &v[0]) ||
	    !parse_u32(s.substr(a + 1, b - a - 1), &v[1]) ||
	    !parse_u32(s.substr(b + 1), &v[2]))
		return fail("kernel version \"%s\" is not X.Y.Z", s.c_str());
	if (v[0] > 255 || v[1] > 255 || v[2] > 65535 || !(v[0] | v[1] | v[2]))
		return fail("kernel version \"%s\" out of range", s.c_str());
	d->version_code = version_code(v[0], v[1], v[2]);
	version_text(d->version_code, d->version);
	return 0;
}

int parse_abi_list(const std::string &s, build_descriptor *d)
{
	size_t n = 0, start = 0;
	for (;;) {
		size_t comma = s.find(',', start);
		std::string item = s.substr(start, comma - start);
		size_t dash = item.find('-');
		uint32_t lo, hi;
		if (!parse_u32(item.substr(0, dash), &lo) ||
		    !parse_u32(dash == std::string::npos ? item.substr(0, dash)
							 : item.substr(dash + 1),
			       &hi) ||
		    !lo || hi < lo)
			return fail("bad ABI code or range \"%s\"", item.c_str());
		if (hi - lo >= kAbiCodes - n)
			return fail("more than %zu ABI codes", kAbiCodes);
		for (uint64_t c = lo; c <= hi; c++)
			d->abi[n++] = (uint32_t)c;
		if (comma == std::string::npos)
			return 0;
		start = comma + 1;
	}
}

// The string of `#define NAME "..."` in a generated kernel header.
int header_string(const std::string &path, const char *name, std::string *out)
{
	std::vector<uint8_t> text;
	if (read_file(path, &text, true))
		return -1;
	std::string s(text.begin(), text.end());
	std::string key = std::string("#define ") + name;
	for (size_t pos = 0; (pos = s.find(key, pos)) != std::string::npos;
	     pos += key.size()) {
		size_t q = pos + key.size();
		if ((pos && s[pos - 1] != '\n') || (s[q] != ' ' && s[q] != '\t'))
			continue;
		size_t eol = std::min(s.find('\n', q), s.size());
		size_t open = s.find('"', q);
		size_t close = open < eol ? s.find('"', open + 1) : eol;
		if (open >= eol || close >= eol)
			return -1;
		*out = s.substr(open + 1, close - open - 1);
		return 0;
	}
	return -1;
}

int set_platform(const std::string &name, build_descriptor *d)
{
	if (name.size() > sizeof(d->platform) - 1)
		return fail("platform \"%s\" longer than 31 chars", name.c_str());
	memset(d->platform, 0, sizeof(d->platform));
	memcpy(d->platform, name.data(), name.size());
	if (!platform_accepted(d->platform))
		return fail("platform \"%s\" does not begin with el, Ubuntu, "
			    "Debian, Rocky or Kylin",
			    name.c_str());
	return 0;
}

// The first word after "vermagic=" in the image: the kernel release the
// module was built against.
std::string vermagic_release(const std::vector<uint8_t> &image)
{
	static const char key[] = "vermagic=";
	std::string s(image.begin(), image.end());
	size_t pos = s.find(key);
	if (pos == std::string::npos)
		return "";
	pos += sizeof(key) - 1;
	return s.substr(pos, s.find_first_of(std::string(" \0", 2), pos) - pos);
}

// The descriptor the daemon computes when running on that kernel: its
// identification applied to the build tree's generated headers.
int describe_from_build(const module_arg &m, block *b)
{
	std::string gen = m.kernel_build + "/include/generated/";
	system_sources src;
	if (header_string(gen + "utsrelease.h", "UTS_RELEASE", &src.release))
		return fail("no UTS_RELEASE in %sutsrelease.h", gen.c_str());
	if (header_string(gen + "utsversion.h", "UTS_VERSION", &src.version) &&
	    header_string(gen + "compile.h", "UTS_VERSION", &src.version))
		return fail("no UTS_VERSION in %s{utsversion,compile}.h",
			    gen.c_str());
	// What Ubuntu kernels show as /proc/version_signature.
	header_string(gen + "autoconf.h", "CONFIG_VERSION_SIGNATURE",
		      &src.version_signature);
	std::string built_for = vermagic_release(b->image);
	if (built_for != src.release)
		return fail("%s was built for \"%s\", %s is \"%s\"", m.ko.c_str(),
			    built_for.c_str(), m.kernel_build.c_str(),
			    src.release.c_str());
	running_system rs{};
	if (identify_kernel(src, &rs))
		return fail("no kernel version in UTS_RELEASE \"%s\"",
			    src.release.c_str());
	memcpy(b->desc.version, rs.version, sizeof(rs.version));
	b->desc.version_code = rs.version_code;
	b->desc.abi[0] = rs.abi;
	std::string platform = m.platform;
	if (platform.empty() && src.version.find("Debian ") != std::string::npos)
		platform = "Debian";
	if (platform.empty() && src.version.find("Ubuntu") != std::string::npos)
		platform = "Ubuntu";
	if (platform.empty())
		return fail("cannot tell the platform of %s, give --platform",
			    m.kernel_build.c_str());
	return set_platform(platform, &b->desc);
}

// An explicit version may differ from the release in its patch level
// (Ubuntu, Debian), never in major.minor.
int check_series(const module_arg &m, const block &b)
{
	std::string rel = vermagic_release(b.image);
	unsigned major, minor;
	if (sscanf(rel.c_str(), "%3u.%3u", &major, &minor) != 2 ||
	    version_code(major, minor, 0) != (b.desc.version_code & 0xffff0000))
		return fail("%s was built for \"%s\", not a %s kernel",
			    m.ko.c_str(), rel.c_str(), b.desc.version);
	return 0;
}

int compress(const std::vector<uint8_t> &in, std::vector<uint8_t> *out)
{
	lzma_options_lzma opt;
	if (lzma_lzma_preset(&opt, 9))
		return fail("no LZMA preset 9");
	uint32_t dict = LZMA_DICT_SIZE_MIN;
	while (dict < in.size() && dict < kMaxDict)
		dict <<= 1;
	opt.dict_size = dict;
	lzma_filter filters[] = { { LZMA_FILTER_LZMA2, &opt },
				  { LZMA_VLI_UNKNOWN, nullptr } };
	out->resize(lzma_stream_buffer_bound(in.size()));
	size_t n = 0;
	lzma_ret ret = lzma_stream_buffer_encode(filters, LZMA_CHECK_CRC64,
						 nullptr, in.data(), in.size(),
						 out->data(), &n, out->size());
	if (ret != LZMA_OK)
		return fail("XZ compression failed (%d)", (int)ret);
	out->resize(n);
	return 0;
}

int make_block(const module_arg &m, block *b)
{
	memset(&b->desc, 0, sizeof(b->desc));
	if (read_file(m.ko, &b->image))
		return -1;
	// ELF, relocatable (e_type 1 at offset 16).
	if (b->image.size() < 18 || memcmp(b->image.data(), "\x7f" "ELF", 4) ||
	    b->image[16] != 1 || b->image[17] != 0)
		return fail("%s is not a kernel module", m.ko.c_str());
	if (b->image.size() > kMaxImageSize)
		return fail("%s is larger than %u bytes", m.ko.c_str(),
			    kMaxImageSize);
	b->desc.image_size = (uint32_t)b->image.size();
	if (!m.kernel_build.empty()) {
		if (describe_from_build(m, b))
			return -1;
	} else if (parse_version(m.kernel_version, &b->desc) ||
		   parse_abi_list(m.abi, &b->desc) ||
		   set_platform(m.platform, &b->desc) ||
		   check_series(m, *b)) {
		return -1;
	}
	if (compress(b->image, &b->xz))
		return -1;
	if (b->xz.size() > UINT32_MAX)
		return fail("%s compresses to more than 4 GiB", m.ko.c_str());
	return 0;
}

// Every block as the daemon's walk meets it, last appended first.
std::vector<bundle_pick> walk(const std::vector<uint8_t> &file)
{
	std::vector<bundle_pick> blocks;
	bundle_pick p;
	size_t pos = file.size();
	while (bundle_next(file.data(), &pos, &p))
		blocks.push_back(p);
	return blocks;
}

// The walk over what was written must meet exactly the blocks appended,
// each unpacking to its module.
int verify(const std::string &path, const std::vector<block> &blocks)
{
	std::vector<uint8_t> file;
	if (read_file(path, &file))
		return -1;
	std::vector<bundle_pick> met = walk(file);
	if (met.size() != blocks.size())
		return fail("%s: walk finds %zu module builds, %zu appended",
			    path.c_str(), met.size(), blocks.size());
	for (size_t i = 0; i < met.size(); i++) {
		const block &b = blocks[blocks.size() - 1 - i];
		std::unique_ptr<uint8_t[]> image;
		if (memcmp(&met[i].desc, &b.desc, sizeof(b.desc)) ||
		    bundle_unpack(met[i], &image) ||
		    memcmp(image.get(), b.image.data(), b.image.size()))
			return fail("%s: module build %zu does not read back",
				    path.c_str(), blocks.size() - i);
	}
	return 0;
}

int write_all(int fd, const void *data, size_t size)
{
	const uint8_t *p = (const uint8_t *)data;
	while (size) {
		ssize_t n = write(fd, p, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return -1;
		p += n;
		size -= n;
	}
	return 0;
}

int write_bundle(const std::string &path, const std::vector<uint8_t> &daemon,
		 const std::vector<block> &blocks)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
		      0755);
	if (fd < 0)
		return fail("%s: %s", path.c_str(), strerror(errno));
	bool bad = fchmod(fd, 0755) || write_all(fd, daemon.data(), daemon.size());
	for (size_t i = 0; i < blocks.size() && !bad; i++) {
		const block &b = blocks[i];
		uint32_t n = (uint32_t)b.xz.size();
		bad = write_all(fd, b.xz.data(), b.xz.size()) ||
		      write_all(fd, &b.desc, sizeof(b.desc)) ||
		      write_all(fd, &n, sizeof(n));
	}
	int err = errno;
	if (close(fd) && !bad) {
		bad = true;
		err = errno;
	}
	return bad ? fail("%s: %s", path.c_str(), strerror(err)) : 0;
}

int make_bundle(const options &o)
{
	std::vector<uint8_t> daemon;
	if (read_file(o.daemon, &daemon))
		return -1;
	// Else the walk would run on into the daemon's own builds.
	if (!walk(daemon).empty())
		return fail("%s already ends in a module build", o.daemon.c_str());
	std::vector<block> blocks(o.modules.size());
	for (size_t i = 0; i < blocks.size(); i++)
		if (make_block(o.modules[i], &blocks[i]))
			return -1;
	if (write_bundle(o.out, daemon, blocks) || verify(o.out, blocks)) {
		unlink(o.out.c_str());
		return -1;
	}
	for (const block &b : blocks)
		printf("%s: %s %s abi %s, %zu bytes, xz %zu\n", o.out.c_str(),
		       b.desc.platform, b.desc.version, abi_text(b.desc).c_str(),
		       b.image.size(), b.xz.size());
	return 0;
}

int list_bundle(const std::string &path)
{
	std::vector<uint8_t> file;
	if (read_file(path, &file))
		return -1;
	std::vector<bundle_pick> met = walk(file);
	int bad = 0;
	for (size_t i = 0; i < met.size(); i++) {
		const build_descriptor &d = met[i].desc;
		std::unique_ptr<uint8_t[]> image;
		int rc = bundle_unpack(met[i], &image);
		bad |= rc;
		printf("%zu: platform %.32s kernel %.32s (0x%08x) abi %s image %u "
		       "xz %zu at %zu%s\n",
		       met.size() - i, d.platform, d.version, d.version_code,
		       abi_text(d).c_str(), d.image_size, met[i].xz_size,
		       (size_t)(met[i].xz - file.data()), rc ? " BAD" : "");
	}
	printf("%zu module build(s), %zu bytes before them\n", met.size(),
	       met.empty() ? file.size() : (size_t)(met.back().xz - file.data()));
	return bad ? -1 : 0;
}

options parse_args(int argc, char **argv)
{
	options o;
	auto value = [&](int &i) -> std::string {
		if (i + 1 >= argc)
			usage((std::string(argv[i]) + " needs a value").c_str());
		return argv[++i];
	};
	// The block options belong to the --module before them.
	auto once = [&](std::string module_arg::*field, int &i) {
		if (o.modules.empty())
			usage((std::string(argv[i]) + " before --module").c_str());
		std::string &f = o.modules.back().*field;
		if (!f.empty())
			usage((std::string(argv[i]) + " given twice").c_str());
		f = value(i);
		if (f.empty())
			usage((std::string(argv[i - 1]) + " is empty").c_str());
	};
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		if (a == "-h" || a == "--help") {
			fputs(kUsage, stdout);
			exit(0);
		} else if (a == "--list") {
			o.list = value(i);
		} else if (a == "-o") {
			o.out = value(i);
		} else if (a == "--module") {
			o.modules.emplace_back();
			o.modules.back().ko = value(i);
		} else if (a == "--kernel-build") {
			once(&module_arg::kernel_build, i);
		} else if (a == "--kernel-version") {
			once(&module_arg::kernel_version, i);
		} else if (a == "--abi") {
			once(&module_arg::abi, i);
		} else if (a == "--platform") {
			once(&module_arg::platform, i);
		} else if (a[0] != '-' && o.daemon.empty()) {
			o.daemon = a;
		} else {
			usage(("unexpected argument " + a).c_str());
		}
	}
	if (!o.list.empty()) {
		if (!o.out.empty() || !o.daemon.empty() || !o.modules.empty())
			usage("--list takes nothing else");
		return o;
	}
	if (o.out.empty() || o.daemon.empty())
		usage("-o OUT and DAEMON are required");
	for (const module_arg &m : o.modules) {
		bool expl = !m.kernel_version.empty() || !m.abi.empty();
		if (m.kernel_build.empty() == !expl)
			usage("each --module needs --kernel-build or "
			      "--kernel-version with --abi");
		if (expl && (m.kernel_version.empty() || m.abi.empty() ||
			     m.platform.empty()))
			usage("--kernel-version needs --abi and --platform");
	}
	return o;
}

} // namespace

int main(int argc, char **argv)
{
	options o = parse_args(argc, argv);
	int rc = o.list.empty() ? make_bundle(o) : list_bundle(o.list);
	return rc ? 1 : 0;
}
