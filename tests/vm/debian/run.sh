#!/bin/sh
# zt-suite.service: runs this boot's stage of the Debian suite, and either
# reboots for the next stage or prints the markers run-vm.sh judges and
# powers off.
cd /zt || exit 1
echo
echo "ZT-DEBIAN boot $(cat boots) kernel $(uname -r)"
bash /zt/steps.sh
rc=$?
if [ "$rc" = 100 ]; then
	systemctl reboot
	exit 0
fi
echo "ZT-TAINT $(cat /proc/sys/kernel/tainted)"
echo "ZT-SUITE-EXIT $rc"
sync
systemctl poweroff
