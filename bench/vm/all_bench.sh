#!/bin/sh
# Benchmark, not a test: the VM benchmarks in one boot, one after another,
# each by its own suite script (shipped as /data/<name>_bench.sh). Each
# loads what it measures and leaves no module loaded; the daemon goes last
# as it leaves its files behind. ZT_BENCH_ONLY, from the kernel command
# line, names the ones to run, comma-separated.
set -u

rc=0
for b in $(echo "${ZT_BENCH_ONLY:-store,hash,exec,net,daemon}" | tr , ' '); do
	echo "BENCH-SUITE $b start"
	if sh "/data/${b}_bench.sh"; then
		echo "BENCH-SUITE $b done"
	else
		echo "BENCH-SUITE $b failed"
		rc=1
	fi
	if grep -qE '^(zentrope|zt_hashtest) ' /proc/modules; then
		echo "all_bench: $b left a module loaded"
		exit 1
	fi
done
exit "$rc"
