#!/usr/bin/env bash
# Builds the kernel module for one installed kernel, out of tree.
#
#   build-module.sh KVER OUTDIR [extra make args...]
#
# The sources (and those of the test modules, kmod/test/, into OUTDIR/test/)
# are copied into OUTDIR and built there (make M=OUTDIR), so the objects of
# two kernels or two build variants never share a directory. Any compiler or
# modpost warning fails the build. On success OUTDIR/zentrope.ko exists.
#
# Environment:
#   ZT_W1=1            build with W=1 (extra compiler warnings, also fatal)
#   ZT_KMOD_DIR=DIR    module sources (default: <repo>/kmod)
#   ZT_MODULE_NAME=N   module file(s) expected in OUTDIR, space separated
#                      (default: zentrope)
#   ZT_KERNEL_ROOT=DIR the kernel's tree is DIR/lib/modules/KVER/build
set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(cd "$script_dir/../.." && pwd)

die() {
	echo "build-module.sh: $*" >&2
	exit 1
}

usage() {
	echo "usage: build-module.sh KVER OUTDIR [extra make args...]" >&2
	exit 2
}

# Copies the module sources into OUTDIR. cp -p keeps the timestamps, so a
# rebuild with unchanged sources does not recompile anything. Sources deleted
# upstream are deleted here too, otherwise Kbuild could still pick them up.
sync_dir() {
	local src=$1 out=$2 f name
	shift 2
	local -a files=()
	for f in "$src"/*.c "$src"/*.h "$@"; do
		[ -e "$f" ] && files+=("$f")
	done
	for f in "$out"/*.c "$out"/*.h; do
		[ -e "$f" ] || continue
		name=${f##*/}
		# Kbuild generates *.mod.c next to the sources; those are not stale.
		case $name in *.mod.c) continue ;; esac
		[ -e "$src/$name" ] || rm -f "$f"
	done
	[ "${#files[@]}" -gt 0 ] || return 0
	mkdir -p "$out"
	cp -p "${files[@]}" "$out/"
}

sync_sources() {
	local src=$1 out=$2
	[ -f "$src/Kbuild" ] || die "no module sources in $src (no Kbuild)"
	sync_dir "$src" "$out" "$src/Kbuild" "$src/Makefile"
	# The test modules' sources, which Kbuild names as test/<name>.o.
	sync_dir "$src/test" "$out/test"
}

# Removes the build products, so that after a failed (warning) build the next
# run compiles everything again and shows the same warnings instead of
# silently reusing the objects.
clean_products() {
	local out=$1
	find "$out" -maxdepth 2 -type f \( -name '*.o' -o -name '*.ko' -o -name '*.mod' \
		-o -name '*.mod.c' -o -name '.*.cmd' -o -name 'Module.symvers' \
		-o -name 'modules.order' \) -delete
}

main() {
	[ $# -ge 2 ] || usage
	local kver=$1 out=$2
	shift 2

	local kdir=${ZT_KERNEL_ROOT:-}/lib/modules/$kver/build
	[ -f "$kdir/Makefile" ] || die "no build tree for kernel $kver at $kdir"

	local src=${ZT_KMOD_DIR:-$repo_dir/kmod}
	[ -d "$src" ] || die "module source directory $src does not exist"
	local names=${ZT_MODULE_NAME:-zentrope}

	mkdir -p "$out"
	out=$(cd "$out" && pwd)
	sync_sources "$src" "$out"

	local -a args=()
	if [ "${ZT_W1:-0}" = 1 ]; then
		args+=(W=1)
	fi
	args+=("$@")

	local log=$out/build.log
	echo "build-module.sh: building $names for $kver in $out${args[*]:+ (${args[*]})}"
	local rc=0
	make -C "$kdir" M="$out" -j"$(nproc)" "${args[@]}" modules >"$log" 2>&1 || rc=$?
	if [ "$rc" -ne 0 ]; then
		cat "$log" >&2
		clean_products "$out"
		die "make failed for kernel $kver (exit $rc), log: $log"
	fi
	# Warnings are errors: the compiler's and the linker's, and modpost's
	# "WARNING: modpost:" (undefined symbols, missing licence). make's own
	# notices ("make[1]: warning: -jN forced in submake" under a parent
	# make's jobserver) say nothing about the code and are not counted.
	if grep -i 'warning:' "$log" | grep -qvE '^make(\[[0-9]+\])?: warning:'; then
		cat "$log" >&2
		clean_products "$out"
		die "build for kernel $kver produced warnings (see above), log: $log"
	fi
	local n
	for n in $names; do
		[ -f "$out/$n.ko" ] || die "build for $kver left no $out/$n.ko"
		echo "build-module.sh: ok $out/$n.ko"
	done
}

main "$@"
