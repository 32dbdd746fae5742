#!/bin/sh
# The connection filter and DNS inspection (tests/vm/guest/net_test.cc) on
# the guest's loopback; the guest program loads and removes the module.
set -u

rc=0
zt_guest_net --gtest_color=no || rc=1

if grep -q '^zentrope ' /proc/modules; then
	echo "net: zentrope still loaded after the tests"
	rmmod zentrope || echo "net: rmmod zentrope failed"
	rc=1
fi
exit "$rc"
