#!/usr/bin/env bash
# Builds the debug kernel of the VM tier once per machine: Debian's 6.1
# kernel source (package linux-source-6.1), allnoconfig plus debug.config
# (KASAN, lockdep, PROVE_RCU, DEBUG_ATOMIC_SLEEP, kmemleak and what the
# guest needs), laid out under the cache the way the VM scripts expect a
# kernel: ROOT/boot/vmlinuz-KVER and config-KVER, ROOT/lib/modules/KVER
# with its modules and build -> the built tree.
#
#   build.sh            build if the cache is missing or stale; print ROOT and KVER
#   build.sh --print    print ROOT and KVER of the cached build, build nothing
#
# A build is stale when debug.config, this script or the source package
# changed; only a new source package unpacks afresh, otherwise the tree is
# reconfigured and rebuilt incrementally. Environment: ZT_DEBUG_KERNEL_CACHE (default
# ${XDG_CACHE_HOME:-~/.cache}/zentrope/debug-kernel).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${ZT_DEBUG_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zentrope/debug-kernel}
tarball=/usr/src/linux-source-6.1.tar.xz
localversion=-zt-debug

die() {
	echo "debug-kernel: $*" >&2
	exit 1
}

# What the cached build was made from: change any of it and it is rebuilt.
stamp() {
	sha256sum "$here/debug.config" "$here/build.sh" "$tarball" 2>/dev/null |
		awk '{ print $1 }' | sha256sum | cut -c1-16
}

print_result() {
	[ -f "$cache/kver" ] || die "no debug kernel built in $cache (run $0)"
	printf 'ZT_KERNEL_ROOT=%s\nZT_DEBUG_KVER=%s\n' "$cache/root" "$(cat "$cache/kver")"
}

up_to_date() {
	[ -f "$cache/stamp" ] && [ "$(cat "$cache/stamp")" = "$(stamp)" ] &&
		[ -f "$cache/root/boot/vmlinuz-$(cat "$cache/kver" 2>/dev/null)" ]
}

# Every option of debug.config must survive the dependency resolution;
# one that silently drops (a missing dependency) would weaken the run.
check_config() {
	local src=$1 line opt want got bad=0
	while IFS= read -r line; do
		case $line in
		CONFIG_*=*) opt=${line%%=*} want=${line#*=} ;;
		"# CONFIG_"*" is not set") opt=${line#\# } opt=${opt%% *} want=n ;;
		*) continue ;;
		esac
		got=$(grep -E "^$opt=|^# $opt is not set" "$src/.config" | head -n1)
		case $got in
		"$opt=$want") ;;
		"# $opt is not set") [ "$want" = n ] || { echo "  $opt: wanted $want, not set"; bad=1; } ;;
		*) echo "  $opt: wanted $want, got ${got:-nothing}"; bad=1 ;;
		esac
	done <"$here/debug.config"
	[ "$bad" = 0 ] || die "debug.config options dropped by Kconfig (above)"
}

unpack() {
	local src=$1 tar_id
	tar_id=$(stat -c %s-%Y "$tarball")
	if [ -f "$src/Makefile" ] && [ "$(cat "$cache/source" 2>/dev/null)" = "$tar_id" ]; then
		return
	fi
	rm -rf "$cache"
	mkdir -p "$src"
	echo "debug-kernel: unpacking $tarball into $src"
	tar -xJf "$tarball" -C "$src" --strip-components=1
	printf '%s\n' "$tar_id" >"$cache/source"
}

build() {
	[ -f "$tarball" ] || die "$tarball missing (apt-get install linux-source-6.1)"
	local src=$cache/src jobs
	jobs=$(nproc)
	unpack "$src"
	rm -f "$cache/stamp"

	echo "debug-kernel: configuring (allnoconfig + debug.config)"
	make -C "$src" -s allnoconfig KCONFIG_ALLCONFIG="$here/debug.config"
	scripts_config() { "$src/scripts/config" --file "$src/.config" "$@"; }
	scripts_config --set-str LOCALVERSION "$localversion" --disable LOCALVERSION_AUTO
	make -C "$src" -s olddefconfig
	check_config "$src"

	echo "debug-kernel: building with $jobs jobs (log $cache/build.log)"
	if ! make -C "$src" -j"$jobs" bzImage modules >"$cache/build.log" 2>&1; then
		tail -n 40 "$cache/build.log" >&2
		die "kernel build failed"
	fi
	local kver
	kver=$(make -C "$src" -s kernelrelease)
	local root=$cache/root
	rm -rf "$root"
	mkdir -p "$root/boot"
	make -C "$src" -s modules_install INSTALL_MOD_PATH="$root" INSTALL_MOD_STRIP=1 >/dev/null
	cp "$src/arch/x86/boot/bzImage" "$root/boot/vmlinuz-$kver"
	cp "$src/.config" "$root/boot/config-$kver"
	cp "$src/System.map" "$root/boot/System.map-$kver"
	ln -sfn "$src" "$root/lib/modules/$kver/build"
	printf '%s\n' "$kver" >"$cache/kver"
	stamp >"$cache/stamp"
	echo "debug-kernel: built $kver"
}

main() {
	case ${1:-} in
	--print) print_result; return ;;
	"") ;;
	*) die "usage: build.sh [--print]" ;;
	esac
	if up_to_date; then
		echo "debug-kernel: $(cat "$cache/kver") is up to date in $cache" >&2
	else
		build >&2
	fi
	print_result
}

main "$@"
