// Timing, summary and report helpers of the benchmarks.
#ifndef ZT_BENCH_VM_BENCH_UTIL_H
#define ZT_BENCH_VM_BENCH_UTIL_H

#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
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

// Copies the file @from to @to in read() pieces of @chunk bytes, each
// written with one write() call. The seconds the copy took, opens not
// counted; @err is "" when all went through, else what failed.
inline double Pump(const std::string &from, const std::string &to, size_t chunk,
		   std::string *err)
{
	std::vector<char> buf(chunk);
	int in = open(from.c_str(), O_RDONLY), out = open(to.c_str(), O_WRONLY);
	double t0 = Now(), t = -1;
	*err = in < 0 || out < 0 ? "open for pump to " + to + ": " + strerror(errno) : "";
	while (err->empty()) {
		ssize_t n = read(in, buf.data(), buf.size());
		if (n <= 0) {
			if (n < 0)
				*err = "read " + from + ": " + strerror(errno);
			t = Now() - t0;
			break;
		}
		ssize_t w = write(out, buf.data(), n);
		if (w != n)
			*err = "write to " + to + " returned " + std::to_string(w) +
			       (w < 0 ? std::string(": ") + strerror(errno) : "");
	}
	close(in);
	close(out);
	return t;
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
