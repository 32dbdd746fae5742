#!/bin/sh
# mmdebstrap customize hook for the Debian guest image: $1 is the new root.
# A quiet, offline system whose one job at boot is zt-suite.service.
set -eu
root=$1

echo zt-debian >"$root/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 zt-debian\n::1 localhost\n' >"$root/etc/hosts"
printf '/dev/vda / ext4 rw,errors=remount-ro 0 1\n' >"$root/etc/fstab"
# No network device: DNS questions go to the loopback, where the module
# sees them leave.
printf 'nameserver 127.0.0.1\n' >"$root/etc/resolv.conf"
# A persistent journal, so the suite reads the boot before the reboot too.
mkdir -p "$root/var/log/journal"

# Nothing on the console but the kernel and the suite; no timers that
# would run apt or scrub the disk in the middle of it.
for u in serial-getty@ttyS0.service getty@tty1.service apt-daily.timer \
	apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer dpkg-db-backup.timer \
	systemd-timesyncd.service; do
	ln -sf /dev/null "$root/etc/systemd/system/$u"
done

# The suite that the initramfs copies to /zt at every boot.
cat >"$root/etc/systemd/system/zt-suite.service" <<'UNIT'
[Unit]
Description=zentrope guest suite
ConditionPathExists=/zt/run.sh
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/bin/sh /zt/run.sh
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyS0
TimeoutStartSec=infinity

[Install]
WantedBy=multi-user.target
UNIT
mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
ln -sf ../zt-suite.service "$root/etc/systemd/system/multi-user.target.wants/zt-suite.service"
rm -rf "$root/var/cache/apt/archives/"*.deb "$root/var/lib/apt/lists/"*_Packages
