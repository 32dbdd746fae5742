// Digest store: adds per second, lookup cost (hit and miss) and bytes per
// digest at 1k, 1M and 10M digests, host build of the module's store.
#include <malloc.h>

#include <algorithm>
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

struct Cost {
	double hit_ns, miss_ns;
};

// Against @base, the same figures at the smallest size, when given.
Cost Run(uint64_t count, const Cost *base)
{
	const uint64_t probes = 300000;
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

	// The host is shared: the best of several rounds is the cost of the
	// lookup itself. Hits are spread over the whole store, not its head.
	int hits = 0;
	double hit_s = 1e9, miss_s = 1e9;
	for (int round = 0; round < 7; round++) {
		auto t2 = Clock::now();
		for (uint64_t i = 0; i < probes; i++) {
			Make((i + round) * 2654435761u % count, 0, d);
			hits += exist_block_hash(d, 20);
		}
		auto t3 = Clock::now();
		for (uint64_t i = 0; i < probes; i++) {
			Make(i + round * probes, 1, d);
			hits += exist_block_hash(d, 20);
		}
		auto t4 = Clock::now();
		hit_s = std::min(hit_s, Seconds(t2, t3));
		miss_s = std::min(miss_s, Seconds(t3, t4));
	}
	hits /= 7;

	double hit_ns = hit_s * 1e9 / probes;
	double miss_ns = miss_s * 1e9 / probes;
	std::printf("BENCH store n=%-9llu adds/s=%.3g  hit=%.1f ns  miss=%.1f ns  "
		    "miss/hit=%.2f  bytes/digest=%.1f (digest %zu)  hits=%d\n",
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
	// Against the digest itself: what the store adds per digest.
	row("bytes_per_digest", double(heap1 - heap0) / count, "B", sizeof(hash_sha1_node));
	row("clear", clear_s, "s");
	if (base) {
		std::printf("BENCH store n=%-9llu hit_over_smallest=%.2f miss_over_smallest=%.2f\n",
			    (unsigned long long)count, hit_ns / base->hit_ns,
			    miss_ns / base->miss_ns);
		row("hit_vs_smallest", hit_ns, "ns", base->hit_ns);
		row("miss_vs_smallest", miss_ns, "ns", base->miss_ns);
	}
	return { hit_ns, miss_ns };
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
	Cost base{};
	for (size_t i = 0; i < sizes.size(); i++) {
		Cost c = Run(sizes[i], i ? &base : nullptr);
		if (!i)
			base = c;
	}
	block_hash_exit();
	rcu_unregister_thread();
	return 0;
}
