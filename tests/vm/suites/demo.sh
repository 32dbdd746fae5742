#!/bin/sh
# Demo suite: loads the module and shows control-file commands taking
# effect, each command echoed with what it printed and its exit status.
# Runs in the guest as /suite.sh. Exits non-zero when a command does not
# behave as shown in the comments, so the demo's verdict means something.
set -u

ctl=/proc/sys/kernel/zentrope
problems=0

# Runs one shell command line, prints it like a terminal would, then its
# output and, when it failed, its exit status. Returns that status.
run() {
	echo "\$ $1"
	out=$(sh -c "$1" 2>&1)
	rc=$?
	[ -n "$out" ] && echo "$out"
	[ "$rc" -ne 0 ] && echo "(exit status $rc)"
	return "$rc"
}

# Notes a command that did not do what the demo expects.
unexpected() {
	echo "demo: UNEXPECTED: $1"
	problems=$((problems + 1))
}

expect_ok() {
	run "$1" || unexpected "'$1' failed"
}

# Checks that a control file's text contains (or lacks) a string.
expect_listed() {
	grep -q -- "$2" "$1" || unexpected "$1 does not list $2"
}
expect_unlisted() {
	if grep -q -- "$2" "$1"; then unexpected "$1 still lists $2"; fi
}

echo "== load the module"
expect_ok "insmod /lib/zentrope/zentrope.ko"
expect_ok "ls $ctl /proc/zentrope"

echo
echo "== IPv4 addresses"
expect_ok "echo 'ADD 10.0.0.1 10.0.0.2' > $ctl/block_ipv4"
expect_ok "cat $ctl/block_ipv4"
expect_listed "$ctl/block_ipv4" 10.0.0.2

echo
echo "== ports"
expect_ok "echo 'ADD 80 443' > $ctl/block_port"
expect_ok "cat $ctl/block_port"
expect_listed "$ctl/block_port" 443

echo
echo "== URLs"
expect_ok "echo 'ADD example.com' > $ctl/block_url"
expect_ok "cat $ctl/block_url"

echo
echo "== file digests (SHA-1; the list is write-only, read it back as text)"
hash=da39a3ee5e6b4b0d3255bfef95601890afd80709
expect_ok "echo 'ADD $hash' > $ctl/block_hash"
expect_ok "cat /proc/zentrope/block_hash_text"
expect_listed /proc/zentrope/block_hash_text "$hash"

echo
echo "== programs"
expect_ok "echo 'ADD /bin/busybox' > $ctl/block_prog"
expect_ok "cat $ctl/block_prog"

echo
echo "== counters"
expect_ok "cat $ctl/debug_data"

echo
echo "== strict switch"
expect_ok "cat $ctl/strict"
expect_ok "echo 1 > $ctl/strict"
expect_ok "cat $ctl/strict"
[ "$(cat $ctl/strict)" = 1 ] || unexpected "strict does not read back 1"
expect_ok "echo 0 > $ctl/strict"

echo
echo "== a refused command: not an IPv4 address"
if run "echo 'ADD 999.1.1.1' > $ctl/block_ipv4"; then
	unexpected "ADD 999.1.1.1 was accepted"
fi
expect_unlisted "$ctl/block_ipv4" 999.1.1.1

echo
echo "== CLEAR empties a list"
expect_ok "echo CLEAR > $ctl/block_ipv4"
expect_ok "cat $ctl/block_ipv4"
expect_unlisted "$ctl/block_ipv4" 10.0.0.1
expect_ok "cat $ctl/debug_data"

echo
echo "== unload"
expect_ok "rmmod zentrope"

echo
if [ "$problems" -ne 0 ]; then
	echo "demo: $problems command(s) did not behave as expected"
	exit 1
fi
echo "demo: every command behaved as expected"
