#!/bin/sh
# The diverted kernel functions behave as without the module
# (tests/vm/guest/hooks_test.cc). With the hooks build in the guest
# (/lib/zentrope/hooks/zentrope.ko, suite hooks_counted) that build is
# tested and its call counters are checked too; otherwise the shipped module.
set -u

if [ -f /lib/zentrope/hooks/zentrope.ko ]; then
	set -- --ko /lib/zentrope/hooks/zentrope.ko --counters
else
	set -- --ko /lib/zentrope/zentrope.ko
fi
echo "hooks: testing $2"

rc=0
zt_guest_hooks "$@" --gtest_color=no || rc=1

if grep -q '^zentrope ' /proc/modules; then
	echo "hooks: zentrope still loaded after the tests"
	rmmod zentrope || echo "hooks: rmmod zentrope failed"
	rc=1
fi
exit "$rc"
