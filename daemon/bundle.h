// The module builds appended to the daemon executable: choosing the one for
// the running kernel, unpacking it and loading it.
//
// Bundle layout, read backwards from the end of the file; each block is
//   [XZ stream][build_descriptor][u32 LE compressed size of the stream]
// and the walk stops at the first trailer that does not look like one.
#ifndef ZENTROPED_BUNDLE_H
#define ZENTROPED_BUNDLE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The descriptors are read and written as raw little-endian structs.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
	      "bundle descriptors are little-endian");

constexpr const char *kModuleName = "zentrope";
constexpr size_t kAbiCodes = 200;
// A build never claims more than this; a bigger size is a corrupt trailer,
// refused before anything is allocated for it.
constexpr uint32_t kMaxImageSize = 64u << 20;
constexpr size_t kMaxCandidates = 300;

struct build_descriptor {
	char platform[32];	 // NUL-padded, accepted prefix (see below)
	char version[32];	 // "major.minor.patch", NUL-padded
	uint32_t version_code;	 // see version_code()
	uint32_t abi[kAbiCodes]; // supported ABI codes, unused entries 0
	uint32_t image_size;	 // bytes of the decompressed module
};
static_assert(sizeof(build_descriptor) == 872, "descriptor size");
static_assert(offsetof(build_descriptor, version) == 32, "descriptor layout");
static_assert(offsetof(build_descriptor, version_code) == 64, "layout");
static_assert(offsetof(build_descriptor, abi) == 68, "descriptor layout");
static_assert(offsetof(build_descriptor, image_size) == 868, "layout");

// Descriptor plus the compressed size behind it.
constexpr size_t kTrailerSize = sizeof(build_descriptor) + 4;

// The running kernel, laid out as the head of a descriptor with one ABI code.
struct running_system {
	char platform[32];
	char version[32];
	uint32_t version_code;
	uint32_t abi; // 0: unknown, any build of the version matches
};
static_assert(sizeof(running_system) == 72, "running system size");
static_assert(offsetof(running_system, abi) == 68, "running system layout");

// major << 24 | minor << 16 | patch, the patch capped at 65535.
uint32_t version_code(uint32_t major, uint32_t minor, uint32_t patch);
// "major.minor.patch" of a code into out[32].
void version_text(uint32_t code, char *out);
// Whether a descriptor's platform field begins with an accepted prefix:
// "el", "Ubuntu", "Debian", "Rocky" or "Kylin".
bool platform_accepted(const char *platform32);
bool build_matches(const build_descriptor &d, const running_system &sys);

// The texts the running system is identified from.
struct system_sources {
	std::string os_release;	       // whole os-release file
	std::string version_signature; // first line; empty when absent
	std::string release;	       // uname release
	std::string version;	       // uname version
	std::string proc_version;      // first line of /proc/version
};

// Platform name from os-release text: first word of NAME plus, when
// VERSION_ID is "V<n>...", the <n> up to the first dot (Kylin11); values
// may be quoted or bare. 0, or -1 when it comes out empty.
int identify_platform(const std::string &os_release, char *out32);
// Version text, code and ABI code from the kernel sources; -1 when the
// version code comes out 0. Leaves the platform alone.
int identify_kernel(const system_sources &src, running_system *out);
// Both of the above; -1 when either fails. Nothing is logged.
int identify_system(const system_sources &src, running_system *out);
// Fills *out from <root>/etc/os-release (else <root>/usr/lib/os-release),
// <root>/proc/version_signature, <root>/proc/version and uname(). -1 when
// no os-release can be opened. Nothing is logged.
int read_system_sources(system_sources *out, const std::string &root = "");

// One block found by the walk; xz points into the walked buffer.
struct bundle_pick {
	build_descriptor desc;
	const uint8_t *xz;
	size_t xz_size;
};

// Steps to the block in front of *pos (initially the file size): 1 with
// *block set and *pos moved to its start, 0 when the bundle ends there.
int bundle_next(const uint8_t *file, size_t *pos, bundle_pick *block);

// The build for sys, last appended first: 1 with *out set, 0 when none
// matches (logged, naming the builds there are).
int bundle_select(const uint8_t *file, size_t size, const running_system &sys,
		  bundle_pick *out);

// Decompresses a whole XZ stream (or several concatenated) into out.
// Returns the bytes produced, or -1 decoder set-up, -2 output too small,
// -3 out of memory, -4 not XZ, -5 corrupt, -6 no progress possible,
// -7 other. Messages go to stderr. Input that runs out early returns what
// it yielded, so give exactly the expected size as room and compare: a
// stream cut short then comes out short or negative, never whole.
long xz_decompress(const uint8_t *in, size_t in_size, uint8_t *out,
		   size_t out_size);

// Allocates and decompresses a picked build's image; -1 (logged) when its
// size is implausible or the stream does not yield exactly that size.
int bundle_unpack(const bundle_pick &pick, std::unique_ptr<uint8_t[]> *image);

// 1 when /proc/modules (or path) lists a module of exactly that name.
int module_loaded(const char *name, const char *path = "/proc/modules");

// Removes a loaded "zentrope" unless it is in use: 0, or -1 with errno.
int remove_module();

// A build's ABI codes with runs as ranges: "32007,32009-32015"; "none".
std::string abi_text(const build_descriptor &d);

// The build install_module() picked, as zt_bundle --list names it, and the
// release of the kernel it was picked for.
struct module_build {
	std::string platform, kernel, abi, release;
};

// Loads the build for the running kernel from the daemon executable,
// replacing a loaded "zentrope". 0 when inserted, -1 otherwise; *picked is
// set once a build is chosen.
int install_module(int exe_fd, module_build *picked);

#endif
