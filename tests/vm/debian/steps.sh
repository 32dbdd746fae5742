#!/bin/bash
# The package and its unit under a real systemd, as an administrator runs
# them. Boot 1: install, refusals in the journal, reloads, a killed daemon,
# stop and start, metrics, an upgrade that keeps an edit; then a reboot
# (exit 100). Boot 2: the rules in force before network-pre.target, remove
# and purge. Each step prints "debian: STEP: ok" or what went wrong.
set -u

cfg=/opt/zentrope/config
failed=0

ok() { echo "debian: $1: ok"; }
fail() {
	echo "debian: $1: FAIL: $2"
	failed=1
}
# Polls the test $1 for up to $2 seconds.
wait_for() {
	local i=0
	until eval "$1"; do
		[ "$i" -ge $(($2 * 10)) ] && return 1
		sleep 0.1
		i=$((i + 1))
	done
}
journal() { journalctl -q -b -u zentroped -o cat --no-pager; }
count() { journal | grep -cF -- "$1"; }
loaded() { [ -d /sys/module/zentrope ]; }
# What a TCP connect to $1:$2 met: "refused" (the rules) or the error.
connect() {
	local err
	err=$(timeout 10 bash -c "exec 3<>/dev/tcp/$1/$2" 2>&1)
	case $err in
	*"Operation not permitted"*) echo refused ;;
	"") echo connected ;;
	*) echo "${err##*: }" ;;
	esac
}
active() { [ "$(systemctl is-active zentroped)" = active ]; }
main_pid() { systemctl show -p MainPID --value zentroped; }

boot1() {
	# The administrator's lists, there before the package: an exec, a
	# connect and a DNS question to refuse.
	mkdir -p $cfg
	cp /bin/true /usr/local/bin/zt-blocked
	echo /usr/local/bin/zt-blocked >$cfg/usr_block_prog.txt
	echo 127.0.0.9 >$cfg/usr_block_ip.txt
	echo blocked.example >$cfg/usr_block_url.txt
	echo 7005 >$cfg/usr_block_port.txt

	local deb
	deb=$(ls /zt/zentrope_*_amd64.deb)
	if DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >/zt/apt.log 2>&1 &&
		[ "$(systemctl is-enabled zentroped)" = enabled ] && wait_for active 60; then
		ok "apt install enables and starts the unit"
	else
		fail "apt install" "$(tail -n 20 /zt/apt.log; systemctl status zentroped --no-pager)"
		return 1
	fi

	local exposure
	exposure=$(systemd-analyze security zentroped.service 2>&1 | tail -n 1)
	if systemd-analyze security --threshold=49 zentroped.service >/dev/null 2>&1; then
		ok "the running unit's sandbox is rated OK (${exposure##*: })"
	else
		fail "sandbox" "$exposure"
	fi

	# env: one execve, where a shell may try a refused program twice.
	env /usr/local/bin/zt-blocked 2>/dev/null && fail exec "a listed program ran"
	[ "$(connect 127.0.0.9 80)" = refused ] || fail connect "127.0.0.9:80 was not refused"
	# One question in one datagram; a resolver asks several times (A and
	# AAAA, retries), as getent below, each refused and logged.
	local q='\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x07blocked\x07example\x00\x00\x01\x00\x01'
	printf "$q" 2>/dev/null >/dev/udp/127.0.0.1/53 && fail dns "the query to 127.0.0.1:53 was sent"
	wait_for '[ "$(count "url:blocked.example")" -ge 1 ]' 30
	local e c d
	e=$(count "Blocking program execing") c=$(count "Blocking ip connecting to 127.0.0.9:80")
	d=$(count "Blocking dnslookuping url:blocked.example")
	if [ "$e$c$d" = 111 ]; then
		ok "a refused exec, connect and DNS query appear once each in the journal"
	else
		fail "journal" "exec $e, connect $c, DNS $d lines (want one each): $(journal | grep Blocking)"
	fi
	if timeout 30 getent hosts blocked.example >/dev/null ||
		! wait_for '[ "$(count "url:blocked.example pid:")" -gt "$d" ]' 30 ||
		! journal | grep -q "dnslookuping url:blocked.example pid:[0-9]* comm:getent "; then
		fail "resolver" "getent's queries for blocked.example were not refused and logged"
	else
		ok "the C library's resolver is refused and logged"
	fi

	# A reload applies an edited usr_ list; a broken one fails the reload
	# and leaves the rules as they were.
	echo 7005 7006 >$cfg/usr_block_port.txt
	if systemctl reload zentroped && wait_for 'grep -q 7006 /proc/sys/kernel/zentrope/block_port' 60; then
		ok "systemctl reload applies an edited usr_ list"
	else
		fail "reload" "7006 not in block_port: $(cat /proc/sys/kernel/zentrope/block_port)"
	fi
	echo 10.0.0.300 >>$cfg/usr_block_ip.txt
	if systemctl reload zentroped 2>/zt/reload.err; then
		fail "broken reload" "systemctl reload succeeded with 10.0.0.300 listed"
	elif ! journal | grep -q "usr_block_ip.txt:2: 10.0.0.300 is not an IPv4 or IPv6 address"; then
		fail "broken reload" "the journal does not name the bad line: $(journal | tail -n 5)"
	elif [ "$(connect 127.0.0.9 80)" != refused ] || ! active; then
		fail "broken reload" "the old rules are not in force"
	else
		ok "a broken list fails systemctl reload and keeps the old rules"
	fi
	echo 127.0.0.9 >$cfg/usr_block_ip.txt

	# Killed outright, the daemon is restarted and takes the module over.
	local pid
	pid=$(main_pid)
	kill -9 "$pid"
	if wait_for '[ "$(main_pid)" != "$pid" ] && [ "$(main_pid)" != 0 ] && active' 60 &&
		wait_for '[ "$(connect 127.0.0.9 80)" = refused ]' 30 &&
		wait_for '[ "$(count "Blocking ip connecting to 127.0.0.9:80")" -ge 3 ]' 30; then
		ok "kill -9 is followed by a restart that takes the module over"
	else
		fail "restart" "main pid $(main_pid) (was $pid), $(systemctl is-active zentroped)"
	fi

	if systemctl stop zentroped && ! loaded && journal | grep -q "Clear block ipv6" &&
		[ "$(connect 127.0.0.9 80)" != refused ]; then
		ok "systemctl stop clears the lists and removes the module"
	else
		fail "stop" "module loaded: $(loaded && echo yes || echo no)"
	fi
	systemctl start zentroped || fail "start" "$(systemctl status zentroped --no-pager)"

	# The restarted daemon counts from 0: one refusal, then its count as
	# node-exporter serves the file.
	local metrics re='^zentrope_refusals_total\{.*op="connecting".*\} 1$'
	connect 127.0.0.9 80 >/dev/null
	if wait_for 'metrics=$(curl -s --max-time 10 http://127.0.0.1:9100/metrics) &&
		echo "$metrics" | grep -E "$re" | grep -q rule=.ip.' 30 && echo "$metrics" | grep -q '^zentrope_module_build_info{'; then
		ok "node-exporter serves the daemon's metrics"
	else
		fail "metrics" "$(echo "$metrics" | grep '^zentrope_' | head -n 20)"
	fi

	# The same package again, over an edited conffile: the edit stays.
	echo edited.example >>$cfg/block_url.txt
	if DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall "$deb" >>/zt/apt.log 2>&1 &&
		grep -qx edited.example $cfg/block_url.txt && wait_for active 60; then
		ok "an upgrade keeps an edited conffile"
	else
		fail "upgrade" "$(tail -n 20 /zt/apt.log)"
	fi
	dpkg -L zentrope >/zt/files
}

boot2() {
	local before
	before=$(systemctl show -p Before --value zentroped)
	case " $before " in
	*" network-pre.target "*) ;;
	*) fail "order" "zentroped.service is not ordered before network-pre.target: $before" ;;
	esac
	local started reached
	started=$(journalctl -b -o cat --no-pager | grep -n -m1 "Started zentroped.service" | cut -d: -f1)
	reached=$(journalctl -b -o cat --no-pager | grep -n -m1 "Reached target network-pre.target" | cut -d: -f1)
	if [ -n "$started" ] && [ -n "$reached" ] && [ "$started" -lt "$reached" ] &&
		[ "$(connect 127.0.0.9 80)" = refused ]; then
		ok "the rules are in force before network-pre.target"
	else
		fail "order" "started at journal line ${started:-none}, network-pre.target at ${reached:-none}"
	fi

	DEBIAN_FRONTEND=noninteractive apt-get remove -y -q zentrope >/zt/apt.log 2>&1
	if ! loaded && ! active; then
		ok "apt remove leaves no module loaded"
	else
		fail "remove" "module loaded: $(loaded && echo yes || echo no); $(tail -n 5 /zt/apt.log)"
	fi
	DEBIAN_FRONTEND=noninteractive apt-get purge -y -q zentrope >>/zt/apt.log 2>&1
	local left
	left=$(while read -r f; do [ -f "$f" ] && echo "$f"; done </zt/files)
	[ -e /var/lib/prometheus/node-exporter/zentrope.prom ] && left="$left the metrics file"
	if [ -z "$left" ] && ! dpkg -s zentrope >/dev/null 2>&1; then
		ok "apt purge leaves no file of the package"
	else
		fail "purge" "left: $left"
	fi
}

case $(cat /zt/boots) in
1) boot1 || failed=1 ;;
2) boot2 ;;
esac
[ "$failed" = 0 ] || journal | tail -n 40
[ "$failed" = 0 ] && [ "$(cat /zt/boots)" = 1 ] && exit 100
exit "$failed"
