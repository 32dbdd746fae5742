#!/usr/bin/env bash
# Configures a build tree the way every command here builds: Ninja, clang
# (libFuzzer and the sanitizers need it), the module with W=1.
#
#   configure.sh BUILD_DIR [more cmake arguments...]
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:?usage: configure.sh BUILD_DIR [cmake arguments...]}
shift
exec cmake -S "$repo" -B "$build" -G Ninja \
	-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZT_KMOD_W1=ON "$@"
