#!/usr/bin/env bash
# Runs every VM benchmark on one kernel in two boots of bench/vm/all_bench.sh:
# the wall-time ones, then the overhead ratios on one vCPU with
# instruction-counted time, where they repeat from boot to boot.
#
#   run-all.sh KVER LOGDIR RUN-VM-ARGS...
#
# Writes LOGDIR/bench-all.log and LOGDIR/bench-all-icount.log. The
# environment picks what runs: ZT_BENCH_WALL (default "store hash daemon")
# and ZT_BENCH_ICOUNT (default "exec net"), either empty to skip its boot;
# the other ZT_BENCH_* variables reach the guest's suite scripts through
# the kernel command line (the kernel hands init what it does not know).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
run_vm=$here/../../scripts/vm/run-vm.sh
host_only_re='^ZT_BENCH_(KERNELS|WALL|ICOUNT|OUT)='

[ $# -ge 2 ] || { sed -n '6p' "$0" | sed 's/^# //' >&2; exit 2; }
kver=$1 logs=$2
shift 2

# "ZT_BENCH_X=v ..." for the guest; values must not need quoting.
guest_knobs() {
	env | grep -E '^ZT_BENCH_[A-Z0-9_]+=[^[:space:]]*$' | grep -vE "$host_only_re" |
		sort | tr '\n' ' ' || true
}

boot() {
	local name=$1 only=$2
	shift 2
	[ -n "$only" ] || return 0
	"$run_vm" --kernel "$kver" --suite "$here/all_bench.sh" \
		--log "$logs/$name.log" --append "ZT_BENCH_ONLY=${only// /,} $(guest_knobs)" \
		"$@" --show
}

# A failed boot does not keep the other from running.
rc=0
boot bench-all "${ZT_BENCH_WALL-store hash daemon}" "$@" || rc=1
ZT_VM_SMP=1 ZT_VM_ICOUNT=0 boot bench-all-icount "${ZT_BENCH_ICOUNT-exec net}" "$@" || rc=1
exit "$rc"
