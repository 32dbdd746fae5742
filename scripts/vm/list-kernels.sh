#!/usr/bin/env bash
# Prints the release string (KVER) of every installed kernel the VM tests can
# use, one per line, oldest first. A kernel is usable when it has both a bootable
# image (/boot/vmlinuz-KVER) and a build tree for out-of-tree modules
# (/lib/modules/KVER/build/Makefile). The realtime and cloud flavours are skipped:
# the cloud one lacks the drivers a plain QEMU guest needs and neither is a
# target of the project.
set -euo pipefail

# ZT_KERNEL_ROOT: a tree laid out like / that holds other kernels (the
# debug kernel's cache), searched instead of the host's own.
root=${ZT_KERNEL_ROOT:-}
boot_dir=$root/boot
modules_dir=$root/lib/modules

usable_kernels() {
	local img kver
	for img in "$boot_dir"/vmlinuz-*; do
		[ -e "$img" ] || continue
		kver=${img##*/vmlinuz-}
		case $kver in
		*-rt-amd64 | *-cloud-amd64) continue ;;
		esac
		[ -f "$modules_dir/$kver/build/Makefile" ] || continue
		printf '%s\n' "$kver"
	done
}

usable_kernels | sort -V
