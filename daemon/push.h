// Pushing the rule lists into the module through its control files.
#ifndef ZENTROPED_PUSH_H
#define ZENTROPED_PUSH_H

#include <string>

#include "config.h"

// Result of a push that stopped at a full kernel list.
constexpr int kPushFull = -28;

struct ctl_file {
	const char *label; // as messages name it
	const char *path;
};

#define ZT_CTL_DIR "/proc/sys/kernel/zentrope/"
extern const ctl_file kCtlInterp, kCtlProg, kCtlHash, kCtlUrl, kCtlPort,
	kCtlIpv4, kCtlIpv6;
extern const char kHashBinPath[]; // "/proc/zentrope/block_hash_bin"
extern const char kStrictPath[], kQuitePath[], kUlogPath[];

// One command per open, write and close. 0 when the whole command was
// taken, -1 (logged) or kPushFull when the kernel list is full. With
// quiet_full the full list goes unlogged: the caller tries again.
int write_command(const ctl_file &ctl, const std::string &cmd,
		  bool quiet_full = false);

// "ADD <entry>" for every entry, then empties the list: 0, -1 or kPushFull.
int push_list(const ctl_file &ctl, rule_list *list);
// The whole configuration, in the module's order; 0 or negative.
int push_all(daemon_config *cfg);
// Bytes of a binary digest file the module accepted, or -1.
long copy_hash_file(const std::string &path);
int write_flag(const char *path, int value);
int clear_list(const ctl_file &ctl);
int clear_all();

// True when inet_pton takes the text as IPv4 (else it is pushed as IPv6).
bool is_ipv4_text(const std::string &addr);

#endif
