// Timing and summary helpers of the guest benchmarks.
#ifndef ZT_BENCH_VM_BENCH_UTIL_H
#define ZT_BENCH_VM_BENCH_UTIL_H

#include <time.h>

#include <algorithm>
#include <vector>

namespace zt_bench {

// Monotonic seconds.
inline double Now()
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}

inline double Median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	size_t n = v.size();
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double Min(const std::vector<double> &v)
{
	return *std::min_element(v.begin(), v.end());
}

} // namespace zt_bench

#endif // ZT_BENCH_VM_BENCH_UTIL_H
