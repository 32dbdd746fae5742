#!/bin/sh
# File hashing and file marks through the test-only driver zt_hashtest.ko
# (built with ZT_TEST=1); zentrope.ko itself is not loaded. Then checks that
# the driver unloads and leaves no store cache behind.
set -u

ko=${ZT_MODULE_DIR:-/lib/zentrope}/zt_hashtest.ko
if ! insmod "$ko"; then
	echo "hashing: insmod $ko failed"
	exit 1
fi

# The overlay case is skipped when the kernel has no overlay file system.
modprobe overlay 2>/dev/null

rc=0
zt_guest_hashing --gtest_color=no || rc=1

if ! rmmod zt_hashtest; then
	echo "hashing: rmmod zt_hashtest failed"
	rc=1
fi
if grep -q '^zt_hashtest ' /proc/modules; then
	echo "hashing: zt_hashtest still loaded after rmmod"
	rc=1
fi
if [ -e /sys/kernel/debug/zt_hashtest ]; then
	echo "hashing: debugfs directory left behind"
	rc=1
fi
if grep -q '^hash_sha1_node_cache ' /proc/slabinfo; then
	echo "hashing: hash_sha1_node_cache still exists after rmmod"
	rc=1
fi
[ "$rc" = 0 ] && echo "hashing: driver unloaded cleanly"
exit "$rc"
