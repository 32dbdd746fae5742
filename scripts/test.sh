#!/usr/bin/env bash
# Installs what is missing, builds everything and runs both test tiers:
# host tests (GoogleTest with ASan/UBSan, short fuzz runs) and VM tests
# (the module in QEMU on every installed test kernel).
#
#   scripts/test.sh              everything
#   scripts/test.sh -L host      one tier (labels: host, fuzz, vm)
#   scripts/test.sh -R ctl_files one suite, on every kernel
# Extra arguments go to ctest.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZT_BUILD_DIR:-$repo/build}

bash "$repo/scripts/deps.sh"

"$repo/scripts/configure.sh" "$build"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "$@"
