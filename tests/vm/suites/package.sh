#!/bin/sh
# The Debian package (scripts/package.sh, /data/zentrope_*_amd64.deb) in a
# guest with neither systemd nor dpkg: unpacked with busybox dpkg-deb, its
# tree checked, its maintainer scripts run by hand in the order dpkg runs
# them, the daemon run the way its unit has systemd run it
# (tests/vm/guest/package_test.cc), and a removal and a purge that leave
# nothing behind. Last, the scripts' systemd branch against a stand-in
# systemctl that records its calls.
set -u

rc=0
fail() {
	echo "package: FAIL: $*"
	rc=1
}
step() {
	echo
	echo "== $*"
}
# Runs a maintainer script as dpkg would; a non-zero status fails.
script() {
	name=$1
	shift
	sh "/tmp/control/$name" "$@" || fail "$name $* exited with $?"
}
# Waits up to $2 seconds for the command $1 to succeed.
wait_for() {
	i=0
	while ! sh -c "$1" >/dev/null 2>&1; do
		i=$((i + 1))
		[ "$i" -gt $(($2 * 10)) ] && return 1
		sleep 0.1
	done
}
mode() {
	stat -c '%a %u:%g' "$1" 2>/dev/null
}

set -- /data/zentrope_*_amd64.deb
[ $# -eq 1 ] && [ -f "$1" ] || { echo "package: FAIL: no single .deb in /data"; exit 1; }
deb=$1
version=${deb##*/zentrope_}
version=${version%_amd64.deb}
mkdir -p /var/run /var/log
printf 'NAME="Debian GNU/Linux"\nVERSION_ID="12"\nID=debian\n' >/etc/os-release

step "control part of ${deb##*/}"
mkdir -p /tmp/control
dpkg-deb -e "$deb" /tmp/control || fail "dpkg-deb -e"
field() {
	sed -n "s/^$1: //p" /tmp/control/control
}
for kv in Package=zentrope Version="$version" Architecture=amd64 Section=admin Priority=optional; do
	[ "$(field "${kv%%=*}")" = "${kv#*=}" ] || fail "control: ${kv%%=*} is '$(field "${kv%%=*}")'"
done
[ -z "$(field Depends)" ] || fail "control: Depends: $(field Depends) (the daemon is static)"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "control: no Maintainer or Description"
for s in postinst prerm postrm; do
	[ -x "/tmp/control/$s" ] && [ "$(head -n 1 "/tmp/control/$s")" = "#!/bin/sh" ] ||
		fail "maintainer script $s missing or not /bin/sh"
done
cat /tmp/control/control

step "data part: exactly the installation, owned by root"
dpkg-deb -c "$deb" >/tmp/contents || fail "dpkg-deb -c"
awk '$2 != "root/root" { print "package: FAIL: not root/root: " $0 }' /tmp/contents | grep . && rc=1
awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print "package: FAIL: directory mode: " $0 }' /tmp/contents |
	grep . && rc=1
# Regular files as "mode path"; the configuration is every conffile.
awk '$1 ~ /^-/ { p = $NF; sub(/^\.\//, "/", p); print $1, p }' /tmp/contents | sort >/tmp/files
{
	echo "-rwxr-xr-x /opt/zentrope/mk_usr_interp_name_list"
	echo "-rwxr-xr-x /opt/zentrope/zentroped"
	echo "-rw-r--r-- /lib/systemd/system/zentroped.service"
	echo "-rw-r--r-- /usr/share/man/man8/zentroped.8.gz"
	sed 's/^/-rw-r--r-- /' /tmp/control/conffiles
} | sort >/tmp/want
diff /tmp/want /tmp/files || fail "the package's files differ from the installation (- wanted, + found)"
grep -qx /opt/zentrope/config/config.txt /tmp/control/conffiles || fail "config.txt is no conffile"
grep -v '^/opt/zentrope/config/[a-z_]*\.txt$' /tmp/control/conffiles | grep . &&
	fail "conffiles outside /opt/zentrope/config/*.txt"

step "unpack into / and check the tree"
dpkg-deb -x "$deb" / || fail "dpkg-deb -x"
for f in /opt/zentrope/zentroped /opt/zentrope/mk_usr_interp_name_list; do
	[ "$(mode "$f")" = "755 0:0" ] || fail "$f: mode $(mode "$f")"
done
for f in $(cat /tmp/control/conffiles) /lib/systemd/system/zentroped.service \
	/usr/share/man/man8/zentroped.8.gz; do
	[ "$(mode "$f")" = "644 0:0" ] || fail "$f: mode $(mode "$f")"
done
# Every main list file the configuration names is there (usr_ ones are
# optional).
for f in $(sed -n 's/^[a-z_]*_file *= *//p' /opt/zentrope/config/config.txt); do
	case ${f##*/} in usr_*) continue ;; esac
	case $f in *.txt) ;; *) continue ;; esac
	[ -f "/opt/zentrope/$f" ] || fail "config.txt names $f, which is not installed"
done
grep -qx 'daemon = 0' /opt/zentrope/config/config.txt || fail "the shipped configuration does not run in the foreground"
[ "$(/opt/zentrope/zentroped -v)" = "$version" ] || fail "zentroped -v: $(/opt/zentrope/zentroped -v)"
# gzip -9n: no name, no time stamp, best compression.
[ "$(head -c 9 /usr/share/man/man8/zentroped.8.gz | od -An -tx1 | tr -d ' \n')" = 1f8b08000000000002 ] ||
	fail "the man page is not gzip -9n"
zcat /usr/share/man/man8/zentroped.8.gz | grep -q '^\.TH ZENTROPED 8 ' || fail "the man page is no zentroped(8)"

step "postinst configure (no systemd), twice"
script postinst configure ""
script postinst configure ""
grep -qx /bin/sh /opt/zentrope/config/usr_interp.txt || fail "postinst wrote no interpreter list"

step "the daemon as zentroped.service has systemd run it"
zt_guest_package --gtest_color=no || rc=1
grep -q '^zentrope ' /proc/modules && fail "zentrope loaded after the daemon's stop"

step "prerm remove with a daemon started by hand"
/opt/zentrope/zentroped >/tmp/by-hand.out 2>&1 &
daemon=$!
wait_for "grep -q 'ulog SUCC' /tmp/by-hand.out" 120 || fail "the daemon did not start by hand"
sleep 1
[ -d /sys/module/zentrope ] || fail "no module while the daemon runs"
script prerm remove
wait "$daemon"
status=$?
[ "$status" -eq 0 ] || fail "the daemon stopped by prerm exited with $status"
[ -d /sys/module/zentrope ] && fail "prerm left the module loaded"
grep -q 'zentrope will exit' /tmp/by-hand.out || fail "the daemon did not get the stop"

step "prerm remove with a module that no daemon holds"
insmod /lib/zentrope/zentrope.ko || fail "insmod"
script prerm remove
[ -d /sys/module/zentrope ] && fail "prerm left the module loaded"
script prerm remove

step "remove: the files but the conffiles, the emptied directories, then postrm remove"
cut -d' ' -f2 /tmp/files | grep -vxF -f /tmp/control/conffiles | while read -r f; do
	rm -f "$f"
done
awk '$1 ~ /^d/ { p = $NF; sub(/^\./, "", p); if (p != "/") print p }' /tmp/contents | sort -r |
	while read -r d; do
		rmdir "$d" 2>/dev/null
	done
script postrm remove
for f in /opt/zentrope/zentroped /lib/systemd/system/zentroped.service; do
	[ -e "$f" ] && fail "$f still there"
done
[ -f /opt/zentrope/config/config.txt ] || fail "remove took the configuration"

step "purge: the conffiles, then postrm purge, twice"
# The logs of daemon mode and their backups, as they might be left.
for f in /var/log/zentroped.log /var/log/zentrope_block.log; do
	echo x >"$f" && echo x >"$f.bak"
done
xargs rm -f </tmp/control/conffiles
script postrm purge
script postrm purge
for f in /var/log/zentroped.log /var/log/zentroped.log.bak /var/log/zentrope_block.log \
	/var/log/zentrope_block.log.bak /var/run/zentrope_pid /opt/zentrope; do
	[ -e "$f" ] && fail "purge left $f"
done

step "the systemd branch, against a stand-in systemctl"
mkdir -p /run/systemd/system /tmp/fake-bin
cat >/tmp/fake-bin/systemctl <<'EOF'
#!/bin/sh
echo "$*" >>/tmp/systemctl.calls
exit 0
EOF
chmod 0755 /tmp/fake-bin/systemctl
dpkg-deb -x "$deb" /
# Each line: the script and its arguments, then the calls expected.
while IFS='|' read -r args want; do
	: >/tmp/systemctl.calls
	# shellcheck disable=SC2086 # the arguments are words
	PATH=/tmp/fake-bin:$PATH script $args
	got=$(paste -sd'|' /tmp/systemctl.calls)
	[ "$got" = "$want" ] || fail "$args: systemctl calls '$got', wanted '$want'"
done <<EOF
postinst configure |enable zentroped.service|daemon-reload|is-enabled --quiet zentroped.service|restart zentroped.service
postinst configure $version|daemon-reload|is-enabled --quiet zentroped.service|restart zentroped.service
prerm upgrade $version|stop zentroped.service
prerm remove|stop zentroped.service
postrm remove|daemon-reload
postrm purge|disable zentroped.service|daemon-reload
EOF
rm -rf /run/systemd /opt/zentrope /lib/systemd /usr/share/man /tmp/fake-bin

echo
if [ "$rc" -ne 0 ]; then
	echo "package: some checks failed"
else
	echo "package: every check passed"
fi
exit "$rc"
