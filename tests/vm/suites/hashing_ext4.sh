#!/bin/sh
# File marks on ext4 through the test-only driver zt_hashtest.ko. Two ext4
# images made on the host (4 KiB blocks with 256-byte inodes, and 1 KiB
# blocks with 128-byte inodes, whose times have whole seconds only) come in
# /data/ and are mounted from loop devices; the ext4 and loop modules are
# the guest kernel's own.
set -u

fail() {
	echo "hashing_ext4: $*"
	exit 1
}

modprobe loop || fail "modprobe loop failed"
modprobe ext4 || fail "modprobe ext4 failed"

dirs=""
for img in /data/ext4-b4096-i256.img /data/ext4-b1024-i128.img; do
	name=${img##*/}
	dir=/mnt/${name%.img}
	mkdir -p "$dir"
	dev=$(losetup -f) || fail "no free loop device"
	losetup "$dev" "$img" || fail "losetup $dev $img failed"
	mount -t ext4 "$dev" "$dir" || fail "mount $dev ($img) failed"
	dirs="$dirs $dir"
done
export ZT_EXT4_DIRS="$dirs"

ko=${ZT_MODULE_DIR:-/lib/zentrope}/zt_hashtest.ko
insmod "$ko" || fail "insmod $ko failed"

# zt_known_faults=1 on the kernel command line (run-vm.sh --append) also
# runs the tests of faults not fixed yet, which are disabled otherwise.
extra=""
grep -qw 'zt_known_faults=1' /proc/cmdline && extra=--gtest_also_run_disabled_tests

rc=0
zt_guest_hashing_ext4 --gtest_color=no $extra || rc=1

rmmod zt_hashtest || { echo "hashing_ext4: rmmod zt_hashtest failed"; rc=1; }

# The file systems must come out of all this without an error recorded.
for dir in $dirs; do
	dev=$(awk -v d="$dir" '$2 == d { print $1 }' /proc/mounts)
	umount "$dir" || { echo "hashing_ext4: umount $dir failed"; rc=1; }
	[ -n "$dev" ] && losetup -d "$dev"
done
if dmesg | grep -E 'EXT4-fs (error|warning)|JBD2: .*error'; then
	echo "hashing_ext4: ext4 reported errors (above)"
	rc=1
fi
[ "$rc" = 0 ] && echo "hashing_ext4: done, file systems clean"
exit "$rc"
