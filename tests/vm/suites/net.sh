#!/bin/sh
# The connection filter and DNS inspection (tests/vm/guest/net_test.cc) on
# the guest's loopback; the guest program loads and removes the module.
set -u

# The dynamic program finds the host's loader and C library where its
# loader path and the loader's built-in search path name them.
mkdir -p /lib64 /lib/x86_64-linux-gnu
cp /data/ld-linux-x86-64.so.2 /lib64/ && cp /data/libc.so.6 /lib/x86_64-linux-gnu/ &&
	cp /data/zt_tool_dyn /bin/ &&
	chmod 0755 /lib64/ld-linux-x86-64.so.2 /lib/x86_64-linux-gnu/libc.so.6 /bin/zt_tool_dyn ||
	{ echo "net: cannot install the loader"; exit 1; }

rc=0
zt_guest_net --gtest_color=no || rc=1

if grep -q '^zentrope ' /proc/modules; then
	echo "net: zentrope still loaded after the tests"
	rmmod zentrope || echo "net: rmmod zentrope failed"
	rc=1
fi
exit "$rc"
