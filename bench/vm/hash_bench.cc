// Guest benchmark of file hashing, run in one VM boot with the test-only
// driver zt_hashtest.ko loaded, all files in tmpfs:
//
//  - the in-kernel SHA-1 of a large file (default 64 MiB) through each
//    transform path alone ("shash", "ahash" commands of the driver), against
//    busybox sha1sum of the same file (the baseline);
//  - get_filename_hash() of a 1 MiB file served from its cached-hash mark,
//    against the same call when the mark is outdated and the whole file is
//    hashed (and the mark written again). A call on a missing file shows
//    roughly the fixed cost of one driver round trip (open, write, read of
//    the debugfs file, a path lookup), which both include.
//
// Each figure is the median over the rounds (of per-call medians where a
// round makes several calls). Every figure is printed as one
// "BENCH hash <what> key=value..." line; ratios are against the baseline
// measured in the same run.
//
//   hash_bench [--size-mib N] [--small-kib N] [--rounds R] [--lookups N] [--misses N]
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>

#include <cstdlib>
#include <functional>

#include "hashtest_client.h"
#include "bench_util.h"

namespace {

using namespace zt_bench;

using namespace zt_hashtest;

const std::string kWork = "/tmp/zt_hash_bench";

[[noreturn]] void Die(const std::string &what)
{
	printf("BENCH hash error=\"%s\"\n", what.c_str());
	exit(1);
}

// Seconds one call of @fn takes; @fn returns false on a wrong answer.
double Time(const std::string &what, const std::function<bool()> &fn)
{
	double t0 = Now();
	bool ok = fn();
	double t = Now() - t0;
	if (!ok)
		Die("wrong answer from " + what);
	return t;
}

// The SHA-1 implementations the guest kernel offers, best first.
std::string Sha1Drivers()
{
	FILE *f = fopen("/proc/crypto", "r");
	if (!f)
		return "?";
	char line[256];
	std::string name, driver, out;
	while (fgets(line, sizeof(line), f)) {
		auto w = Fields(line);
		if (w.size() >= 3 && w[0] == "name")
			name = w[2];
		else if (w.size() >= 3 && w[0] == "driver" && name == "sha1")
			out += (out.empty() ? "" : ",") + w[2];
	}
	fclose(f);
	return out.empty() ? "none" : out;
}

bool SetTimes(const std::string &path, time_t sec)
{
	struct timespec ts[2] = { { sec, 0 }, { sec, 0 } };
	return utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

} // namespace

int main(int argc, char **argv)
{
	size_t big_mib = 64, small_kib = 1024;
	int rounds = 5, lookups = 50, misses = 5;
	for (int i = 1; i + 1 < argc; i += 2) {
		std::string opt = argv[i];
		long v = strtol(argv[i + 1], nullptr, 10);
		if (opt == "--size-mib")
			big_mib = v;
		else if (opt == "--small-kib")
			small_kib = v;
		else if (opt == "--rounds")
			rounds = v;
		else if (opt == "--lookups")
			lookups = v;
		else if (opt == "--misses")
			misses = v;
		else
			Die("unknown option " + opt);
	}
	if (!big_mib || !small_kib || rounds < 1 || lookups < 1 || misses < 1)
		Die("bad arguments");
	setvbuf(stdout, nullptr, _IOLBF, 0);
	if (access((kDir + "run").c_str(), W_OK))
		Die("zt_hashtest.ko not loaded or debugfs not mounted");

	struct utsname u;
	uname(&u);
	const size_t big_bytes = big_mib << 20, small_bytes = small_kib << 10;
	printf("BENCH hash setup kernel=%s big_bytes=%zu small_bytes=%zu rounds=%d "
	       "lookups=%d misses=%d sha1_drivers=%s\n",
	       u.release, big_bytes, small_bytes, rounds, lookups, misses,
	       Sha1Drivers().c_str());

	mkdir(kWork.c_str(), 0755);
	const std::string big = kWork + "/big", small = kWork + "/small";
	const std::string missing = kWork + "/missing";
	if (!MakeFileAt(big, big_bytes, 1) || !MakeFileAt(small, small_bytes, 2))
		Die("cannot write the files in " + kWork);
	if (!SetMaxsize(big_bytes))
		Die("cannot set hash_max_filesize");
	const std::string want_big = Sha1sum(big), want_small = Sha1sum(small);
	if (want_big.size() != 40 || want_small.size() != 40)
		Die("sha1sum failed");

	// Large file: each path alone, then the baseline (busybox sha1sum as
	// its own process, as a user would run it), in every round.
	std::vector<double> shash, ahash, user;
	for (int r = 0; r < rounds; r++) {
		shash.push_back(Time("shash", [&] { return Cmd("shash " + big) == "0 " + want_big; }));
		ahash.push_back(Time("ahash", [&] { return Cmd("ahash " + big) == "0 " + want_big; }));
		user.push_back(Time("sha1sum", [&] { return Sha1sum(big) == want_big; }));
	}
	const double mib = big_bytes / 1048576.0;
	for (auto &[what, v] : std::vector<std::pair<const char *, std::vector<double> *>>{
		     { "kernel_shash", &shash }, { "kernel_ahash", &ahash }, { "sha1sum", &user } })
		printf("BENCH hash big %s seconds_median=%.4f seconds_min=%.4f MiB_per_s=%.1f\n",
		       what, Median(*v), Min(*v), mib / Median(*v));
	printf("BENCH hash big ratio kernel_shash_over_sha1sum=%.2f kernel_ahash_over_sha1sum=%.2f\n",
	       Median(shash) / Median(user), Median(ahash) / Median(user));
	Row("hash", "sha1sum_big", Median(user), "s");
	Row("hash", "kernel_shash_big", Median(shash), "s", Median(user));
	Row("hash", "kernel_ahash_big", Median(ahash), "s", Median(user));

	// Small file: a miss moves the modification time first (untimed), so
	// the call hashes the whole file and writes a fresh mark; a hit finds
	// the mark written by the call before it.
	std::vector<double> hit, miss, floor_;
	time_t stamp = time(nullptr) - 100000;
	for (int r = 0; r < rounds; r++) {
		std::vector<double> h, m, f;
		for (int i = 0; i < misses; i++) {
			if (!SetTimes(small, ++stamp))
				Die("utimensat failed");
			m.push_back(Time("miss", [&] { return Cmd("name " + small) == want_small + " 0"; }));
		}
		for (int i = 0; i < lookups; i++) {
			h.push_back(Time("hit", [&] { return Cmd("name " + small) == want_small + " 1"; }));
			f.push_back(Time("floor", [&] { return Cmd("name " + missing) == "- 0"; }));
		}
		hit.push_back(Median(h));
		miss.push_back(Median(m));
		floor_.push_back(Median(f));
	}
	const double us = 1e6;
	printf("BENCH hash mark lookup_us_median=%.1f lookup_us_min=%.1f\n", Median(hit) * us,
	       Min(hit) * us);
	printf("BENCH hash mark full_hash_us_median=%.1f full_hash_us_min=%.1f\n",
	       Median(miss) * us, Min(miss) * us);
	printf("BENCH hash mark round_trip_floor_us_median=%.1f\n", Median(floor_) * us);
	printf("BENCH hash mark ratio lookup_over_full_hash=%.4f full_hash_over_lookup=%.1f\n",
	       Median(hit) / Median(miss), Median(miss) / Median(hit));
	Row("hash", "mark_full_hash", Median(miss) * us, "us");
	Row("hash", "mark_lookup", Median(hit) * us, "us", Median(miss) * us);
	Row("hash", "round_trip_floor", Median(floor_) * us, "us");

	unlink(big.c_str());
	unlink(small.c_str());
	rmdir(kWork.c_str());
	return 0;
}
