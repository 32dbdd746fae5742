#!/bin/sh
# Program enforcement on real programs (tests/vm/guest/exec_test.cc): the
# guest program loads and removes the shipped module itself.
set -u

rc=0
zt_guest_exec --gtest_color=no || rc=1

if grep -q '^zentrope ' /proc/modules; then
	echo "exec: zentrope still loaded after the tests"
	rmmod zentrope || echo "exec: rmmod zentrope failed"
	rc=1
fi
exit "$rc"
