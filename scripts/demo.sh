#!/usr/bin/env bash
# Demo: installs what is needed, builds the module for the newest installed
# kernel, boots it in a QEMU guest (software emulation) and shows the
# control-file commands of tests/vm/suites/demo.sh taking effect there.
# Needs no CMake build. Exit status: 0 when the guest ran the demo cleanly.
#
#   scripts/demo.sh            (as root)
#   ZT_SKIP_DEPS=1 scripts/demo.sh    skip scripts/deps.sh
#   ZT_KVER=<release> scripts/demo.sh use that kernel, not the newest
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

	local work
	work=$(mktemp -d "${TMPDIR:-/tmp}/zt-demo.XXXXXX")
	# shellcheck disable=SC2064 # expand now: work is local
	trap "rm -rf '$work'" EXIT

	echo "demo: building the module for $kver"
	"$vm/build-module.sh" "$kver" "$work/kmod" >"$work/build.out" 2>&1 || {
		cat "$work/build.out" >&2
		exit 1
	}

	echo "demo: booting $kver under QEMU (TCG); the guest's output follows"
	echo
	# --show prints the guest side from its start marker to its exit
	# marker, without the boot messages; the verdict comes last. The log
	# is kept when the run fails, to look at the boot too.
	local rc=0
	"$vm/run-vm.sh" --kernel "$kver" --suite demo --timeout 300 \
		--module "$work/kmod/zentrope.ko" --log "$work/serial.log" --show || rc=$?
	if [ "$rc" -ne 0 ]; then
		cp "$work/serial.log" "${TMPDIR:-/tmp}/zt-demo-serial.log" 2>/dev/null &&
			echo "demo: full serial log kept in ${TMPDIR:-/tmp}/zt-demo-serial.log" >&2
	fi
	return "$rc"
}

main "$@"
