#!/bin/sh
# The control entries under /proc/sys/kernel/zentrope/ through the real
# files: loads the module, runs the guest test program, unloads it and
# checks that nothing of the module is left behind.
set -u

ko=${ZT_MODULE_DIR:-/lib/zentrope}/zentrope.ko
if ! insmod "$ko"; then
	echo "ctl_files: insmod $ko failed"
	exit 1
fi

rc=0
zt_guest_ctl_files --gtest_color=no || rc=1

if ! rmmod zentrope; then
	echo "ctl_files: rmmod zentrope failed"
	rc=1
fi
if grep -q '^zentrope ' /proc/modules; then
	echo "ctl_files: zentrope still loaded after rmmod"
	rc=1
fi
for d in /proc/sys/kernel/zentrope /proc/zentrope; do
	if [ -e "$d" ]; then
		echo "ctl_files: $d still exists after rmmod"
		rc=1
	fi
done
[ "$rc" = 0 ] && echo "ctl_files: module unloaded cleanly"
exit "$rc"
