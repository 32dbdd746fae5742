#include "bundle.h"

#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "log.h"

namespace {

constexpr uint64_t kXzMemLimit = 33554432;
// The no-match message lists the builds in at most this much text.
constexpr size_t kCandidateText = 16384;
// os-release is read only this far: a pathological file cannot stall us.
constexpr size_t kOsReleaseMax = 65536;
constexpr size_t kOsReleaseLine = 511;
constexpr size_t kModulesLine = 2048;

// A descriptor's text field as a string, whether or not it holds a NUL.
std::string field(const char *f)
{
	return std::string(f, strnlen(f, 32));
}

// The scanners below read what the matching scanf directives would, but
// take digits only and saturate instead of overflowing.
void skip_space(const char *&p)
{
	while (isspace((unsigned char)*p))
		p++;
}

bool scan_u32(const char *&p, uint32_t *v)
{
	skip_space(p);
	if (!isdigit((unsigned char)*p))
		return false;
	uint64_t n = 0;
	for (; isdigit((unsigned char)*p); p++)
		if (n <= UINT32_MAX)
			n = n * 10 + (*p - '0');
	*v = n > UINT32_MAX ? UINT32_MAX : (uint32_t)n;
	return true;
}

bool scan_char(const char *&p, char c)
{
	if (*p != c)
		return false;
	p++;
	return true;
}

// "%*s"
bool skip_word(const char *&p)
{
	skip_space(p);
	const char *start = p;
	while (*p && !isspace((unsigned char)*p))
		p++;
	return p != start;
}

// "%u.%u.%u"
bool scan_triple(const char *&p, uint32_t v[3])
{
	return scan_u32(p, &v[0]) && scan_char(p, '.') && scan_u32(p, &v[1]) &&
	       scan_char(p, '.') && scan_u32(p, &v[2]);
}

// "%u.%u.%u-%u": the number after the kernel version.
bool scan_abi(const char *&p, uint32_t *abi)
{
	uint32_t v[3];
	return scan_triple(p, v) && scan_char(p, '-') && scan_u32(p, abi);
}

uint32_t triple_code(const uint32_t v[3])
{
	return version_code(v[0], v[1], v[2]);
}

// Up to 15 chars of an os-release value, the opening quote optional.
// Stops at the closing quote, white space or stop.
std::string os_value(const char *p, char stop)
{
	scan_char(p, '"');
	std::string v;
	while (v.size() < 15 && *p && *p != '"' && *p != stop &&
	       !isspace((unsigned char)*p))
		v += *p++;
	return v;
}

int read_text(const std::string &path, size_t cap, bool first_line,
	      std::string *out)
{
	FILE *f = fopen(path.c_str(), "re");
	if (!f)
		return -1;
	out->clear();
	char buf[4096];
	size_t n;
	while (out->size() < cap &&
	       (n = fread(buf, 1, std::min(sizeof(buf), cap - out->size()),
			  f)) > 0)
		out->append(buf, n);
	fclose(f);
	if (first_line)
		out->erase(std::min(out->find('\n'), out->size()));
	return 0;
}

int read_all(int fd, size_t size, uint8_t *buf)
{
	size_t done = 0;
	while (done < size) {
		ssize_t n = pread(fd, buf + done, size - done, done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return -1;
		done += n;
	}
	return 0;
}

// Replaces a loaded module of the name with the image.
int load_image(const uint8_t *image, size_t len)
{
	if (module_loaded(kModuleName)) {
		if (remove_module()) {
			int err = errno;
			log_err("delete_kernel_module:%s err, %s errno:%d\n",
				kModuleName, strerror(err), err);
			return -1;
		}
	}
	errno = 0;
	if (syscall(SYS_init_module, image, len, "")) {
		int err = errno;
		log_err("install_kernel_module:%s err, %s ret_code:%d\n",
			kModuleName, strerror(err), err);
		return -1;
	}
	return 0;
}

} // namespace

uint32_t version_code(uint32_t major, uint32_t minor, uint32_t patch)
{
	return (major << 24) + (minor << 16) + (patch > 65535 ? 65535 : patch);
}

void version_text(uint32_t code, char *out)
{
	snprintf(out, 32, "%u.%u.%u", code >> 24, (code >> 16) & 0xff,
		 code & 0xffff);
}

bool platform_accepted(const char *platform32)
{
	static const struct {
		const char *prefix;
		size_t len;
	} accepted[] = {
		{ "el", 2 }, { "Ubuntu", 6 }, { "Debian", 6 },
		{ "Rocky", 5 }, { "Kylin", 5 },
	};
	for (const auto &a : accepted)
		if (!strncmp(platform32, a.prefix, a.len))
			return true;
	return false;
}

bool build_matches(const build_descriptor &d, const running_system &sys)
{
	if (d.version_code != sys.version_code)
		return false;
	if (!sys.abi)
		return true;
	for (uint32_t abi : d.abi)
		if (abi == sys.abi)
			return true;
	return false;
}

int identify_platform(const std::string &os_release, char *out32)
{
	std::string name, version;
	bool name_seen = false, version_seen = false;
	size_t pos = 0;
	while (pos < os_release.size() && !(name_seen && version_seen)) {
		size_t end = os_release.find('\n', pos);
		if (end == std::string::npos)
			end = os_release.size();
		std::string line = os_release.substr(
			pos, std::min(end - pos, kOsReleaseLine));
		pos = end + 1;
		const char *l = line.c_str();
		if (!name_seen && !strncmp(l, "NAME=", 5)) {
			name_seen = true;
			name = os_value(l + 5, '"');
		} else if (!version_seen && !strncmp(l, "VERSION_ID=", 11)) {
			version_seen = true;
			const char *p = l + 11;
			scan_char(p, '"');
			if (*p == 'V')
				version = os_value(p + 1, '.');
		}
	}
	out32[0] = 0;
	if (name.empty())
		return -1;
	snprintf(out32, 32, "%s%s", name.c_str(), version.c_str());
	return 0;
}

int identify_kernel(const system_sources &src, running_system *out)
{
	const char *sig = src.version_signature.c_str();
	const char *ver = src.version.c_str();
	const char *rel = src.release.c_str();
	const char *debian = strstr(ver, "Debian ");
	uint32_t v[3], code = 0;
	const char *p;

	// Ubuntu's signature carries the upstream version, third word.
	p = sig;
	if (skip_word(p) && skip_word(p) && scan_triple(p, v))
		code = triple_code(v);
	p = debian ? debian + 7 : nullptr;
	if (!code && p && scan_triple(p, v))
		code = triple_code(v);
	p = rel;
	bool from_release = !code && scan_triple(p, v);
	if (from_release)
		code = triple_code(v);
	if (!code && !from_release) {
		const char *banner = strstr(src.proc_version.c_str(),
					    "Linux version ");
		if (banner && scan_triple(p = banner + 14, v))
			code = triple_code(v);
	}
	if (!code)
		return -1;
	out->version_code = code;
	version_text(code, out->version);

	// scan_abi leaves abi alone unless it reads all of it.
	uint32_t abi = 0, minor;
	p = sig;
	if (skip_word(p))
		scan_abi(p, &abi);
	p = debian ? debian + 6 : nullptr;
	if (!abi && p)
		scan_abi(p, &abi);
	p = rel;
	if (!abi && scan_abi(p, &abi)) {
		uint64_t a = (uint64_t)abi * 1000;
		if (scan_char(p, '.') && scan_u32(p, &minor))
			a += minor;
		abi = a > UINT32_MAX ? UINT32_MAX : (uint32_t)a;
	}
	out->abi = abi;
	return 0;
}

int identify_system(const system_sources &src, running_system *out)
{
	memset(out, 0, sizeof(*out));
	if (identify_platform(src.os_release, out->platform))
		return -1;
	return identify_kernel(src, out);
}

int read_system_sources(system_sources *out, const std::string &root)
{
	if (read_text(root + "/etc/os-release", kOsReleaseMax, false,
		      &out->os_release) &&
	    read_text(root + "/usr/lib/os-release", kOsReleaseMax, false,
		      &out->os_release))
		return -1;
	if (read_text(root + "/proc/version_signature", kOsReleaseLine, true,
		      &out->version_signature))
		out->version_signature.clear();
	if (read_text(root + "/proc/version", kOsReleaseMax, true,
		      &out->proc_version))
		out->proc_version.clear();
	struct utsname u;
	if (uname(&u)) {
		out->release.clear();
		out->version.clear();
	} else {
		out->release = u.release;
		out->version = u.version;
	}
	return 0;
}

int bundle_next(const uint8_t *file, size_t *pos, bundle_pick *block)
{
	if (*pos <= kTrailerSize)
		return 0;
	size_t front = *pos - kTrailerSize;
	uint32_t xz_size;
	memcpy(&block->desc, file + front, sizeof(block->desc));
	memcpy(&xz_size, file + front + sizeof(block->desc), sizeof(xz_size));
	// Past the first block the daemon's own bytes begin: neither check
	// holds there except by rare chance.
	if (!platform_accepted(block->desc.platform) || xz_size >= front)
		return 0;
	*pos = front - xz_size;
	block->xz = file + *pos;
	block->xz_size = xz_size;
	return 1;
}

int bundle_select(const uint8_t *file, size_t size, const running_system &sys,
		  bundle_pick *out)
{
	// Offsets of the descriptors met, last appended first.
	size_t seen[kMaxCandidates];
	size_t nseen = 0;
	size_t pos = size;
	while (bundle_next(file, &pos, out)) {
		if (build_matches(out->desc, sys))
			return 1;
		if (nseen < kMaxCandidates)
			seen[nseen++] = pos + out->xz_size;
	}
	std::string list;
	for (size_t i = nseen; i-- > 0 && list.size() < kCandidateText - 1;) {
		build_descriptor d;
		memcpy(&d, file + seen[i], sizeof(d));
		list += field(d.version);
		for (uint32_t abi : d.abi) {
			if (!abi)
				break;
			list += "-" + std::to_string(abi);
		}
		list += " ";
	}
	if (list.size() > kCandidateText - 1)
		list.resize(kCandidateText - 1);
	log_err("Your kernel version is %s and abicode is %u, but the zentrope "
		"only support %s. Or abicode not support. Please contact "
		"zentrope-support@localhost\n",
		sys.version, sys.abi, list.c_str());
	return 0;
}

long xz_decompress(const uint8_t *in, size_t in_size, uint8_t *out,
		   size_t out_size)
{
	lzma_stream strm = LZMA_STREAM_INIT;
	if (lzma_stream_decoder(&strm, kXzMemLimit, LZMA_CONCATENATED) !=
	    LZMA_OK) {
		lzma_end(&strm);
		return -1;
	}
	strm.next_in = in;
	strm.avail_in = in_size;
	strm.next_out = out;
	strm.avail_out = out_size;
	long rc = 0;
	int stalls = 0;
	for (;;) {
		size_t in_left = strm.avail_in, out_left = strm.avail_out;
		lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
		bool progress =
			strm.avail_in != in_left || strm.avail_out != out_left;
		if (ret == LZMA_STREAM_END) {
			rc = (long)strm.total_out;
			break;
		}
		if (ret == LZMA_OK) {
			// Input used up short of the end: a truncated stream
			// yields less than the room it was given.
			if (!strm.avail_in && strm.avail_out) {
				rc = (long)strm.total_out;
				break;
			}
			// A full buffer may still see the stream end on the
			// next call; only a call that cannot move means the
			// data does not fit.
			if (progress) {
				stalls = 0;
				continue;
			}
			if (!strm.avail_out && strm.avail_in) {
				fprintf(stderr, "process_pure_buf: Output "
						"buffer too small\n");
				rc = -2;
				break;
			}
			// liblzma turns a repeated stall into LZMA_BUF_ERROR;
			// do not rely on it to end the loop.
			if (++stalls < 2)
				continue;
			ret = LZMA_BUF_ERROR;
		}
		switch (ret) {
		case LZMA_MEM_ERROR:
			fprintf(stderr,
				"process_pure_buf: Memory allocation failed\n");
			rc = -3;
			break;
		case LZMA_FORMAT_ERROR:
			fprintf(stderr,
				"process_pure_buf: Input is not in XZ format\n");
			rc = -4;
			break;
		case LZMA_DATA_ERROR:
			fprintf(stderr,
				"process_pure_buf: Compressed data is corrupt\n");
			rc = -5;
			break;
		case LZMA_BUF_ERROR:
			rc = -6;
			break;
		default:
			fprintf(stderr, "process_pure_buf: Unknown error (%d)\n",
				(int)ret);
			rc = -7;
			break;
		}
		break;
	}
	lzma_end(&strm);
	return rc;
}

int bundle_unpack(const bundle_pick &pick, std::unique_ptr<uint8_t[]> *image)
{
	uint32_t size = pick.desc.image_size;
	image->reset();
	if (size && size <= kMaxImageSize)
		image->reset(new (std::nothrow) uint8_t[size]);
	if (!*image || xz_decompress(pick.xz, pick.xz_size, image->get(),
				     size) != (long)size) {
		image->reset();
		log_err("uncompress kernel module err, %s %s\n",
			field(pick.desc.platform).c_str(),
			field(pick.desc.version).c_str());
		return -1;
	}
	return 0;
}

std::string abi_text(const build_descriptor &d)
{
	std::string s;
	for (size_t i = 0; i < kAbiCodes && d.abi[i];) {
		size_t j = i;
		while (j + 1 < kAbiCodes && d.abi[j + 1] &&
		       d.abi[j + 1] == d.abi[j] + 1)
			j++;
		s += (s.empty() ? "" : ",") + std::to_string(d.abi[i]);
		if (j > i)
			s += "-" + std::to_string(d.abi[j]);
		i = j + 1;
	}
	return s.empty() ? "none" : s;
}

int module_loaded(const char *name, const char *path)
{
	char line[kModulesLine];
	size_t n = strlen(name);
	if (!n || n + 1 >= sizeof(line))
		return 0;
	FILE *f = fopen(path, "re");
	if (!f)
		return 0;
	int found = 0;
	// Only the start of a line names a module; the rest of an over-long
	// line comes in further pieces.
	bool line_start = true;
	while (!found && fgets(line, sizeof(line), f)) {
		found = line_start && !strncmp(line, name, n) && line[n] == ' ';
		line_start = strchr(line, '\n') != nullptr;
	}
	fclose(f);
	return found;
}

int remove_module()
{
	errno = 0;
	return syscall(SYS_delete_module, kModuleName, O_NONBLOCK) ? -1 : 0;
}

int install_module(int exe_fd, module_build *picked)
{
	struct stat st;
	if (fstat(exe_fd, &st) || st.st_size <= 0)
		return -1;
	size_t size = (size_t)st.st_size;
	std::unique_ptr<uint8_t[]> file(new (std::nothrow) uint8_t[size]);
	if (!file || read_all(exe_fd, size, file.get()))
		return -1;
	system_sources src;
	running_system sys;
	// Silent failure here would leave an administrator with exit status
	// 1 and no clue.
	if (read_system_sources(&src) || identify_system(src, &sys)) {
		log_err("cannot identify the running system (os-release and kernel version)\n");
		return -1;
	}
	bundle_pick pick;
	if (bundle_select(file.get(), size, sys, &pick) != 1)
		return -1;
	*picked = { field(pick.desc.platform), field(pick.desc.version),
		    abi_text(pick.desc), src.release };
	std::unique_ptr<uint8_t[]> image;
	if (bundle_unpack(pick, &image))
		return -1;
	file.reset();
	return load_image(image.get(), pick.desc.image_size);
}
