#!/usr/bin/env bash
# Runs every VM suite and the soak on the debug kernel (KASAN, lockdep,
# PROVE_RCU, DEBUG_ATOMIC_SLEEP, kmemleak), building the kernel first when
# this machine has no up-to-date build of it (scripts/debug-kernel/build.sh,
# about 20 minutes on two cores, cached outside the checkout). Any lockdep
# splat, KASAN report, sleep in atomic context or kmemleak suspect fails
# the suite it happened in.
#
#   scripts/debug-run.sh              every VM suite, then the soak
#   scripts/debug-run.sh -R net       extra arguments go to ctest (the soak still runs)
#
# Environment: ZT_SKIP_DEPS=1 skips scripts/deps.sh; ZT_DEBUG_BUILD_DIR is
# the build tree (default build-debug/); ZT_SOAK_SECONDS the soak's length
# (default 600); ZT_DEBUG_KERNEL_CACHE where the kernel is kept.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZT_DEBUG_BUILD_DIR:-$repo/build-debug}

if [ "${ZT_SKIP_DEPS:-0}" != 1 ]; then
	bash "$repo/scripts/deps.sh" --debug-kernel
fi

# Sets ZT_KERNEL_ROOT and ZT_DEBUG_KVER.
eval "$("$repo/scripts/debug-kernel/build.sh")"
echo "debug-run: kernel $ZT_DEBUG_KVER from $ZT_KERNEL_ROOT"

# The checkers slow the guest down about threefold; the limits follow.
# Debian's source, built here: its version string does not say Debian.
"$repo/scripts/configure.sh" "$build" \
	-DZT_KERNEL_ROOT="$ZT_KERNEL_ROOT" -DZT_VM_KERNELS="$ZT_DEBUG_KVER" \
	-DZT_VM_TIMEOUT_SCALE=4 -DZT_BUNDLE_PLATFORM=Debian
cmake --build "$build"

# This kernel does not come up through the PVH entry (QEMU ends at once);
# its bzImage boots.
export ZT_VM_PVH=0

rc=0
ctest --test-dir "$build" -L vm --output-on-failure -j"$(nproc)" "$@" || rc=1
cmake --build "$build" --target soak || rc=1

if [ "$rc" = 0 ]; then
	echo "debug-run: every VM suite and the soak passed on $ZT_DEBUG_KVER"
else
	echo "debug-run: FAILED on $ZT_DEBUG_KVER (serial logs under $build/vm-logs/)" >&2
fi
exit "$rc"
