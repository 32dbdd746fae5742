#!/bin/sh
# Benchmark, not a test: loopback UDP sendto, TCP connect and getxattr with
# and without the module (the guest program loads and removes it), empty
# and full lists. Prints "BENCH net ..." lines.
set -u
zt_bench_net --datagrams 100000 --connects 5000 --getxattrs 100000
