// Guest benchmark of the binary digest feed, run in one VM boot with the
// module loaded:
//
//  - feeding N digests (default 1,000,000) from a file in tmpfs into
//    /proc/zentrope/block_hash_bin in writes of 131060 bytes, against the
//    same read/write loop copying that file to /dev/null (the baseline);
//  - feeding them again into the full store (all duplicates);
//  - emptying the store with CLEAR;
//  - the kernel memory the full store takes, from /proc/slabinfo
//    (hash_sha1_node_cache) and /proc/meminfo.
//
// Every figure is printed as one "BENCH store_feed <what> key=value..."
// line; ratios are against the baseline measured in the same run.
//
//   store_feed_bench [--digests N] [--write-size BYTES] [--rounds R] [--leave-full 1]
//
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
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
#include "bench_util.h"

namespace {

using namespace zt_bench;

const char *const kBin = "/proc/zentrope/block_hash_bin";
const char *const kCtl = "/proc/sys/kernel/zentrope/block_hash";
const char *const kDebug = "/proc/sys/kernel/zentrope/debug_data";
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
	std::vector<char> buf(chunk);
	int in = open(kFile, O_RDONLY);
	int out = open(dest, O_WRONLY);
	if (in < 0 || out < 0)
		Die(std::string("open for pump to ") + dest + ": " + strerror(errno));
	double t0 = Now();
	for (;;) {
		ssize_t n = read(in, buf.data(), buf.size());
		if (n < 0)
			Die(std::string("read ") + kFile + ": " + strerror(errno));
		if (n == 0)
			break;
		ssize_t w = write(out, buf.data(), n);
		if (w != n)
			Die(std::string("write to ") + dest + " returned " + std::to_string(w) +
			    (w < 0 ? std::string(": ") + strerror(errno) : ""));
	}
	double t = Now() - t0;
	close(in);
	close(out);
	return t;
}

void Command(const char *text)
{
	int fd = open(kCtl, O_WRONLY);
	if (fd < 0 || write(fd, text, strlen(text)) != (ssize_t)strlen(text))
		Die(std::string("command ") + text + ": " + strerror(errno));
	close(fd);
}

// Lets deferred frees of a cleared store run before the next measurement.
void Settle()
{
	for (int i = 0; i < 2; i++)
		syscall(__NR_membarrier, MEMBARRIER_CMD_GLOBAL, 0, 0);
	usleep(500 * 1000);
}

long StoredDigests()
{
	std::ifstream f(kDebug);
	std::string line;
	while (std::getline(f, line))
		if (line.rfind("num_block_hash:", 0) == 0)
			return strtol(line.c_str() + 15, nullptr, 10);
	return -1;
}

struct Slab {
	bool found = false;
	long active_objs = 0, num_objs = 0, objsize = 0, objperslab = 0,
	     pagesperslab = 0, active_slabs = 0, num_slabs = 0;
};

// "name <active_objs> <num_objs> <objsize> <objperslab> <pagesperslab>
//  : tunables ... : slabdata <active_slabs> <num_slabs> <sharedavail>"
Slab ReadSlab(const std::string &cache)
{
	std::ifstream f("/proc/slabinfo");
	std::string line;
	Slab s;
	while (std::getline(f, line)) {
		std::istringstream in(line);
		std::string name, word;
		in >> name;
		if (name != cache)
			continue;
		in >> s.active_objs >> s.num_objs >> s.objsize >> s.objperslab >> s.pagesperslab;
		while (in >> word && word != "slabdata") {
		}
		in >> s.active_slabs >> s.num_slabs;
		s.found = true;
	}
	return s;
}

long MeminfoKb(const std::string &key)
{
	std::ifstream f("/proc/meminfo");
	std::string name;
	long value;
	std::string unit;
	while (f >> name >> value) {
		std::getline(f, unit);
		if (name == key + ":")
			return value;
	}
	return -1;
}

} // namespace

int main(int argc, char **argv)
{
	uint32_t digests = 1000000;
	size_t chunk = 131060;
	int rounds = 3;
	bool leave_full = false;
	for (int i = 1; i + 1 < argc; i += 2) {
		std::string opt = argv[i];
		if (opt == "--digests")
			digests = (uint32_t)strtoul(argv[i + 1], nullptr, 10);
		else if (opt == "--write-size")
			chunk = strtoul(argv[i + 1], nullptr, 10);
		else if (opt == "--rounds")
			rounds = atoi(argv[i + 1]);
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
	const Slab empty = ReadSlab("hash_sha1_node_cache");
	const long slab_kb0 = MeminfoKb("Slab");

	std::vector<double> copy, feed, dup, clear;
	Slab full;
	long slab_kb1 = -1;
	for (int r = 0; r < rounds; r++) {
		// Same loop, same file, same write size: only the destination differs.
		copy.push_back(Pump("/dev/null", chunk));
		feed.push_back(Pump(kBin, chunk));
		long stored = StoredDigests();
		if (stored != (long)digests)
			Die("store holds " + std::to_string(stored) + " digests after the feed");
		if (r == 0) {
			full = ReadSlab("hash_sha1_node_cache");
			slab_kb1 = MeminfoKb("Slab");
		}
		dup.push_back(Pump(kBin, chunk));
		if (StoredDigests() != (long)digests)
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

	if (!full.found) {
		printf("BENCH store_feed memory error=\"no hash_sha1_node_cache line in /proc/slabinfo\"\n");
		return 1;
	}
	const long page = sysconf(_SC_PAGESIZE);
	// slabinfo's objsize is the slot, alignment included; sysfs also has
	// the size of the node itself.
	long node_bytes = -1;
	std::ifstream("/sys/kernel/slab/hash_sha1_node_cache/object_size") >> node_bytes;
	const long objects = full.active_objs - empty.active_objs;
	const long pages = (full.num_slabs - empty.num_slabs) * full.pagesperslab;
	printf("BENCH store_feed memory objects=%ld objsize=%ld objects_bytes=%ld slab_pages=%ld "
	       "slab_bytes=%ld objperslab=%ld pagesperslab=%ld node_struct_bytes=%ld\n",
	       objects, full.objsize, objects * full.objsize, pages, pages * page,
	       full.objperslab, full.pagesperslab, node_bytes);
	printf("BENCH store_feed memory_per_digest slot_bytes=%.1f slab_bytes=%.1f "
	       "slab_over_raw20=%.2f slab_over_node_struct=%.2f meminfo_slab_delta_kib=%ld\n",
	       (double)full.objsize, (double)pages * page / digests,
	       (double)pages * page / digests / 20.0,
	       node_bytes > 0 ? (double)pages * page / digests / node_bytes : 0.0,
	       slab_kb1 - slab_kb0);
	Row("store_feed", "slab_bytes_per_digest", (double)pages * page / digests, "B", 20);
	if (leave_full) {
		double t = Pump(kBin, chunk);
		printf("BENCH store_feed left_full digests=%ld seconds=%.4f\n", StoredDigests(), t);
	}
	unlink(kFile);
	return 0;
}
