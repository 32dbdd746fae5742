// The module's own list logic for the daemon's tests: the command parser,
// the rule lists and the digest store of kmod/, built for the host. The
// state is the module's: one set of lists per process.
#ifndef ZENTROPED_FAKE_KMOD_H
#define ZENTROPED_FAKE_KMOD_H

#include <cstddef>
#include <string>

namespace fake_kmod {

// Empty lists and store for one test, on the calling thread.
void start();
void stop();

// Whether @entry (a file name under ZT_CTL_DIR) is a list.
bool is_list(const std::string &entry);
// One command as its entry's write takes it (the first line): 0 or -errno.
int command(const std::string &entry, const std::string &text);
// The list as its entry reads: newest first, one final newline.
std::string read(const std::string &entry);
// How many elements the list holds.
size_t count(const std::string &entry);

// The digest feed: whole 20-byte records are added. Bytes taken or -errno.
long feed(const std::string &records);
// The store's digests in feed order, 20 bytes each.
std::string store();

} // namespace fake_kmod

#endif
