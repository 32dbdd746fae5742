#!/bin/sh
# Benchmark, not a test: loopback UDP sendto+recv, UDP recv, UDP bind, TCP
# connect, open+close, getxattr and fork with and without the module (the
# guest program loads and removes it), empty and full lists (10,000
# addresses, 10,000 ports, 10,000 domains); 100,000 calls of each
# (ZT_BENCH_NET_OPS), a twentieth of that of binds, connects and forks; a
# forked child's sends against its parent's, and 200 worst-case 64 KiB DNS
# datagrams. Prints "BENCH net ..." lines.
set -u
n=${ZT_BENCH_NET_OPS:-100000}
zt_bench_net --datagrams "$n" --connects $((n / 20)) --getxattrs "$n" --dns $((n / 500))
