// Guest benchmark of the exec check, all in one VM boot, files in tmpfs:
//
//  - exec+wait of a small static program (vfork, execv, waitpid), in
//    batches, with no module loaded, with the module and empty lists, and
//    with the module holding 1,000 block_prog names of absent files and
//    1,000,000 digests in one write (the program unlisted, its marks
//    cached), under strict 0 and 1; then, under strict 1, with the lists
//    cleared and refilled the way a daemon would: 1,000 names of existing
//    files beside the program (so each is listed by its identity too) in
//    multi-token ADDs, and 1,000,000 other digests fed from a generated
//    file in 131,060-byte writes; then once more without the module, so
//    drift shows. Ratios are against the mean of the two module-less runs.
//  - the first exec of an unmarked 10 MiB program (hashed, mark written)
//    against its second (mark read), over fresh copies, with the first
//    lists.
//
// Prints "BENCH exec ..." lines.
//
//   exec_bench [--execs N] [--batches B] [--digests N] [--names N] [--big-mib N]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench_util.h"
#include "module_ctl.h"

namespace {

using namespace zt;
using namespace zt_bench;

const std::string kProg = "/tmp/zt_exec_bench/prog";
const std::string kBig = "/tmp/zt_exec_bench/big";
const std::string kDigests = "/tmp/zt_exec_bench/digests.bin";

[[noreturn]] void Die(const std::string &what)
{
	printf("BENCH exec error=\"%s\"\n", what.c_str());
	exit(1);
}

void Sh(const std::string &cmd)
{
	if (system(cmd.c_str()))
		Die("failed: " + cmd);
}

// Seconds for one exec+wait of @path.
double ExecOnce(const std::string &path)
{
	char *argv[] = { const_cast<char *>(path.c_str()), nullptr };
	double t0 = Now();
	pid_t pid = vfork();
	if (pid == 0) {
		execv(argv[0], argv);
		_exit(127);
	}
	int st;
	if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st))
		Die("exec of " + path + " failed");
	return Now() - t0;
}

// Median over batches of the mean exec+wait time, in microseconds.
double ExecUs(int execs, int batches)
{
	std::vector<double> per;
	ExecOnce(kProg); // marks written, caches warm
	for (int b = 0; b < batches; b++) {
		double t = 0;
		for (int i = 0; i < execs / batches; i++)
			t += ExecOnce(kProg);
		per.push_back(t / (execs / batches) * 1e6);
	}
	return Median(per);
}

// @n random digests, none a program's, as raw 20-byte records.
std::string Digests(int n, uint64_t seed)
{
	std::mt19937_64 rng(seed);
	std::string raw(size_t(n) * 20, '\0');
	for (size_t i = 0; i < raw.size(); i += 8) {
		uint64_t v = rng();
		memcpy(&raw[i], &v, std::min<size_t>(8, raw.size() - i));
	}
	return raw;
}

void ExpectStored(int names, int infos, int digests)
{
	if (DebugCount("num_block_prog") != names || DebugCount("num_block_prog_info") != infos ||
	    DebugCount("num_block_hash") != digests)
		Die("lists hold " + std::to_string(DebugCount("num_block_prog")) + " names, " +
		    std::to_string(DebugCount("num_block_prog_info")) + " identities, " +
		    std::to_string(DebugCount("num_block_hash")) + " digests");
}

void Fill(int names, int digests)
{
	for (int i = 0; i < names; i++)
		if (Cmd("block_prog", "ADD /opt/zt_bench/prog" + std::to_string(i)))
			Die("block_prog ADD failed");
	if (Write(kProcDir + "block_hash_bin", Digests(digests, 7)))
		Die("block_hash_bin write failed");
	ExpectStored(names, 0, digests);
}

// Copies @path into the digest feed in writes of whole records.
void FeedFile(const std::string &path)
{
	std::string err;
	Pump(path, kProcDir + "block_hash_bin", 131060, &err);
	if (!err.empty())
		Die("feeding " + path + ": " + err);
}

// Clears both lists and fills them again as a daemon's files would: names
// of existing files beside the program (its own name none of them), then
// the digests of a generated file.
void RefillMany(int names, int digests)
{
	if (Cmd("block_prog", "CLEAR") || Cmd("block_hash", "CLEAR"))
		Die("CLEAR failed");
	usleep(500000); // the cleared store's deferred frees
	std::vector<std::string> paths;
	for (int i = 0; i < names; i++) {
		paths.push_back(kProg + std::to_string(i));
		close(open(paths.back().c_str(), O_CREAT | O_WRONLY, 0755));
	}
	if (AddAll("block_prog", paths))
		Die("block_prog ADD failed");
	{
		std::string raw = Digests(digests, 8);
		int fd = open(kDigests.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
		if (fd < 0 || write(fd, raw.data(), raw.size()) != ssize_t(raw.size()) || close(fd))
			Die("cannot write " + kDigests);
	}
	FeedFile(kDigests);
	unlink(kDigests.c_str());
	ExpectStored(names, names, digests);
}

} // namespace

int main(int argc, char **argv)
{
	int execs = 2000, batches = 5, digests = 1000000, names = 1000, big_mib = 10;
	for (int i = 1; i + 1 < argc; i += 2) {
		std::string opt = argv[i];
		int v = atoi(argv[i + 1]);
		if (opt == "--execs")
			execs = v;
		else if (opt == "--batches")
			batches = v;
		else if (opt == "--digests")
			digests = v;
		else if (opt == "--names")
			names = v;
		else if (opt == "--big-mib")
			big_mib = v;
		else
			Die("unknown option " + opt);
	}
	if (execs < 1 || batches < 1 || execs < batches || big_mib < 1)
		Die("bad arguments");
	setvbuf(stdout, nullptr, _IOLBF, 0);
	struct utsname u;
	uname(&u);
	printf("BENCH exec setup kernel=%s execs=%d batches=%d names=%d digests=%d cpus=%ld\n",
	       u.release, execs, batches, names, digests, sysconf(_SC_NPROCESSORS_ONLN));
	Sh("mkdir -p /tmp/zt_exec_bench && cp /bin/zt_tool " + kProg);

	ExecUs(execs / 4, 1); // the first hundreds run slower after boot
	const double none1 = ExecUs(execs, batches);
	if (LoadModule("/lib/zentrope/zentrope.ko"))
		Die("cannot load the module");
	const double empty = ExecUs(execs, batches);
	Fill(names, digests);
	const double listed0 = ExecUs(execs, batches);
	if (Cmd("strict", "1"))
		Die("strict 1 failed");
	const double listed1 = ExecUs(execs, batches);

	// Big program: hashed on its first exec, served from its mark after.
	if (Cmd("hash_max_filesize", std::to_string((big_mib + 4) << 20)))
		Die("hash_max_filesize failed");
	std::vector<double> first, second;
	for (int r = 0; r < 3; r++) {
		Sh("cp /bin/zt_tool " + kBig + " && head -c " + std::to_string(big_mib << 20) +
		   " /dev/zero >> " + kBig);
		// A mark is trusted once the coarse clock has passed the change.
		usleep(50000);
		first.push_back(ExecOnce(kBig));
		second.push_back(ExecOnce(kBig));
		unlink(kBig.c_str());
	}
	RefillMany(names, digests);
	const double many1 = ExecUs(execs, batches);
	if (UnloadModule())
		Die("cannot unload the module");
	const double none2 = ExecUs(execs, batches);

	const double base = (none1 + none2) / 2;
	printf("BENCH exec small none_us=%.1f none_again_us=%.1f empty_us=%.1f "
	       "listed_strict0_us=%.1f listed_strict1_us=%.1f listed_many_strict1_us=%.1f\n",
	       none1, none2, empty, listed0, listed1, many1);
	printf("BENCH exec small ratio empty=%.3f listed_strict0=%.3f listed_strict1=%.3f "
	       "listed_many_strict1=%.3f drift=%.3f\n",
	       empty / base, listed0 / base, listed1 / base, many1 / base, none2 / none1);
	printf("BENCH exec big mib=%d first_ms_median=%.1f second_ms_median=%.2f ratio_first_over_second=%.1f\n",
	       big_mib, Median(first) * 1e3, Median(second) * 1e3, Median(first) / Median(second));
	Row("exec", "none", base, "us");
	Row("exec", "empty", empty, "us", base);
	Row("exec", "listed_strict0", listed0, "us", base);
	Row("exec", "listed_strict1", listed1, "us", base);
	Row("exec", "listed_many_strict1", many1, "us", base);
	Row("exec", "none_again", none2, "us", none1);
	Row("exec", "big_second", Median(second) * 1e3, "ms");
	Row("exec", "big_first", Median(first) * 1e3, "ms", Median(second) * 1e3);
	return 0;
}
