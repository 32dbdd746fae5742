#!/bin/sh
# The binary digest feed /proc/zentrope/block_hash_{bin,text}: loads the
# module, runs the guest test program, then fills the store with 1,000,000
# digests and times the unload (printed, not judged), and checks that the
# module, its files and its node cache are gone afterwards.
set -u

ctl=/proc/sys/kernel/zentrope
ko=${ZT_MODULE_DIR:-/lib/zentrope}/zentrope.ko
if ! insmod "$ko"; then
	echo "hash_feed: insmod $ko failed"
	exit 1
fi

rc=0
zt_guest_hash_feed --gtest_color=no || rc=1

# Unloading a full store: 1,000,000 digests fed in the guest.
if ! zt_guest_hash_feed --feed 1000000; then
	echo "hash_feed: feeding 1000000 digests failed"
	rc=1
fi
stored=$(sed -n 's/^num_block_hash://p' "$ctl/debug_data")
echo "hash_feed: store holds $stored digests before rmmod"
if [ "$stored" != 1000000 ]; then
	echo "hash_feed: expected 1000000 digests in the store"
	rc=1
fi
grep '^hash_sha1_node_cache ' /proc/slabinfo

t0=$(cut -d' ' -f1 /proc/uptime)
rmmod zentrope
rmrc=$?
t1=$(cut -d' ' -f1 /proc/uptime)
echo "hash_feed: rmmod with $stored digests took $(awk "BEGIN { printf \"%.2f\", $t1 - $t0 }") s (exit $rmrc)"
if [ "$rmrc" != 0 ]; then
	echo "hash_feed: rmmod zentrope failed"
	rc=1
fi
if grep -q '^zentrope ' /proc/modules; then
	echo "hash_feed: zentrope still loaded after rmmod"
	rc=1
fi
for d in $ctl /proc/zentrope; do
	if [ -e "$d" ]; then
		echo "hash_feed: $d still exists after rmmod"
		rc=1
	fi
done
# The node cache is destroyed at unload; it stays only when nodes leaked.
if grep -q '^hash_sha1_node_cache ' /proc/slabinfo; then
	echo "hash_feed: hash_sha1_node_cache still exists after rmmod"
	rc=1
fi
[ "$rc" = 0 ] && echo "hash_feed: module unloaded cleanly"
exit "$rc"
