// Digest store: adds per second, lookup cost (hit and miss) and bytes per
// digest at 1k, 1M and 10M digests, host build of the module's store.
#include <malloc.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kshim.h"
#include "vm/bench_util.h"

extern "C" {
#include "block_hash.h"
}

namespace {

using Clock = std::chrono::steady_clock;

void Make(uint64_t n, uint64_t salt, u8 *d)
{
	uint64_t x = n * 0x9E3779B97F4A7C15ull ^ salt;
	for (int i = 0; i < 20; i++) {
		x ^= x >> 29;
		x *= 0xBF58476D1CE4E5B9ull;
		d[i] = x >> 56;
	}
}

double Seconds(Clock::time_point a, Clock::time_point b)
{
	return std::chrono::duration<double>(b - a).count();
}

size_t HeapInUse()
{
	struct mallinfo2 mi = mallinfo2();
	return mi.uordblks + mi.hblkhd;
}

void Run(uint64_t count)
{
	const uint64_t probes = 1000000;
	u8 d[20];
	size_t heap0 = HeapInUse();

	auto t0 = Clock::now();
	for (uint64_t i = 0; i < count; i++) {
		Make(i, 0, d);
		if (update_block_hash(d, 20)) {
			std::printf("add failed at %llu\n", (unsigned long long)i);
			std::exit(1);
		}
	}
	auto t1 = Clock::now();
	size_t heap1 = HeapInUse();

	int hits = 0;
	auto t2 = Clock::now();
	for (uint64_t i = 0; i < probes; i++) {
		Make(i % count, 0, d);
		hits += exist_block_hash(d, 20);
	}
	auto t3 = Clock::now();
	for (uint64_t i = 0; i < probes; i++) {
		Make(i, 1, d);
		hits += exist_block_hash(d, 20);
	}
	auto t4 = Clock::now();

	double hit_ns = Seconds(t2, t3) * 1e9 / probes;
	double miss_ns = Seconds(t3, t4) * 1e9 / probes;
	std::printf("BENCH store n=%-9llu adds/s=%.3g  hit=%.1f ns  miss=%.1f ns  "
		    "miss/hit=%.2f  bytes/digest=%.1f (node %zu)  hits=%d\n",
		    (unsigned long long)count, count / Seconds(t0, t1), hit_ns,
		    miss_ns, miss_ns / hit_ns,
		    double(heap1 - heap0) / count, sizeof(hash_sha1_node), hits);
	auto t5 = Clock::now();
	clear_block_hash();
	double clear_s = Seconds(t5, Clock::now());
	std::printf("BENCH store n=%-9llu clear=%.3f s\n", (unsigned long long)count, clear_s);

	auto row = [count](const char *what, double v, const char *unit, double base = -1) {
		std::string m = std::string(what) + "_n" + std::to_string(count);
		zt_bench::Row("block_hash", m.c_str(), v, unit, base);
	};
	row("adds", count / Seconds(t0, t1), "1/s");
	row("hit", hit_ns, "ns");
	row("miss", miss_ns, "ns", hit_ns);
	// Against the node itself: what the allocator adds per digest.
	row("bytes_per_digest", double(heap1 - heap0) / count, "B", sizeof(hash_sha1_node));
	row("clear", clear_s, "s");
}

} // namespace

int main(int argc, char **argv)
{
	rcu_register_thread();
	if (block_hash_init())
		return 1;
	std::vector<uint64_t> sizes = { 1000, 1000000, 10000000 };
	if (argc > 1)
		sizes = { std::strtoull(argv[1], nullptr, 10) };
	for (uint64_t n : sizes)
		Run(n);
	block_hash_exit();
	rcu_unregister_thread();
	return 0;
}
