#!/bin/sh
# The hashing suite (hashing.sh, shipped in /data/) on ext4. Two ext4 images
# made on the host (4 KiB blocks with 256-byte inodes, and 1 KiB blocks with
# 128-byte inodes, whose times have whole seconds only) come in /data/ and
# are mounted from loop devices; the ext4 and loop modules are the guest
# kernel's own.
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
export ZT_HASH_DIRS="$dirs"
exec sh /data/hashing.sh
