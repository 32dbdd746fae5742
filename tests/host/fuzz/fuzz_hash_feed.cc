// The binary digest feed: records added, deleted and cleared in any order,
// with a reader resuming through its cursor across every change.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "../kmod.h"

namespace {

bool Init()
{
	rcu_register_thread();
	return block_hash_init() == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static bool ready = Init();
	if (!ready)
		return 0;
	std::set<std::string> model;
	block_hash_cursor cursor{};
	loff_t pos = 0;

	for (size_t off = 0; off + 21 <= size; off += 21) {
		const uint8_t op = data[off];
		const u8 *d = data + off + 1;
		std::string key(reinterpret_cast<const char *>(d), 20);
		switch (op % 5) {
		case 0:
		case 1:
			if (update_block_hash(d, 20) != 0)
				__builtin_trap();
			model.insert(key);
			break;
		case 2:
			delete_block_hash(d, 20);
			model.erase(key);
			break;
		case 3:
			if (op & 0x80)
				clear_block_hash_nowait();
			else
				clear_block_hash();
			model.clear();
			break;
		case 4: {
			// Resume the reader for a few entries.
			rcu_read_lock();
			hash_sha1_node *n = block_hash_cursor_start(&cursor, pos);
			for (int k = 0; n && k < (op >> 3); k++) {
				std::string got(reinterpret_cast<char *>(n->digest), 20);
				if (!model.count(got))
					__builtin_trap();
				n = block_hash_cursor_next(&cursor, n, &pos);
			}
			if (!n)
				pos = 0;
			rcu_read_unlock();
			break;
		}
		}
		if (exist_block_hash(d, 20) != (int)model.count(key))
			__builtin_trap();
	}
	if (atomic_read(&num_block_hash) != (int)model.size())
		__builtin_trap();
	clear_block_hash();
	return 0;
}
