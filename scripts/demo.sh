#!/usr/bin/env bash
# Demo: installs what is needed, builds zentroped (carrying the module for
# every installed test kernel), boots the newest kernel in a QEMU guest
# (software emulation) and runs the real daemon there with the default
# configuration (tests/vm/suites/demo.sh): listed programs, connections
# and DNS names refused, the block log growing line by line, a reload and
# the stop. Exit status: 0 when the guest ran the demo cleanly.
#
#   scripts/demo.sh            (as root)
#   ZT_SKIP_DEPS=1 scripts/demo.sh    skip scripts/deps.sh
#   ZT_KVER=<release> scripts/demo.sh use that kernel, not the newest
#   ZT_BUILD_DIR=<dir> scripts/demo.sh build tree (default build/, shared
#                                     with scripts/test.sh)
set -euo pipefail

repo_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vm=$repo_dir/scripts/vm

install_deps() {
	if [ "${ZT_SKIP_DEPS:-0}" = 1 ]; then
		echo "demo: skipping deps.sh (ZT_SKIP_DEPS=1)"
		return
	fi
	echo "demo: installing dependencies (scripts/deps.sh)"
	"$repo_dir/scripts/deps.sh"
}

newest_kernel() {
	local kver
	kver=$("$vm/list-kernels.sh" | tail -n 1)
	if [ -z "$kver" ]; then
		echo "demo: no kernel with an image and headers installed" >&2
		exit 1
	fi
	printf '%s\n' "$kver"
}

main() {
	install_deps
	local kver=${ZT_KVER:-$(newest_kernel)}
	local build=${ZT_BUILD_DIR:-$repo_dir/build}

	echo "demo: building zentroped and the module (build tree $build)"
	{
		"$repo_dir/scripts/configure.sh" "$build" &&
			cmake --build "$build" --target zt_zentroped
	} >"${TMPDIR:-/tmp}/zt-demo-build.log" 2>&1 || {
		cat "${TMPDIR:-/tmp}/zt-demo-build.log" >&2
		exit 1
	}

	echo "demo: booting $kver under QEMU (TCG); the guest's output follows"
	echo
	# --show prints the guest side from its start marker to its exit
	# marker, without the boot messages; the verdict comes last.
	local log=${TMPDIR:-/tmp}/zt-demo-serial.log rc=0
	"$vm/run-vm.sh" --kernel "$kver" --suite demo --timeout 600 --log "$log" \
		--file "$build/zentroped" "$repo_dir/tools/mk_usr_interp_name_list" \
		"$repo_dir"/config/*.txt --show || rc=$?
	[ "$rc" -ne 0 ] && echo "demo: full serial log in $log" >&2
	return "$rc"
}

main "$@"
