#!/bin/sh
# Demo suite: the real daemon with the default configuration. It installs
# /opt/zentrope as an administrator would, starts zentroped, and shows
# listed programs, connections and DNS names being refused while the block
# log grows line by line; then a reload and the stop. Runs in the guest as
# /suite.sh; exits non-zero when something does not behave as shown.
#
# The default configuration keeps the daemon in the foreground (daemon = 0,
# as zentroped.service runs it), with the daemon log and the block log both
# on its standard output. The guest has no systemd: the daemon runs in the
# background of this script with that output going to a file, and
# `tail -f` of the file shows what `journalctl -fu zentroped` would.
set -u

dir=/opt/zentrope
ctl=/proc/sys/kernel/zentrope
out=/var/log/zentroped.out
problems=0

# Prints a command line like a terminal would, then runs it.
run() {
	echo "\$ $1"
	sh -c "$1" 2>&1
	rc=$?
	[ "$rc" -ne 0 ] && echo "(exit status $rc)"
	return "$rc"
}

unexpected() {
	echo "demo: UNEXPECTED: $1"
	problems=$((problems + 1))
}

# Waits up to $2 seconds for a command to succeed.
wait_for() {
	i=0
	while ! sh -c "$1" >/dev/null 2>&1; do
		i=$((i + 1))
		[ "$i" -gt $(($2 * 5)) ] && return 1
		sleep 0.2
	done
}

echo "== install under $dir (as an administrator would)"
mkdir -p $dir/config $dir/demo /var/run /var/log
for f in zentroped mk_usr_interp_name_list; do
	cp /data/$f $dir/ && chmod 0755 $dir/$f
done
cp /data/*.txt $dir/config/
printf 'NAME="Debian GNU/Linux"\nVERSION_ID="12"\n' >/etc/os-release
# The program the default block_prog.txt names.
cp /bin/busybox $dir/demo/blocked-tool
run "ls $dir $dir/config"
run "grep -v '^;' $dir/config/config.txt | grep ."

echo
echo "== start the daemon in the foreground, as zentroped.service does; it picks"
echo "== the build of this kernel. Its output (under systemd: the journal) goes to $out"
echo "\$ $dir/zentroped >$out 2>&1 &"
$dir/zentroped >$out 2>&1 &
daemon_pid=$!
wait_for "grep -q 'ulog SUCC' $out" 120 || unexpected "no lists pushed"
sleep 2
run "grep '^zentrope ' /proc/modules"
run "cat $out"
run "cat $ctl/block_prog $ctl/block_url $ctl/block_ipv4 $ctl/block_ipv6"

echo
echo "== its output as it grows, block-log lines among it (journalctl -fu zentroped)"
tail -n 0 -f $out &
tail_pid=$!
sleep 1

echo
echo "== a listed program: refused at exec"
if run "$dir/demo/blocked-tool echo this must not run"; then
	unexpected "the listed program ran"
fi
sleep 1
echo
echo "== a listed address: refused at connect"
if run "nc -w 2 192.0.2.1 80 </dev/null"; then unexpected "connect was allowed"; fi
sleep 1
echo
echo "== a listed domain: its DNS query is refused"
if run "nslookup blocked.example 127.0.0.1"; then unexpected "the query went out"; fi
sleep 1

echo
echo "== add a domain to the administrator's list and reload (SIGUSR1)"
run "echo also-blocked.example >>$dir/config/usr_block_url.txt"
run "kill -USR1 \$(cat /var/run/zentrope_pid)"
wait_for "grep -q also-blocked $ctl/block_url" 60 || unexpected "reload did not add the domain"
run "cat $ctl/block_url"
if run "nslookup also-blocked.example 127.0.0.1"; then unexpected "the query went out"; fi
sleep 2
kill "$tail_pid" 2>/dev/null

lines=$(grep -c ' Blocking ' $out)
echo
echo "== $lines block-log lines"
[ "$lines" -ge 4 ] || unexpected "expected at least 4 block-log lines, found $lines"
grep -q 'Blocking program execing .*blocked-tool' $out || unexpected "no exec line"
grep -q 'Blocking ip connecting to 192.0.2.1:80 ' $out || unexpected "no connect line"
grep -q 'Blocking dnslookuping url:blocked.example ' $out || unexpected "no DNS line"
grep -q 'Blocking dnslookuping url:also-blocked.example ' $out || unexpected "no DNS line after the reload"

echo
echo "== stop (SIGTERM): the lists are cleared and the module removed"
run "kill -TERM \$(cat /var/run/zentrope_pid)"
wait "$daemon_pid"
status=$?
echo "(zentroped exited with status $status)"
[ "$status" -eq 0 ] || unexpected "zentroped exited with status $status"
wait_for "! grep -q '^zentrope ' /proc/modules" 60 || unexpected "module still loaded"
run "tail -n 9 $out"
run "grep -c '^zentrope ' /proc/modules"

echo
if [ "$problems" -ne 0 ]; then
	echo "demo: $problems step(s) did not behave as expected"
	exit 1
fi
echo "demo: every step behaved as expected"
