#!/bin/sh
# Soak run of the real daemon (tests/vm/guest/soak.cc), installed under
# /opt/zentrope as an administrator would. Its length comes from the
# kernel command line, zt_soak_seconds=N (default 600).
set -u

secs=600
for arg in $(cat /proc/cmdline); do
	case $arg in zt_soak_seconds=*) secs=${arg#zt_soak_seconds=} ;; esac
done

mkdir -p /opt/zentrope/config /var/run /var/log || exit 1
for f in zentroped mk_usr_interp_name_list; do
	cp /data/$f /opt/zentrope/ && chmod 0755 /opt/zentrope/$f || exit 1
done
printf 'NAME="Debian GNU/Linux"\nVERSION_ID="12"\nID=debian\n' >/etc/os-release

rc=0
zt_soak "$secs" || rc=1

if grep -q '^zentrope ' /proc/modules; then
	echo "soak: zentrope still loaded at the end"
	rmmod zentrope || echo "soak: rmmod zentrope failed"
	rc=1
fi
exit "$rc"
