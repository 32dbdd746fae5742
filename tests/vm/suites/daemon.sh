#!/bin/sh
# The real daemon (tests/vm/guest/daemon_test.cc), installed under
# /opt/zentrope as an administrator would: the bundled program, the
# interpreter-list tool and the default configuration.
set -u

mkdir -p /opt/zentrope/config /var/run /var/log || exit 1
for f in zentroped zentroped-kylin mk_usr_interp_name_list; do
	cp /data/$f /opt/zentrope/ && chmod 0755 /opt/zentrope/$f || exit 1
done
cp /data/*.txt /opt/zentrope/config/ || exit 1
printf 'NAME="Debian GNU/Linux"\nVERSION_ID="12"\nID=debian\n' >/etc/os-release

rc=0
zt_guest_daemon --gtest_color=no || rc=1

if grep -q '^zentrope ' /proc/modules; then
	echo "daemon: zentrope still loaded after the tests"
	rmmod zentrope || echo "daemon: rmmod zentrope failed"
	rc=1
fi
exit "$rc"
