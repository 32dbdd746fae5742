#!/bin/sh
# The block-event channel through the test-only driver zt_evtest.ko (built
# with ZT_TEST=1); zentrope.ko itself is not loaded. The guest program ends
# by unloading the driver (the listener must get acknowledgement 32), so
# here only a leftover is removed and reported.
set -u

ko=${ZT_MODULE_DIR:-/lib/zentrope}/zt_evtest.ko
if ! insmod "$ko"; then
	echo "events: insmod $ko failed"
	exit 1
fi

rc=0
zt_guest_listener --gtest_color=no || rc=1

if grep -q '^zt_evtest ' /proc/modules; then
	echo "events: zt_evtest still loaded after the listener's unload test"
	rmmod zt_evtest || echo "events: rmmod zt_evtest failed"
	rc=1
fi
if [ -e /sys/kernel/debug/zt_evtest ]; then
	echo "events: debugfs directory left behind"
	rc=1
fi
[ "$rc" = 0 ] && echo "events: driver unloaded cleanly"
exit "$rc"
