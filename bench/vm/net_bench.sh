#!/bin/sh
# Benchmark, not a test: loopback UDP sendto, TCP connect, open+close and
# getxattr with and without the module (the guest program loads and removes
# it), empty and full lists; 100,000 calls of each (ZT_BENCH_NET_OPS), a
# twentieth of that of connects. Prints "BENCH net ..." lines.
set -u
n=${ZT_BENCH_NET_OPS:-100000}
zt_bench_net --datagrams "$n" --connects $((n / 20)) --getxattrs "$n"
