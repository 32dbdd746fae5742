#!/bin/sh
# The module's file marks out of user space's reach
# (tests/vm/guest/protect_test.cc), on the initramfs's tmpfs and on an ext4
# image from /data/ mounted from a loop device.
set -u

fail() {
	echo "protect: $*"
	exit 1
}

modprobe loop || fail "modprobe loop failed"
modprobe ext4 || fail "modprobe ext4 failed"
mkdir -p /mnt/ext4 /tmp/protect
dev=$(losetup -f) || fail "no free loop device"
losetup "$dev" /data/ext4-b4096-i256.img || fail "losetup failed"
mount -t ext4 "$dev" /mnt/ext4 || fail "mount failed"

rc=0
ZT_PROTECT_DIRS="/tmp/protect /mnt/ext4" zt_guest_protect --gtest_color=no || rc=1

if grep -q '^zentrope ' /proc/modules; then
	echo "protect: zentrope still loaded after the tests"
	rmmod zentrope || rc=1
	rc=1
fi
umount /mnt/ext4 || rc=1
losetup -d "$dev"
if dmesg | grep -E 'EXT4-fs (error|warning)'; then
	echo "protect: ext4 reported errors (above)"
	rc=1
fi
exit "$rc"
