#!/bin/sh
# File hashing and file marks through the test-only driver zt_hashtest.ko
# (built with ZT_TEST=1); zentrope.ko itself is not loaded. The tests run on
# every file system mounted at ZT_HASH_DIRS (space separated; hashing_ext4.sh
# mounts its ext4 images there), else on a tmpfs of their own. Then checks
# that the driver unloads and leaves no store cache behind, and that the
# file systems come out of all this without an error recorded.
set -u

if [ -z "${ZT_HASH_DIRS:-}" ]; then
	mkdir -p /mnt/tmpfs
	if ! mount -t tmpfs -o size=256m tmpfs /mnt/tmpfs; then
		echo "hashing: mount tmpfs failed"
		exit 1
	fi
	ZT_HASH_DIRS=/mnt/tmpfs
fi
export ZT_HASH_DIRS

ko=${ZT_MODULE_DIR:-/lib/zentrope}/zt_hashtest.ko
if ! insmod "$ko"; then
	echo "hashing: insmod $ko failed"
	exit 1
fi

# The overlay case is skipped when the kernel has no overlay file system.
modprobe overlay 2>/dev/null

# zt_known_faults=1 on the kernel command line (run-vm.sh --append) also
# runs the tests of faults not fixed yet, which are disabled otherwise.
extra=""
grep -qw 'zt_known_faults=1' /proc/cmdline && extra=--gtest_also_run_disabled_tests

rc=0
zt_guest_hashing --gtest_color=no $extra || rc=1

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

for dir in $ZT_HASH_DIRS; do
	dev=$(awk -v d="$dir" '$2 == d { print $1 }' /proc/mounts)
	umount "$dir" || { echo "hashing: umount $dir failed"; rc=1; }
	case $dev in /dev/loop*) losetup -d "$dev" ;; esac
done
if dmesg | grep -E 'EXT4-fs (error|warning)|JBD2: .*error'; then
	echo "hashing: ext4 reported errors (above)"
	rc=1
fi
[ "$rc" = 0 ] && echo "hashing: driver unloaded cleanly, file systems clean"
exit "$rc"
