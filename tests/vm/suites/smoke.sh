#!/bin/sh
# Smoke suite: the module loads, its entries appear, it unloads again.
# Runs in the guest as /suite.sh; the host judges the serial log.
set -eu

insmod /lib/zentrope/zentrope.ko
grep '^zentrope ' /proc/modules

# Unload even when a check fails, so the unload path is exercised anyway;
# the gtest verdict is kept and returned.
rc=0
zt_guest_smoke || rc=$?

rmmod zentrope
if grep -q '^zentrope ' /proc/modules; then
	echo "smoke: zentrope still loaded after rmmod"
	exit 1
fi
echo "smoke: module unloaded"
exit "$rc"
