#!/usr/bin/env bash
# Fuzz campaign: runs every libFuzzer target for a set time (10 minutes
# each by default), as many at once as there are cores, growing the corpus
# kept in tests/fuzz/corpus/<target>/ (minimised after each run) and
# writing the figures to tests/fuzz/RESULTS.md. Fails on any crash, leak
# (LeakSanitizer), input slower than 10 s or memory beyond 4 GiB; the
# input that did it is kept under <build>/fuzz-campaign/<target>/.
#
#   scripts/fuzz.sh                       every target, 600 s each
#   scripts/fuzz.sh --seconds 60 fuzz_dns one target, one minute
#
# Environment: ZT_SKIP_DEPS=1 skips scripts/deps.sh; ZT_BUILD_DIR is the
# build tree (default build/, shared with scripts/test.sh).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZT_BUILD_DIR:-$repo/build}
corpus_root=$repo/tests/fuzz/corpus
seconds=600
jobs=$(nproc)
wanted=()

die() {
	echo "fuzz.sh: $*" >&2
	exit 2
}

parse_args() {
	while [ $# -gt 0 ]; do
		case $1 in
		--seconds) seconds=${2:?}; shift 2 ;;
		--jobs) jobs=${2:?}; shift 2 ;;
		-*) die "usage: fuzz.sh [--seconds N] [--jobs N] [target...]" ;;
		*) wanted+=("$1"); shift ;;
		esac
	done
	[[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 ]] || die "--seconds wants a positive number"
}

build_targets() {
	[ "${ZT_SKIP_DEPS:-0}" = 1 ] || bash "$repo/scripts/deps.sh"
	"$repo/scripts/configure.sh" "$build" >/dev/null
	[ -s "$build/fuzz-targets.txt" ] || die "no fuzz targets (libFuzzer needs clang)"
	local -a names
	mapfile -t names < <(awk '{ print $1 }' "$build/fuzz-targets.txt")
	cmake --build "$build" --target "${names[@]}"
}

# One target: fuzz into a fresh directory seeded with the corpus, then
# merge both into the smallest set that keeps the coverage.
run_target() {
	local name=$1 exe=$2 work=$build/fuzz-campaign/$1 corpus=$corpus_root/$1 rc=0
	rm -rf "$work"
	mkdir -p "$work/new" "$work/merged" "$work/artifacts" "$corpus"
	"$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
		-print_final_stats=1 -artifact_prefix="$work/artifacts/" \
		"$work/new" "$corpus" >"$work/log" 2>&1 || rc=$?
	if [ "$rc" = 0 ] && [ -z "$(ls -A "$work/artifacts")" ]; then
		"$exe" -merge=1 "$work/merged" "$corpus" "$work/new" >"$work/merge.log" 2>&1 &&
			rm -rf "$corpus" && mv "$work/merged" "$corpus"
		echo pass >"$work/result"
	else
		echo "FAIL (exit $rc)" >"$work/result"
	fi
}

# target | result | runs | execs/s | coverage | features | corpus
report_line() {
	local name=$1 work=$build/fuzz-campaign/$1 log=$build/fuzz-campaign/$1/log
	local runs rate cov ft files
	runs=$(awk '/stat::number_of_executed_units:/ { print $2 }' "$log")
	rate=$(awk '/stat::average_exec_per_sec:/ { print $2 }' "$log")
	cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n1 | cut -d' ' -f2)
	ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n1 | cut -d' ' -f2)
	files=$(find "$corpus_root/$name" -type f | wc -l)
	printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$name" "$(cat "$work/result")" \
		"${runs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$files"
}

write_results() {
	local out=$repo/tests/fuzz/RESULTS.md name
	{
		echo "# Fuzz campaign"
		echo
		echo "$(date -u '+%Y-%m-%d %H:%M UTC'), ${seconds} s per target, $jobs at once," \
			"on $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')" \
			"($(nproc) cores), $(clang --version | head -n1)."
		echo "ASan, UBSan and LeakSanitizer on; an input slower than 10 s fails."
		echo
		echo "| target | result | runs | execs/s | coverage | features | corpus files |"
		echo "|---|---|---:|---:|---:|---:|---:|"
		for name in "$@"; do
			report_line "$name"
		done
	} >"$out"
	cat "$out"
}

main() {
	parse_args "$@"
	build_targets
	local -a names=() exes=()
	local name exe i
	while read -r name exe; do
		if [ "${#wanted[@]}" -gt 0 ] && [[ ! " ${wanted[*]} " =~ " $name " ]]; then
			continue
		fi
		names+=("$name")
		exes+=("$exe")
	done <"$build/fuzz-targets.txt"
	[ "${#names[@]}" -gt 0 ] || die "no such target: ${wanted[*]}"

	echo "fuzz.sh: ${#names[@]} targets, ${seconds} s each, $jobs at a time"
	for i in "${!names[@]}"; do
		while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
			wait -n || true
		done
		run_target "${names[$i]}" "${exes[$i]}" &
	done
	wait
	write_results "${names[@]}"
	! grep -q FAIL "$build"/fuzz-campaign/*/result
}

main "$@"
