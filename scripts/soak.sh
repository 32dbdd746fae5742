#!/usr/bin/env bash
# Soak run of the real daemon and module in a VM guest on every test kernel,
# one after another (10 minutes each by default), then a table of what each
# guest reported. Never part of the tests.
#
#   scripts/soak.sh [--seconds N] [cmake --build arguments...]
#
# Installs what is missing (scripts/deps.sh), configures the build tree (scripts/configure.sh) as
# scripts/test.sh does (ZT_BUILD_DIR, default build/), builds the target
# soak and prints the "SOAK" figures of build/vm-logs/<kernel>/soak.log.
# Exits 1 when any kernel's run failed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZT_BUILD_DIR:-$repo/build}
build_args=()

usage() {
	sed -n '2,11p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
	exit 2
}

parse_args() {
	while [ $# -gt 0 ]; do
		case $1 in
		--seconds)
			case ${2:-} in '' | *[!0-9]*) usage ;; esac
			export ZT_SOAK_SECONDS=$2
			shift 2
			;;
		-h | --help) usage ;;
		*) build_args+=("$1"); shift ;;
		esac
	done
}

kernels() {
	sed -n 's/^ZT_VM_KERNEL_LIST:INTERNAL=//p' "$build/CMakeCache.txt" | tr ';' '\n'
}

# The value after the word $2 in the line $1.
field() {
	awk -v k="$2" '{ for (i = 1; i < NF; i++) if ($i == k) { print $(i + 1); exit } }' <<<"$1"
}

# One row of the table; 1 when the kernel's run failed.
row() {
	local kver=$1 log=$build/vm-logs/$1/soak.log out=$build/vm-logs/soak-build.log
	local verdict=none wall soak
	if grep -aqF "PASS vm $kver/soak" "$out"; then
		verdict=PASS
	elif grep -aqF "FAIL vm $kver/soak" "$out"; then
		verdict=FAIL
	fi
	wall=$(grep -aF "$kver/soak: VM ran " "$out" | tail -n1 | sed 's/.* VM ran \([0-9]*s\).*/\1/')
	soak=$([ -f "$log" ] && tr -d '\r' <"$log" | grep -a -o 'SOAK .*' || true)
	local k t r c l
	k=$(grep '^SOAK kernel ' <<<"$soak" || true)
	t=$(grep '^SOAK total ' <<<"$soak" || true)
	r=$(grep '^SOAK reloads ' <<<"$soak" || true)
	c=$(grep '^SOAK control-files ' <<<"$soak" || true)
	l=$(grep '^SOAK kept-lifted ' <<<"$soak" || true)
	printf '%-22s %-5s %-6s %6s %9s %9s %9s %9s %8s %9s %6s %7s\n' "$kver" \
		"$verdict" "$(field "$(grep '^SOAK result ' <<<"$soak" || true)" result)" \
		"$(field "$k" elapsed)" "$(field "$t" ops)" "$(field "$t" refusals)" \
		"$(field "$t" block-log-lines)" "$(field "$t" events-sent)" "$(field "$r" reloads)" \
		"$(($(field "$c" valid | grep . || echo 0) + $(field "$c" invalid | grep . || echo 0)))" \
		"$(field "$l" kept-lifted)" "${wall:-?}"
	[ "$verdict" = PASS ]
}

main() {
	parse_args "$@"
	bash "$repo/scripts/deps.sh"
	"$repo/scripts/configure.sh" "$build"

	local kver rc=0
	mkdir -p "$build/vm-logs"
	for kver in $(kernels); do
		rm -f "$build/vm-logs/$kver/soak.log"
	done
	# -k 0: one kernel's failure does not stop the others' runs.
	cmake --build "$build" --target soak "${build_args[@]}" -- -k 0 2>&1 |
		tee "$build/vm-logs/soak-build.log" || rc=1

	echo
	printf '%-22s %-5s %-6s %6s %9s %9s %9s %9s %8s %9s %6s %7s\n' kernel vm guest \
		secs ops refusals log-lines events reloads ctl-cmds lifted wall
	for kver in $(kernels); do
		row "$kver" || rc=1
	done
	echo "Serial logs: $build/vm-logs/<kernel>/soak.log"
	exit "$rc"
}

main "$@"
