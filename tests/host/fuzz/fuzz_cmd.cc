// Any text written to any control entry: never a crash, a leak or a
// list left inconsistent with its counter.
#include <cstdint>
#include <string>

#include "../kmod.h"

namespace {

const zt_cmd_ops *const kOps[] = {
	&block_prog_cmd, &block_hash_cmd, &interp_prog_cmd, &block_url_cmd,
	&block_port_cmd, &block_ipv4_cmd, &block_ipv6_cmd,
};

bool Init()
{
	rcu_register_thread();
	return block_hash_init() == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static bool ready = Init();
	if (!ready || size < 1 || size > CMD_TEXT_MAX)
		return 0;
	const zt_cmd_ops *ops = kOps[data[0] % 7];
	std::string cmd(reinterpret_cast<const char *>(data) + 1, size - 1);
	cmd.push_back('\0');
	zt_run_command(ops, cmd.data());

	static std::string dump(1 << 20, '\0');
	int n = ops->dump(dump.data(), dump.size());
	if (n >= static_cast<int>(dump.size()))
		__builtin_trap();
	if (ops != &block_hash_cmd && n > 0 && n < (int)dump.size() - 1 &&
	    dump[n - 1] != '\n')
		__builtin_trap();

	// Keep the lists small so runs stay fast and bounded.
	if (atomic_read(&num_block_prog) + atomic_read(&num_interp_prog) +
	    atomic_read(&num_block_url) + atomic_read(&num_block_ipv4) +
	    atomic_read(&num_block_ipv6) + atomic_read(&num_block_port) > 2000) {
		rule_lists_exit();
		atomic_set(&num_mem_block_prog, 0);
		clear_block_hash();
	}
	return 0;
}
