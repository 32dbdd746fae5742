// Guest benchmark of the binary digest feed, run in one VM boot with the
// module loaded:
//
//  - feeding N digests (default 1,000,000) from a file in tmpfs into
//    /proc/zentrope/block_hash_bin in writes of 131060 bytes, against the
//    same read/write loop copying that file to /dev/null (the baseline);
//  - feeding them again into the full store (all duplicates);
//  - emptying the store with CLEAR;
//  - the kernel memory the full store takes: the growth of Slab and
//    VmallocUsed in /proc/meminfo, once deferred frees have run.
//
// Every figure is printed as one "BENCH store_feed <what> key=value..."
// line; ratios are against the baseline measured in the same run.
//
//   store_feed_bench [--digests N] [--write-size BYTES] [--rounds R] [--leave-full 1]
//                    [--memory-only 1]
//
// With --memory-only 1 the store is fed once and only its memory reported.
// With --leave-full 1 the store is filled once more at the end and left
// full, so that the caller can time the unload of a full store.
#include <fcntl.h>
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include "bench_util.h"
#include "module_ctl.h"

namespace {

using namespace zt;
using namespace zt_bench;

const char *const kBin = "/proc/zentrope/block_hash_bin";
const char *const kCtl = "/proc/sys/kernel/zentrope/block_hash";
const char *const kFile = "/tmp/zt_bench_digests.bin";

[[noreturn]] void Die(const std::string &what)
{
	fprintf(stderr, "store_feed_bench: %s\n", what.c_str());
	printf("BENCH store_feed error=\"%s\"\n", what.c_str());
	exit(1);
}

void Digest(uint32_t n, unsigned char *d)
{
	uint64_t x = 0x5a17000000000000ull | n;
	for (int i = 0; i < 20; i++) {
		x += 0x9e3779b97f4a7c15ull;
		uint64_t z = x;
		z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
		z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
		d[i] = (unsigned char)(z ^ (z >> 31));
	}
	memcpy(d, &n, 4);	// distinct for distinct n
}

void WriteDigestFile(uint32_t count)
{
	std::vector<unsigned char> buf((size_t)count * 20);
	for (uint32_t i = 0; i < count; i++)
		Digest(i, &buf[(size_t)i * 20]);
	int fd = open(kFile, O_CREAT | O_TRUNC | O_WRONLY, 0600);
	if (fd < 0)
		Die(std::string("create ") + kFile + ": " + strerror(errno));
	size_t off = 0;
	while (off < buf.size()) {
		ssize_t n = write(fd, buf.data() + off, buf.size() - off);
		if (n <= 0)
			Die(std::string("write ") + kFile + ": " + strerror(errno));
		off += n;
	}
	close(fd);
}

// The loop under test: read the file in pieces of @chunk bytes and write
// each piece with one write() to @dest. Returns seconds.
double Pump(const char *dest, size_t chunk)
{
	std::string err;
	double t = zt_bench::Pump(kFile, dest, chunk, &err);
	if (!err.empty())
		Die(err);
	return t;
}

void Command(const char *text)
{
	if (int err = Write(kCtl, text))
		Die(std::string("command ") + text + ": " + strerror(err));
}

// Lets deferred frees of a cleared store run before the next measurement.
void Settle()
{
	for (int i = 0; i < 2; i++)
		syscall(__NR_membarrier, MEMBARRIER_CMD_GLOBAL, 0, 0);
	usleep(500 * 1000);
}

// Slab and vmalloc together: the store's chunks are slab objects, its
// index and directory come from kvmalloc, which may take either.
long KernelKb()
{
	return MeminfoKb("Slab") + MeminfoKb("VmallocUsed");
}

void PrintMemory(uint32_t digests, long kb0, long kb1, long slab0, long slab1)
{
	const double per = (double)(kb1 - kb0) * 1024 / digests;
	printf("BENCH store_feed memory digests=%u slab_delta_kib=%ld vmalloc_delta_kib=%ld "
	       "bytes_per_digest=%.1f over_raw20=%.2f\n",
	       digests, slab1 - slab0, (kb1 - kb0) - (slab1 - slab0), per, per / 20);
	Row("store_feed", ("kernel_bytes_per_digest_n" + std::to_string(digests)).c_str(), per,
	    "B", 20);
}

} // namespace

int main(int argc, char **argv)
{
	uint32_t digests = 1000000;
	size_t chunk = 131060;
	int rounds = 3;
	bool leave_full = false, memory_only = false;
	for (int i = 1; i + 1 < argc; i += 2) {
		std::string opt = argv[i];
		if (opt == "--digests")
			digests = (uint32_t)strtoul(argv[i + 1], nullptr, 10);
		else if (opt == "--write-size")
			chunk = strtoul(argv[i + 1], nullptr, 10);
		else if (opt == "--rounds")
			rounds = atoi(argv[i + 1]);
		else if (opt == "--memory-only")
			memory_only = atoi(argv[i + 1]) != 0;
		else if (opt == "--leave-full")
			leave_full = atoi(argv[i + 1]) != 0;
		else
			Die("unknown option " + opt);
	}
	if (!digests || chunk < 20 || chunk % 20 || rounds < 1)
		Die("bad arguments");
	setvbuf(stdout, nullptr, _IOLBF, 0);

	struct utsname u;
	uname(&u);
	const double bytes = (double)digests * 20;
	printf("BENCH store_feed setup kernel=%s digests=%u write_size=%zu rounds=%d file_bytes=%.0f\n",
	       u.release, digests, chunk, rounds, bytes);

	WriteDigestFile(digests);
	Command("CLEAR");
	Settle();
	const long kb0 = KernelKb(), slab0 = MeminfoKb("Slab");
	long kb1 = -1, slab1 = -1;

	if (memory_only) {
		double t = Pump(kBin, chunk);
		if (DebugCount("num_block_hash") != (long)digests)
			Die("store holds " + std::to_string(DebugCount("num_block_hash")) +
			    " digests after the feed");
		Settle();
		kb1 = KernelKb();
		slab1 = MeminfoKb("Slab");
		printf("BENCH store_feed feed_once digests=%u seconds=%.4f\n", digests, t);
		PrintMemory(digests, kb0, kb1, slab0, slab1);
		Command("CLEAR");
		Settle();
		unlink(kFile);
		return 0;
	}

	std::vector<double> copy, feed, dup, clear;
	for (int r = 0; r < rounds; r++) {
		// Same loop, same file, same write size: only the destination differs.
		copy.push_back(Pump("/dev/null", chunk));
		feed.push_back(Pump(kBin, chunk));
		long stored = DebugCount("num_block_hash");
		if (stored != (long)digests)
			Die("store holds " + std::to_string(stored) + " digests after the feed");
		if (r == 0) {
			// Tables replaced while growing are freed after a grace period.
			Settle();
			kb1 = KernelKb();
			slab1 = MeminfoKb("Slab");
		}
		dup.push_back(Pump(kBin, chunk));
		if (DebugCount("num_block_hash") != (long)digests)
			Die("duplicates changed the count");
		double t0 = Now();
		Command("CLEAR");
		clear.push_back(Now() - t0);
		Settle();
	}

	const double c = Median(copy), f = Median(feed), d = Median(dup);
	printf("BENCH store_feed copy_devnull seconds_median=%.4f seconds_min=%.4f MiB_per_s=%.1f\n",
	       c, Min(copy), bytes / c / 1048576);
	printf("BENCH store_feed feed_new seconds_median=%.4f seconds_min=%.4f digests_per_s=%.0f MiB_per_s=%.2f\n",
	       f, Min(feed), digests / f, bytes / f / 1048576);
	printf("BENCH store_feed feed_duplicates seconds_median=%.4f seconds_min=%.4f digests_per_s=%.0f\n",
	       d, Min(dup), digests / d);
	printf("BENCH store_feed clear seconds_median=%.4f seconds_min=%.4f\n", Median(clear),
	       Min(clear));
	printf("BENCH store_feed ratio feed_new_over_copy=%.1f feed_duplicates_over_copy=%.1f "
	       "feed_new_over_duplicates=%.2f\n",
	       f / c, d / c, f / d);
	Row("store_feed", "copy_devnull", c, "s");
	Row("store_feed", "feed_new", f, "s", c);
	Row("store_feed", "feed_duplicates", d, "s", c);
	Row("store_feed", "feed_new_rate", digests / f, "digests/s");
	Row("store_feed", "clear", Median(clear), "s");

	PrintMemory(digests, kb0, kb1, slab0, slab1);
	if (leave_full) {
		double t = Pump(kBin, chunk);
		printf("BENCH store_feed left_full digests=%ld seconds=%.4f\n",
		       DebugCount("num_block_hash"), t);
	}
	unlink(kFile);
	return 0;
}
