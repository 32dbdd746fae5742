#!/bin/sh
# Benchmark, not a test: exec+wait with and without the module (the guest
# program loads and removes it), with 1,000 names and 1,000,000 digests
# listed two ways, and a 10 MiB program's first exec against its second;
# 2,000 execs per run (ZT_BENCH_EXEC_EXECS). Prints "BENCH exec ..." lines.
set -u
zt_bench_exec --execs "${ZT_BENCH_EXEC_EXECS:-2000}" --batches 5 --digests 1000000 \
	--names 1000 --big-mib 10
