#!/bin/sh
# Benchmark, not a test: in-kernel SHA-1 of a 64 MiB file (ZT_BENCH_HASH_MIB)
# against sha1sum, and a cached-mark lookup against a full hash of a 1 MiB
# file, through the test-only driver zt_hashtest.ko. Prints "BENCH ..." lines.
set -u

ko=${ZT_MODULE_DIR:-/lib/zentrope}/zt_hashtest.ko
if ! insmod "$ko"; then
	echo "hash_bench: insmod $ko failed"
	exit 1
fi

rc=0
zt_bench_hash --size-mib "${ZT_BENCH_HASH_MIB:-64}" --small-kib 1024 --rounds 7 \
	--lookups 100 --misses 5 || rc=1

rmmod zt_hashtest || rc=1
exit "$rc"
