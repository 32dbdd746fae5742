#!/usr/bin/env bash
# Runs every benchmark: the host build of the digest store, then on each
# kernel the VM benchmarks in two boots (target bench-all: wall time, then
# instruction-counted time for the overhead ratios). Writes bench/RESULTS.md:
# the machine, then one table of absolute figures and ratios against the
# baseline of the same run, in Markdown and as CSV.
#
#   scripts/bench.sh
#
#   ZT_BUILD_DIR      build tree (default build/ of the checkout)
#   ZT_BENCH_KERNELS  kernels to boot, space-separated (default every usable one)
#   ZT_BENCH_OUT      results file (default bench/RESULTS.md)
#   ZT_SKIP_DEPS=1    do not run scripts/deps.sh
#   ZT_BENCH_*        sizes the guest benchmarks read (bench/vm/*_bench.sh)
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZT_BUILD_DIR:-$repo/build}
out=${ZT_BENCH_OUT:-$repo/bench/RESULTS.md}
host_log=$build/bench/block_hash.log
failed=()

setup() {
	[ "${ZT_SKIP_DEPS:-0}" = 1 ] || bash "$repo/scripts/deps.sh"
	"$repo/scripts/configure.sh" "$build" >/dev/null
}

# The name CMake's MAKE_C_IDENTIFIER gives a kernel in target names.
kernel_id() {
	local id
	id=$(printf '%s' "$1" | tr -c 'A-Za-z0-9_' '_')
	case $id in [0-9]*) id=_$id ;; esac
	printf '%s\n' "$id"
}

run_host() {
	nice cmake --build "$build" --target bench_block_hash
	nice "$build/bench/bench_block_hash" | tee "$host_log" || failed+=(host)
}

# Stale logs of an earlier run must not pass for this one's.
run_kernel() {
	local kver=$1 logs=$build/vm-logs/$1
	rm -f "$logs/bench-all.log" "$logs/bench-all-icount.log"
	nice cmake --build "$build" --target "bench-all-$(kernel_id "$kver")" || failed+=("$kver")
}

# CSV rows "kernel,boot,bench,metric,value,unit,baseline,ratio" from the
# BENCH-ROW lines of one log. The serial console may splice kernel output
# into a line, so only well-formed rows count.
rows() {
	local kernel=$1 boot=$2 log=$3
	[ -f "$log" ] || return 0
	tr -d '\r' <"$log" | awk -v k="$kernel" -v b="$boot" '
		/BENCH-ROW / {
			sub(/.*BENCH-ROW /, "")
			if ((NF != 4 && NF != 6) || $3 !~ /^[-+0-9.eE]+$|^inf$|^nan$/)
				next
			base = ratio = ""
			if (NF == 6 && $5 ~ /^baseline=/ && $6 ~ /^ratio=/) {
				base = substr($5, 10)
				ratio = substr($6, 7)
			}
			print k "," b "," $1 "," $2 "," $3 "," $4 "," base "," ratio
		}'
}

all_rows() {
	local kver
	rows "$(uname -r) (host)" host "$host_log"
	for kver in "${kernels[@]}"; do
		rows "$kver" wall "$build/vm-logs/$kver/bench-all.log"
		rows "$kver" icount "$build/vm-logs/$kver/bench-all-icount.log"
	done
}

machine() {
	local mem
	mem=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
	echo "- CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)," \
		"$(nproc) cores; memory $mem"
	echo "- Host kernel: $(uname -r); $(qemu-system-x86_64 --version | head -n1)"
	echo "- Guests: TCG software emulation (no KVM), 2048 MB; wall boot 2 vCPUs," \
		"icount boot 1 vCPU with \`-icount shift=0\`"
	local end
	end=$(load)
	echo "- Load average (1/5/15 min): $load_start at the start, $end at the end$(loaded "$end")"
}

# A note when the one-minute load exceeded the cores at either end.
loaded() {
	awk -v a="${load_start%% *}" -v b="${1%% *}" -v n="$(nproc)" 'BEGIN {
		if (a > n || b > n)
			printf "; the host was busy with other work: trust the icount ratios, not wall time"
	}'
}

load() {
	cut -d' ' -f1-3 /proc/loadavg
}

knobs() {
	local k
	k=$(env | grep -E '^ZT_BENCH_[A-Z0-9_]+=' | grep -vE '^ZT_BENCH_(KERNELS|OUT)=' |
		sort | tr '\n' ' ' || true)
	echo "- Sizes: ${k:-the defaults of the benchmarks}"
}

write_results() {
	local csv
	csv=$(all_rows)
	{
		echo "# Benchmark results"
		echo
		echo "Written by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC')" \
			"in $(((SECONDS + 59) / 60)) min; kernels: ${kernels[*]}."
		echo
		machine
		knobs
		[ "${#failed[@]}" -eq 0 ] || echo "- FAILED (rows missing or partial): ${failed[*]}"
		echo
		cat <<-'EOF'
		Boots: `host` is the host build of the digest store; `wall` runs the
		wall-time benchmarks (store feed, file hashing, daemon) in one boot per
		kernel; `icount` runs exec and network in one boot per kernel whose
		guest clock counts instructions (1 ns each), so its times are not wall
		time but its ratios repeat to about 0.1 %: read overheads there. Wall
		time under TCG on a shared host swings by tens of percent. Ratio is
		value / baseline, the baseline measured in the same run:

		- block_hash: a miss against a hit, and each against the same at
		  1,000 digests; heap bytes per digest against the 20 raw bytes.
		- store_feed: feeding the digest file into
		  /proc/zentrope/block_hash_bin against copying it to /dev/null;
		  slab and vmalloc bytes per digest, at 1M and 10M, against the 20
		  raw bytes.
		- hash: in-kernel SHA-1 of the big file against busybox sha1sum; a
		  lookup served by the file's mark against a full hash.
		- daemon: start-up against a shell loop writing the same commands
		  and bytes; a reload with one entry changed, and how long a kept
		  rule was absent, against clearing and pushing the list again;
		  events lost out of refused connects.
		- exec, net: each operation with the module (empty lists, full
		  lists) against the mean of the module-less runs before and after;
		  `none_again` against the first module-less run is the drift;
		  `big_first` (hashed, mark written) against `big_second` (mark read).
		- exec, listed: 1,000 block_prog names and 1,000,000 digests, none
		  the program's; `listed_strict0/1` names of absent files and the
		  digests in one write, `listed_many_strict1` names of existing files
		  beside the program (listed by identity too) and the digests fed
		  from a generated file.
		- net: `udp_sendto` is a send and its recv, `udp_recv` the recv
		  alone, `udp_bind` the bind of a fresh UDP socket to an unlisted
		  port (making and closing it untimed); full lists are 6,000 IPv4 and
		  4,000 IPv6 addresses, 10,000 ports and 10,000 domains, none the
		  traffic's.
		- net, full lists: `udp_sendto_forked_child` (a child judged by the
		  records it took at the fork) against its parent; `dns_64k_datagram`
		  (13,099 questions to port 53, the 10,000 domains listed) against
		  the same datagram to port 5353.
		EOF
		echo
		echo "| Kernel | Boot | Benchmark | Metric | Value | Unit | Baseline | Ratio |"
		echo "|---|---|---|---|--:|---|--:|--:|"
		printf '%s\n' "$csv" | awk 'NF { gsub(/,/, " | "); print "| " $0 " |" }'
		echo
		echo '```csv'
		echo "kernel,boot,bench,metric,value,unit,baseline,ratio"
		printf '%s\n' "$csv"
		echo '```'
	} >"$out.tmp"
	mv "$out.tmp" "$out"
	echo "bench.sh: wrote $out ($(printf '%s\n' "$csv" | grep -c .) rows)"
}

main() {
	load_start=$(load)
	setup
	if [ -n "${ZT_BENCH_KERNELS:-}" ]; then
		read -r -a kernels <<<"$ZT_BENCH_KERNELS"
	else
		mapfile -t kernels < <("$repo/scripts/vm/list-kernels.sh")
	fi
	run_host
	local kver
	for kver in "${kernels[@]}"; do
		run_kernel "$kver"
	done
	write_results
	[ "${#failed[@]}" -eq 0 ] || { echo "bench.sh: failed: ${failed[*]}" >&2; exit 1; }
}

main "$@"
