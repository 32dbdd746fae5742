#!/usr/bin/env bash
# Boots one guest test suite under QEMU (software emulation) and judges it.
#
#   run-vm.sh --kernel KVER --suite NAME|PATH [--timeout SEC] [--mem MB]
#             [--log FILE] [--module KO[:DEST]...] [--bin PROG...] [--file SRC[:DEST]...]
#             [--kernel-module NAME...] [--append ARGS] [--show]
#             [--debian-disk] [--reboot]
#   run-vm.sh --judge LOG      judge an existing serial log only
#
#   --suite NAME     tests/vm/suites/NAME.sh, or a path to any suite script
#   --timeout SEC    wall-clock limit for the whole boot (default 300)
#   --mem MB         guest memory (default 1024)
#   --log FILE       serial console log (default: a new file under $TMPDIR)
#   --module, --bin, --file, --kernel-module
#                    passed on to mkinitramfs.sh; each takes one or more values
#   --append ARGS    more kernel command line arguments
#   --show           print the guest's output (start to exit marker) afterwards
#   --debian-disk    attach the Debian system image (debian-image.sh) as
#                    /dev/vda; the guest's writes last until QEMU exits
#   --reboot         a guest reboot boots again instead of ending QEMU
#
# Passes (exit 0) only when the guest printed "ZT-SUITE-EXIT 0", no GoogleTest
# case failed, every "ZT-JSON " line it printed is a JSON object to jq, and
# the kernel logged no warning, oops, lockdep or KASAN report and took no
# such taint. Otherwise prints why, with the part of the log that
# shows it, and exits 1. Exit 2 means bad usage.
set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(cd "$script_dir/../.." && pwd)

# What a healthy kernel never prints. Matched anywhere in a line, since the
# serial console interleaves kernel and user output.
# The debug kernel adds kmemleak's report and the atomic-sleep check.
kernel_bad_re='BUG:|WARNING:|Oops|Call Trace|general protection|possible circular locking|inconsistent lock state|KASAN|Kernel panic'
kernel_bad_re+='|unreferenced object 0x|sleeping function called from invalid context'
# Taint bits that mean the kernel hit trouble at run time: B bad page (5),
# D died/oopsed (7), W warned (9), L soft lockup (14). Unsigned (E) and
# out-of-tree (O) module taints are expected and ignored.
taint_bad_mask=$(((1 << 5) | (1 << 7) | (1 << 9) | (1 << 14)))

die_usage() {
	echo "run-vm.sh: $*" >&2
	exit 2
}

usage() {
	sed -n '3,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
	exit 2
}

# Prints a failure paragraph, a separator and an excerpt, then fails.
fail() {
	local reason=$1 excerpt=$2
	{
		echo "FAIL vm ${kver:-?}/${suite_name:-?}: $reason"
		echo "Serial log: $log"
		echo "---- log excerpt ----"
		printf '%s\n' "$excerpt"
		echo "---------------------"
	} >&2
	exit 1
}

# The guest's output between the start marker and the exit marker.
guest_output() {
	awk '/ZT-SUITE-START/ { on = 1 } on { print } /ZT-SUITE-EXIT/ { exit }' "$log" | tr -d '\r'
}

# The lines the guest printed as "ZT-JSON <object>", without the prefix.
json_lines() {
	grep -a '^ZT-JSON ' "$log" | tr -d '\r' | sed 's/^ZT-JSON //'
}

# Each failed GoogleTest case with its output, from its "[ RUN      ]" line to
# its "[  FAILED  ]" line (at most 60 lines per case), then the summary.
gtest_failures() {
	tr -d '\r' <"$log" | awk '
		/\[ RUN      \]/ { n = 0; delete buf }
		{ if (n < 60) buf[n++] = $0 }
		/\[  FAILED  \] [^ ]+ \(/ { for (i = 0; i < n; i++) print buf[i]; print ""; n = 0 }
		/\[  FAILED  \] [0-9]+ tests?, listed below/ { summary = 1 }
		summary && /\[  FAILED  \]/ { print }
	'
}

judge() {
	[ -f "$log" ] || fail "no serial log was written" ""
	local timed_out=${1:-0} line

	line=$(grep -n -m1 -E "$kernel_bad_re" "$log" | cut -d: -f1 || true)
	if [ -n "$line" ]; then
		fail "the kernel reported a problem (\"$(sed -n "${line}p" "$log" | tr -d '\r' |
			grep -o -m1 -E "$kernel_bad_re" | head -n1)\" at log line $line); a guest kernel \
warning, oops, lockdep or KASAN report fails the test whatever the suite said." \
			"$(sed -n "$((line > 10 ? line - 10 : 1)),$((line + 30))p" "$log" | tr -d '\r')"
	fi

	if grep -q '\[  FAILED  \]' "$log"; then
		fail "GoogleTest cases failed in the guest (their output follows)." "$(gtest_failures)"
	fi

	# The guest has no JSON parser; it prints what it wants parsed.
	if grep -aq '^ZT-JSON ' "$log"; then
		local err
		if ! command -v jq >/dev/null; then
			fail "the guest printed ZT-JSON lines but jq is not installed (scripts/deps.sh installs it)." ""
		fi
		if ! err=$(json_lines | jq -n -e '[inputs | type == "object"] | all' 2>&1 >/dev/null); then
			fail "a line the guest printed as ZT-JSON is not a JSON object by jq: ${err:-not an object}" \
				"$(json_lines | head -n 20)"
		fi
	fi

	if ! grep -q 'ZT-SUITE-START' "$log"; then
		local why="the guest never reached /init (no ZT-SUITE-START marker)"
		[ "$timed_out" = 1 ] && why="$why and the VM was killed after ${timeout}s"
		fail "$why: the kernel did not boot or could not run the initramfs." "$(tail -n 60 "$log" | tr -d '\r')"
	fi

	local exit_line rc
	exit_line=$(grep -a -o 'ZT-SUITE-EXIT [0-9]*' "$log" | tail -n1 || true)
	if [ -z "$exit_line" ]; then
		if [ "$timed_out" = 1 ]; then
			fail "the suite did not finish within ${timeout}s (no ZT-SUITE-EXIT marker); it hung, or the \
timeout is too short for software emulation. Last lines of the log:" "$(tail -n 60 "$log" | tr -d '\r')"
		fi
		fail "the guest stopped before the suite finished (no ZT-SUITE-EXIT marker): it crashed, \
panicked or powered off early. Last lines of the log:" "$(tail -n 60 "$log" | tr -d '\r')"
	fi
	rc=${exit_line#ZT-SUITE-EXIT }
	if [ "$rc" != 0 ]; then
		fail "the suite script exited with status $rc. Last lines of its output:" \
			"$(guest_output | tail -n 40)"
	fi

	local taint
	taint=$(grep -a -o 'ZT-TAINT [0-9]*' "$log" | tail -n1 || true)
	taint=${taint#ZT-TAINT }
	if [ -n "$taint" ] && [ $((taint & taint_bad_mask)) -ne 0 ]; then
		fail "the kernel is tainted ($taint: warning, oops, bad page or soft lockup) although no \
report reached the console." "$(guest_output | tail -n 40)"
	fi
}

resolve_suite() {
	local s=$1
	if [ -f "$s" ]; then
		suite_path=$s
	elif [ -f "$repo_dir/tests/vm/suites/$s.sh" ]; then
		suite_path=$repo_dir/tests/vm/suites/$s.sh
	else
		die_usage "no suite $s (looked for $s and tests/vm/suites/$s.sh)"
	fi
	suite_name=${suite_path##*/}
	suite_name=${suite_name%.sh}
}

kver="" suite_name="" suite_path="" log="" judge_only="" qemu_status=0 debian_disk=0 reboot=0
timeout=300 mem=1024 show=0 append=""
initramfs_args=()

# Options that take a list consume values up to the next "--" option, so
# both "--bin a b" and "--bin a --bin b" work.
parse_args() {
	local opt
	while [ $# -gt 0 ]; do
		opt=$1
		case $opt in
		--kernel) kver=${2:?--kernel needs a KVER}; shift 2 ;;
		--suite) resolve_suite "${2:?--suite needs a name}"; shift 2 ;;
		--timeout) timeout=${2:?--timeout needs seconds}; shift 2 ;;
		--mem) mem=${2:?--mem needs MB}; shift 2 ;;
		--log) log=${2:?--log needs a file}; shift 2 ;;
		--append) append=${2:?--append needs arguments}; shift 2 ;;
		--show) show=1; shift ;;
		--debian-disk) debian_disk=1; shift ;;
		--reboot) reboot=1; shift ;;
		--judge) judge_only=${2:?--judge needs a log}; shift 2 ;;
		--module | --bin | --file | --kernel-module)
			shift
			if [ $# -eq 0 ] || [ "${1#--}" != "$1" ]; then
				die_usage "$opt needs a value"
			fi
			while [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; do
				initramfs_args+=("$opt" "$1")
				shift
			done
			;;
		-h | --help) usage ;;
		*) die_usage "unknown argument $opt" ;;
		esac
	done
	case $timeout in '' | *[!0-9]*) die_usage "--timeout must be whole seconds" ;; esac
	case $mem in '' | *[!0-9]*) die_usage "--mem must be whole MB" ;; esac
}

# Unpacks the kernel proper (an ELF vmlinux) out of a bzImage: the first
# payload of a known format that unpacks to an ELF file.
extract_vmlinux() {
	local image=$1 out=$2 magic tool off
	for magic in '\xfd7zXZ\x00:xz' '\x28\xb5\x2f\xfd:zstd' '\x1f\x8b\x08:gzip'; do
		tool=${magic##*:}
		command -v "$tool" >/dev/null || continue
		for off in $(LC_ALL=C grep -obUaP "${magic%:*}" "$image" | head -n 3 | cut -d: -f1); do
			# Trailing data after the payload makes the tools complain.
			tail -c +$((off + 1)) "$image" | "$tool" -dcq 2>/dev/null >"$out" || true
			if [ "$(head -c 4 "$out" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
				return 0
			fi
		done
	done
	return 1
}

# Prints the kernel file QEMU should load. Unpacking the decompression
# stub's work once on the host and booting the ELF through its PVH entry
# point saves seconds per boot under emulation (XZ-packed 6.1 images took
# 13s to boot instead of 6s). Cached per image; ZT_VM_PVH=0 turns it off,
# and any kernel without CONFIG_PVH boots from its bzImage as usual.
kernel_file() {
	local image=$1 cache cached
	if [ "${ZT_VM_PVH:-1}" = 0 ] || ! grep -qs '^CONFIG_PVH=y' "${ZT_KERNEL_ROOT:-}/boot/config-$kver"; then
		printf '%s\n' "$image"
		return
	fi
	cache=${ZT_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/zentrope-vm}
	cached=$cache/vmlinux-$kver-$(stat -c %s-%Y "$image")
	if [ ! -s "$cached" ]; then
		mkdir -p "$cache"
		# Parallel runs may race here: each writes its own file, the
		# rename is atomic.
		local tmp
		tmp=$(mktemp "$cached.XXXXXX")
		if extract_vmlinux "$image" "$tmp"; then
			chmod 0644 "$tmp"
			mv -f "$tmp" "$cached"
		else
			rm -f "$tmp"
			echo "run-vm.sh: cannot unpack $image, booting it as is" >&2
			printf '%s\n' "$image"
			return
		fi
	fi
	printf '%s\n' "$cached"
}

boot() {
	local image=${ZT_KERNEL_ROOT:-}/boot/vmlinuz-$kver
	[ -r "$image" ] || die_usage "no readable kernel image $image"
	local kernel
	kernel=$(kernel_file "$image")
	[ -n "$suite_path" ] || die_usage "--suite is required"

	local initramfs=$log.initramfs.gz
	"$script_dir/mkinitramfs.sh" --out "$initramfs" --suite "$suite_path" --kver "$kver" \
		"${initramfs_args[@]}"

	# panic=-1 with -no-reboot turns a panic (and so, with oops=panic, an
	# oops) into a QEMU exit instead of a hang until the timeout. The
	# watchdog and RCU stall limits are raised because emulation is slow,
	# not to hide real lockups: those still end in the timeout.
	local cmdline="console=ttyS0,115200 panic=-1 oops=panic loglevel=7 printk.time=1"
	cmdline+=" watchdog_thresh=60 rcupdate.rcu_cpu_stall_timeout=120"
	# The IO-APIC timer check times ticks against the TSC; on a loaded host
	# emulation misses them and the kernel panics ("IO-APIC + timer doesn't
	# work"), seen on 6.12. Virtual machines skip it as a rule.
	cmdline+=" no_timer_check"
	cmdline+=" rdinit=/init ${append}"

	# One TCG thread for both vCPUs: with one host thread per vCPU
	# (thread=multi) a guest CPU can run a stale translation of code the
	# kernel is live-patching (static keys, int3 breakpoints) and the kernel
	# then dies with "Oops: int3" although nothing is wrong with it. Seen
	# once in ~50 boots of 6.12; the boot time is the same either way.
	# ZT_VM_TCG_THREAD=multi brings back the truly parallel vCPUs.
	# Benchmarks of overhead ratios set ZT_VM_SMP=1 ZT_VM_ICOUNT=0: guest
	# time then counts instructions, and ratios repeat from boot to boot.
	local -a extra=()
	if [ "$debian_disk" = 1 ]; then
		local disk
		disk=$("$script_dir/debian-image.sh") || die_usage "no Debian image"
		extra+=(-drive "file=$disk,format=raw,if=virtio,snapshot=on")
	fi
	# A panic then reboots too; the suite counts its boots to end a loop.
	[ "$reboot" = 1 ] || extra+=(-no-reboot)

	: >"$log"
	local rc=0 start end
	start=$(date +%s)
	timeout -k 10 "$timeout" qemu-system-x86_64 \
		-accel "tcg,thread=${ZT_VM_TCG_THREAD:-single}" -cpu max \
		-smp "${ZT_VM_SMP:-2}" ${ZT_VM_ICOUNT:+-icount "shift=$ZT_VM_ICOUNT"} -m "$mem" \
		-nodefaults -no-user-config -nographic "${extra[@]}" \
		-monitor none -serial "file:$log" \
		-kernel "$kernel" -initrd "$initramfs" -append "$cmdline" \
		</dev/null >"$log.qemu" 2>&1 || rc=$?
	end=$(date +%s)
	rm -f "$initramfs"
	echo "run-vm.sh: $kver/$suite_name: VM ran $((end - start))s (qemu status $rc), log $log"

	qemu_status=$rc
}

# Judges the boot that just ended; timeout(1) reports 124 (or 137 after
# the KILL) when it had to stop QEMU.
judge_boot() {
	if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
		judge 1
	elif [ "$qemu_status" -ne 0 ] && ! grep -q 'ZT-SUITE-START' "$log"; then
		fail "qemu failed to start the guest (status $qemu_status)." "$(cat "$log.qemu")"
	fi
	judge 0
	rm -f "$log.qemu"
}

main() {
	parse_args "$@"
	if [ -n "$judge_only" ]; then
		log=$judge_only
		judge 0
		echo "PASS (log $log)"
		exit 0
	fi
	[ -n "$kver" ] || die_usage "--kernel is required"
	if [ -z "$log" ]; then
		log=$(mktemp "${TMPDIR:-/tmp}/zt-vm-$kver-$suite_name.XXXXXX.log")
	fi
	mkdir -p "$(dirname "$log")"

	boot
	if [ "$show" = 1 ]; then
		guest_output
	fi
	judge_boot
	echo "PASS vm $kver/$suite_name"
}

main "$@"
