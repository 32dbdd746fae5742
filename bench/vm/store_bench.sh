#!/bin/sh
# Benchmark, not a test: feeding 1,000,000 digests (ZT_BENCH_STORE_DIGESTS)
# through /proc/zentrope/block_hash_bin against copying the same file to
# /dev/null, the kernel memory the store takes at 1,000,000 and at
# 10,000,000 digests (ZT_BENCH_STORE_BIG), and the unload of a full store.
# Prints "BENCH ..." lines.
set -u

digests=${ZT_BENCH_STORE_DIGESTS:-1000000}
big=${ZT_BENCH_STORE_BIG:-10000000}

ko=${ZT_MODULE_DIR:-/lib/zentrope}/zentrope.ko
if ! insmod "$ko"; then
	echo "store_bench: insmod $ko failed"
	exit 1
fi

rc=0
zt_bench_store_feed --digests "$big" --memory-only 1 || rc=1
zt_bench_store_feed --digests "$digests" --write-size 131060 --rounds 3 --leave-full 1 || rc=1

# The store was left full: the unload frees every digest.
stored=$(sed -n 's/^num_block_hash://p' /proc/sys/kernel/zentrope/debug_data)
t0=$(cut -d' ' -f1 /proc/uptime)
rmmod zentrope || rc=1
t1=$(cut -d' ' -f1 /proc/uptime)
secs=$(awk "BEGIN { printf \"%.2f\", $t1 - $t0 }")
echo "BENCH store_feed rmmod_full_store digests=$stored seconds=$secs"
echo "BENCH-ROW store_feed rmmod_full_store $secs s"
if grep -q '^zentrope ' /proc/modules; then
	echo "store_bench: zentrope still loaded after rmmod"
	rc=1
fi
exit "$rc"
