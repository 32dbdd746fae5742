#!/bin/sh
# Module start-up and removal (tests/vm/guest/lifecycle_test.cc): repeated
# loads, a load failing at the fifth hook, the parameters, the one-shot
# hook removal and an unload waiting for a task inside a hooked call.
# Needs the shipped module and the badhook and hooks builds.
set -u

for ko in zentrope.ko badhook/zentrope.ko hooks/zentrope.ko; do
	if [ ! -f "/lib/zentrope/$ko" ]; then
		echo "lifecycle: /lib/zentrope/$ko missing"
		exit 1
	fi
done

rc=0
zt_guest_lifecycle --gtest_color=no || rc=1

if grep -q '^zentrope ' /proc/modules; then
	echo "lifecycle: zentrope still loaded after the tests"
	rmmod zentrope || echo "lifecycle: rmmod zentrope failed"
	rc=1
fi
exit "$rc"
