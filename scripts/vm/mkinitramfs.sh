#!/usr/bin/env bash
# Builds the initramfs (gzip'd newc cpio) that one VM test boots into.
#
#   mkinitramfs.sh --out FILE --suite SCRIPT
#                  [--module KO[:DEST]]... [--bin PROG]... [--file SRC[:DEST]]...
#                  [--kver KVER] [--kernel-module NAME]...
#
#   --out FILE            the archive to write
#   --suite SCRIPT        guest side shell script, run by /init as /bin/sh /suite.sh
#   --module KO[:DEST]    module under test, installed as /lib/zentrope/<name>.ko,
#                         or as DEST, a path relative to /lib/zentrope/
#   --bin PROG            static guest program, installed as /bin/<name>
#   --file SRC[:DEST]     any other file; DEST is an absolute guest path
#                         (default /data/<name>)
#   --kver KVER           the kernel the archive is for; with it, the modules that
#                         the --module files depend on are taken from
#                         /lib/modules/KVER and loaded by /init before the suite
#   --kernel-module NAME  one more module of that kernel to ship (with its
#                         dependencies), for modprobe in the guest; needs --kver
#
# The guest gets busybox (static), its applets linked at boot, and a
# generated /init that mounts the pseudo file systems, prints
# "ZT-SUITE-START <suite>", runs the suite, prints the kernel taint mask as
# "ZT-TAINT <n>" and the suite's exit status as "ZT-SUITE-EXIT <rc>", then
# powers the machine off; or, when the suite wrote a mounted root's path
# to /switch-root, hands PID 1 over to that system's init.
set -euo pipefail

busybox_bin=${ZT_BUSYBOX:-/bin/busybox}
# Kernels outside the host's own /lib/modules live under this root.
kroot=${ZT_KERNEL_ROOT:-}

die() {
	echo "mkinitramfs.sh: $*" >&2
	exit 1
}

usage() {
	sed -n '3,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
	exit 2
}

# Installs busybox and the one link /init needs. The other applet links are
# made by /init at boot (busybox --install -s): one process in the guest is
# much cheaper than a few hundred ln/mkdir runs here.
install_busybox() {
	local stage=$1
	[ -x "$busybox_bin" ] || die "$busybox_bin missing (install busybox-static)"
	if ldd "$busybox_bin" >/dev/null 2>&1; then
		die "$busybox_bin is dynamically linked; the guest needs busybox-static"
	fi
	install -D -m 0755 "$busybox_bin" "$stage/bin/busybox"
	ln -s busybox "$stage/bin/sh"
}

# Guest binaries must be static: the initramfs has no C library.
install_bin() {
	local stage=$1 prog=$2
	[ -f "$prog" ] || die "guest binary $prog not found"
	if ldd "$prog" >/dev/null 2>&1; then
		die "guest binary $prog is dynamically linked; link it with -static"
	fi
	# Debug info only slows packing and unpacking under emulation.
	strip --strip-debug -o "$stage/bin/${prog##*/}" "$prog"
	chmod 0755 "$stage/bin/${prog##*/}"
}

# Prints the path of kernel module NAME of kernel KVER (as modules.dep names
# it, relative to /lib/modules/KVER), and the paths of everything it needs.
kernel_module_closure() {
	local kver=$1 name=$2
	modprobe ${kroot:+-d "$kroot"} -S "$kver" --show-depends "$name" 2>/dev/null |
		awk '$1 == "insmod" { print $2 }'
}

# Copies modules of the host's /lib/modules/KVER into the guest tree,
# uncompressed, so the guest's busybox modprobe/insmod need no xz support.
copy_kernel_modules() {
	local stage=$1 kver=$2 path rel dest
	shift 2
	for path in "$@"; do
		rel=${path#"$kroot"/lib/modules/"$kver"/}
		dest=$stage/lib/modules/$kver/${rel%.xz}
		dest=${dest%.zst}
		dest=${dest%.gz}
		[ -e "$dest" ] && continue
		mkdir -p "$(dirname "$dest")"
		case $path in
		*.xz) xz -dc "$path" >"$dest" ;;
		*.zst) zstd -qdc "$path" >"$dest" ;;
		*.gz) gzip -dc "$path" >"$dest" ;;
		*) cp "$path" "$dest" ;;
		esac
	done
}

# Resolves the kernel modules to ship: the dependencies of the modules under
# test (from their modinfo) and the ones asked for by name. Writes the names
# /init must load before the suite to lib/zentrope/preload.
install_kernel_modules() {
	local stage=$1 kver=$2
	shift 2
	local -a wanted=() preload=() paths=()
	local ko dep name

	for ko in "${modules[@]}"; do
		for dep in $(modinfo -F depends "${ko%%:*}" | tr ',' ' '); do
			wanted+=("$dep")
			preload+=("$dep")
		done
	done
	wanted+=("$@")
	[ "${#wanted[@]}" -gt 0 ] || return 0

	for name in "${wanted[@]}"; do
		if grep -q "/${name//-/_}.ko" <(tr '-' '_' <"$kroot/lib/modules/$kver/modules.builtin"); then
			continue # built into the kernel: nothing to ship
		fi
		mapfile -t paths < <(kernel_module_closure "$kver" "$name")
		[ "${#paths[@]}" -gt 0 ] || die "kernel $kver has no module $name"
		copy_kernel_modules "$stage" "$kver" "${paths[@]}"
	done
	local f
	for f in modules.builtin modules.builtin.modinfo modules.order; do
		[ -f "$kroot/lib/modules/$kver/$f" ] && cp "$kroot/lib/modules/$kver/$f" "$stage/lib/modules/$kver/"
	done
	depmod -b "$stage" "$kver"
	if [ "${#preload[@]}" -gt 0 ]; then
		printf '%s\n' "${preload[@]}" >"$stage/lib/zentrope/preload"
	fi
}

# The guest's PID 1. Everything it prints goes to the serial console, which
# the host side reads; the markers are what run-vm.sh looks for.
write_init() {
	local stage=$1 suite_name=$2
	cat >"$stage/init" <<EOF
#!/bin/sh
# Generated by mkinitramfs.sh.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
export HOME=/root
export ZT_SUITE=$suite_name
export ZT_MODULE_DIR=/lib/zentrope
# The console is a tty; keep escape codes out of the log the host parses.
export GTEST_COLOR=no
EOF
	cat >>"$stage/init" <<'EOF'

# Applet links first; --install needs /proc/self/exe. It leaves the guest
# programs already in /bin alone.
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /dev/shm
[ -d /sys/kernel/debug ] && mount -t debugfs debugfs /sys/kernel/debug 2>/dev/null

# The console the kernel gave PID 1 may be missing or lack a controlling
# tty; after devtmpfs is up /dev/console surely exists.
exec </dev/console >/dev/console 2>&1

hostname zt-guest
ip link set lo up 2>/dev/null

if [ -f /lib/zentrope/preload ]; then
	while read -r m; do
		modprobe "$m" || echo "ZT-INIT: cannot load dependency $m"
	done </lib/zentrope/preload
fi

# On a kernel with kmemleak, suspects from before the suite are not its
# own: scan once and forget them, so the scan after it shows only new ones.
kmemleak=/sys/kernel/debug/kmemleak
if [ -w $kmemleak ]; then
	echo scan >$kmemleak
	echo clear >$kmemleak
fi

echo
echo "ZT-SUITE-START $ZT_SUITE kernel $(uname -r)"
cd /tmp
/bin/sh /suite.sh
rc=$?
# A suite that mounted a whole system and named it in /switch-root hands
# the machine over: that system's init prints the exit marker.
if [ "$rc" = 0 ] && [ -s /switch-root ]; then
	new=$(cat /switch-root)
	cd /
	umount /tmp /dev/shm /dev/pts /sys/kernel/debug 2>/dev/null
	for m in /dev /proc /sys; do
		mount --move $m "$new$m"
	done
	exec switch_root "$new" /sbin/init
fi
echo
if [ -w $kmemleak ]; then
	# Objects younger than 5 s are never reported; two scans because
	# one can miss a pointer still held in a register or a stack.
	sleep 6
	echo scan >$kmemleak
	echo scan >$kmemleak
	cat $kmemleak
	echo "ZT-KMEMLEAK done"
fi
echo "ZT-TAINT $(cat /proc/sys/kernel/tainted)"
echo "ZT-SUITE-EXIT $rc"
sync
poweroff -f
# Only reached if ACPI power off did not work.
sleep 5
echo o >/proc/sysrq-trigger
sleep 30
EOF
	chmod 0755 "$stage/init"
}

# newc, owned by root, in a stable order: the same inputs give the same
# archive. gzip because every kernel can unpack it.
pack() {
	local stage=$1 out=$2
	(cd "$stage" && find . -mindepth 1 -print0 | LC_ALL=C sort -z |
		cpio --null --quiet -o -H newc -R 0:0 --reproducible) | gzip -6 -n >"$out.tmp"
	mv "$out.tmp" "$out"
}

out="" suite="" kver=""
modules=() bins=() files=() kernel_mods=()

parse_args() {
	while [ $# -gt 0 ]; do
		case $1 in
		--out) out=${2:?--out needs a file}; shift 2 ;;
		--suite) suite=${2:?--suite needs a script}; shift 2 ;;
		--kver) kver=${2:?--kver needs a kernel release}; shift 2 ;;
		--module) modules+=("${2:?--module needs a .ko}"); shift 2 ;;
		--bin) bins+=("${2:?--bin needs a program}"); shift 2 ;;
		--file) files+=("${2:?--file needs SRC[:DEST]}"); shift 2 ;;
		--kernel-module) kernel_mods+=("${2:?--kernel-module needs a name}"); shift 2 ;;
		-h | --help) usage ;;
		*) echo "mkinitramfs.sh: unknown argument $1" >&2; usage ;;
		esac
	done
	[ -n "$out" ] || usage
	[ -n "$suite" ] || usage
	[ -f "$suite" ] || die "suite script $suite not found"
	if [ "${#kernel_mods[@]}" -gt 0 ] && [ -z "$kver" ]; then
		die "--kernel-module needs --kver"
	fi
}

main() {
	parse_args "$@"

	local stage
	stage=$(mktemp -d "${TMPDIR:-/tmp}/zt-initramfs.XXXXXX")
	# shellcheck disable=SC2064 # expand now: stage is local
	trap "rm -rf '$stage'" EXIT

	mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,etc,proc,sys,dev,tmp,root,data,lib/zentrope}
	# A console node in the archive itself, so PID 1 has a stdout even
	# before it mounts devtmpfs.
	mknod -m 0600 "$stage/dev/console" c 5 1 2>/dev/null || true
	install_busybox "$stage"

	local ko prog f src dest
	for ko in "${modules[@]}"; do
		src=${ko%%:*}
		dest=${src##*/}
		[ "$src" != "$ko" ] && dest=${ko#*:}
		case $dest in /* | *..*) die "--module $ko: DEST must be relative to /lib/zentrope" ;; esac
		[ -f "$src" ] || die "module $src not found"
		[ -e "$stage/lib/zentrope/$dest" ] && die "two modules for /lib/zentrope/$dest"
		install -D -m 0644 "$src" "$stage/lib/zentrope/$dest"
	done
	for prog in "${bins[@]}"; do
		install_bin "$stage" "$prog"
	done
	for f in "${files[@]}"; do
		src=${f%%:*}
		dest=/data/${src##*/}
		[ "$src" != "$f" ] && dest=${f#*:}
		[ -f "$src" ] || die "file $src not found"
		install -D -m 0644 "$src" "$stage/$dest"
	done
	if [ -n "$kver" ]; then
		install_kernel_modules "$stage" "$kver" "${kernel_mods[@]}"
	fi

	install -m 0755 "$suite" "$stage/suite.sh"
	local suite_name=${suite##*/}
	write_init "$stage" "${suite_name%.sh}"

	pack "$stage" "$out"
}

main "$@"
