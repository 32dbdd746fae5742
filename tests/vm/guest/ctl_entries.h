// The control entries under /proc/sys/kernel/zentrope/ with their modes, as
// the module declares them (kmod/zentrope_sysctl.c). ctl_files_test.cc pins
// the module to this table; other guest programs take entry names from it.
#ifndef ZT_VM_GUEST_CTL_ENTRIES_H
#define ZT_VM_GUEST_CTL_ENTRIES_H

#include <sys/types.h>

namespace zt {

// The seven rule lists, each taking ADD, DEL and CLEAR.
inline constexpr const char *kListEntries[] = {
	"block_prog", "block_hash", "interp_prog", "block_url",
	"block_port", "block_ipv4", "block_ipv6",
};

struct EntryMode {
	const char *name;
	mode_t mode;
};

inline constexpr EntryMode kEntries[] = {
	{ "block_prog", 0644 },	       { "block_hash", 0200 },
	{ "interp_prog", 0644 },       { "block_url", 0644 },
	{ "block_port", 0644 },	       { "block_ipv4", 0644 },
	{ "block_ipv6", 0644 },	       { "hash_max_filesize", 0640 },
	{ "num_lost_hash", 0640 },     { "total_cost", 0640 },
	{ "debug_data", 0440 },	       { "strict", 0644 },
	{ "quite", 0644 },	       { "ulog", 0644 },
};

} // namespace zt

#endif // ZT_VM_GUEST_CTL_ENTRIES_H
