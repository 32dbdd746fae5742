// Timing, summary and report helpers of the benchmarks.
#ifndef ZT_BENCH_VM_BENCH_UTIL_H
#define ZT_BENCH_VM_BENCH_UTIL_H

#include <time.h>

#include <algorithm>
#include <cstdio>
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

// One figure in the fixed form scripts/bench.sh collects, beside the
// free-form lines meant for people:
//   BENCH-ROW <bench> <metric> <value> <unit> [baseline=<v> ratio=<r>]
// @baseline is the same-run figure the value is compared with; a negative
// one means there is none.
inline void Row(const char *bench, const char *metric, double value, const char *unit,
		double baseline = -1)
{
	if (baseline < 0)
		printf("BENCH-ROW %s %s %.6g %s\n", bench, metric, value, unit);
	else if (baseline == 0)
		printf("BENCH-ROW %s %s %.6g %s baseline=0 ratio=-\n", bench, metric, value, unit);
	else
		printf("BENCH-ROW %s %s %.6g %s baseline=%.6g ratio=%.4g\n", bench, metric, value,
		       unit, baseline, value / baseline);
	fflush(stdout);
}

} // namespace zt_bench

#endif // ZT_BENCH_VM_BENCH_UTIL_H
