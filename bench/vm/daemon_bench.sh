#!/bin/sh
# Benchmark, not a test: the real daemon's start-up, reload and block-log
# throughput (bench/vm/daemon_bench.cc), a storm of 20,000 refusals
# (ZT_BENCH_DAEMON_STORM). Prints "BENCH daemon ..." lines.
set -u
mkdir -p /opt/zentrope/config /var/run /var/log
cp /data/zentroped /data/mk_usr_interp_name_list /opt/zentrope/ &&
	chmod 0755 /opt/zentrope/zentroped /opt/zentrope/mk_usr_interp_name_list || exit 1
printf 'NAME="Debian GNU/Linux"\nVERSION_ID="12"\n' >/etc/os-release
zt_bench_daemon "${ZT_BENCH_DAEMON_STORM:-20000}"
