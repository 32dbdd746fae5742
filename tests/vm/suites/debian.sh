#!/bin/sh
# The Debian system on /dev/vda (scripts/vm/debian-image.sh): mounts it,
# brings this boot's package and suite to /zt, and has /init hand over to
# systemd, which runs them as zt-suite.service (tests/vm/debian/run.sh).
# Writes to the disk last until QEMU exits, reboots included.
set -u

for m in virtio_pci virtio_blk crc32c_generic ext4; do
	modprobe "$m" 2>/dev/null
done
i=0
while [ ! -b /dev/vda ] && [ "$i" -lt 100 ]; do
	sleep 0.1
	i=$((i + 1))
done
[ -b /dev/vda ] || { echo "debian: no /dev/vda (is the image attached?)"; exit 1; }
mkdir -p /newroot
mount -t ext4 /dev/vda /newroot || { echo "debian: cannot mount /dev/vda"; exit 1; }

# A panic reboots the machine too: a third boot means something went wrong.
mkdir -p /newroot/zt
boots=$(($(cat /newroot/zt/boots 2>/dev/null || echo 0) + 1))
if [ "$boots" -gt 2 ]; then
	echo "debian: boot $boots; the suite needs two (a panic or a failed stage?)"
	umount /newroot
	exit 1
fi
echo "$boots" >/newroot/zt/boots
cp /data/* /newroot/zt/ || exit 1
echo /newroot >/switch-root
