#include "fake_kmod.h"

#include <map>

// After the C++ headers: the shim defines kernel-style macros.
#include "kshim.h"
extern "C" {
#include "block_hash.h"
#include "rule_lists.h"
#include "zentrope_cmd.h"
}

namespace fake_kmod {
namespace {

struct List {
	const zt_cmd_ops *ops;
	atomic_t *num;
};

const List *Find(const std::string &entry)
{
	static const std::map<std::string, List> lists = {
		{ "block_prog", { &block_prog_cmd, &num_block_prog } },
		{ "block_hash", { &block_hash_cmd, &num_block_hash } },
		{ "interp_prog", { &interp_prog_cmd, &num_interp_prog } },
		{ "block_url", { &block_url_cmd, &num_block_url } },
		{ "block_port", { &block_port_cmd, &num_block_port } },
		{ "block_ipv4", { &block_ipv4_cmd, &num_block_ipv4 } },
		{ "block_ipv6", { &block_ipv6_cmd, &num_block_ipv6 } },
	};
	auto it = lists.find(entry);
	return it == lists.end() ? nullptr : &it->second;
}

} // namespace

void start()
{
	rcu_register_thread();
	block_hash_init();
}

void stop()
{
	rule_lists_exit();
	atomic_set(&num_mem_block_prog, 0);
	block_hash_exit();
	rcu_unregister_thread();
}

bool is_list(const std::string &entry)
{
	return Find(entry);
}

int command(const std::string &entry, const std::string &text)
{
	const List *l = Find(entry);
	if (!l)
		return -ENOENT;
	std::string line = text.substr(0, text.find('\n'));
	return zt_run_command(l->ops, line.data());
}

std::string read(const std::string &entry)
{
	const List *l = Find(entry);
	std::string text;
	int n = -1;
	// Doubled until the dump fits, as the module's own read does.
	for (size_t size = DUMP_TEXT_MIN; l; size *= 2) {
		text.assign(size, '\0');
		n = l->ops->dump(text.data(), size);
		if (n < (int)size - 1)
			break;
	}
	text.resize(n > 0 ? n : 0);
	if (!text.empty() && text.back() == '\n')
		text.pop_back();
	return text + "\n";
}

size_t count(const std::string &entry)
{
	const List *l = Find(entry);
	return l ? atomic_read(l->num) : 0;
}

long feed(const std::string &records)
{
	size_t n = records.size() / SHA1_DIGEST_LEN, done = 0;
	if (!n)
		return -EINVAL;
	int ret = update_block_hash_many((const u8 *)records.data(), n, &done);
	return ret ? ret : (long)(n * SHA1_DIGEST_LEN);
}

std::string store()
{
	std::string out;
	block_hash_cursor c{};
	loff_t pos = 0;
	rcu_read_lock();
	for (hash_sha1_node *n = block_hash_cursor_start(&c, pos); n;
	     n = block_hash_cursor_next(&c, n, &pos))
		out.append((const char *)n->digest, SHA1_DIGEST_LEN);
	rcu_read_unlock();
	return out;
}

} // namespace fake_kmod
