#!/usr/bin/env bash
# Builds, once per machine, the disk image of a minimal Debian 12 system for
# the VM tier: the packages of tests/vm/debian/packages.txt and what they
# need, from the package sources apt itself uses, with systemd as init.
# The image knows nothing of zentrope: each boot brings the package and
# the suite (tests/vm/suites/debian.sh copies them in and hands over to
# systemd, which runs them as zt-suite.service).
#
#   debian-image.sh      prints the image's path, building it first if missing
#
# Cached beside the unpacked kernels (ZT_VM_CACHE); a changed package list
# or a changed build script gives another name, so it is rebuilt.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
packages=$repo/tests/vm/debian/packages.txt
cache=${ZT_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/zentrope-vm}
size=2G

die() {
	echo "debian-image.sh: $*" >&2
	exit 1
}

key=$(cat "$packages" "${BASH_SOURCE[0]}" "$repo/tests/vm/debian/customize.sh" | sha256sum | cut -c1-12)
image=$cache/debian-bookworm-$key.img
if [ -s "$image" ]; then
	printf '%s\n' "$image"
	exit 0
fi
[ "$(id -u)" -eq 0 ] || die "building the image needs root (mmdebstrap and device nodes)"
command -v mmdebstrap >/dev/null || die "mmdebstrap missing (scripts/deps.sh installs it)"

# The sources apt uses here, backports left out: the guest is plain 12.
sources=/etc/apt/sources.list.d/debian.sources
[ -f "$sources" ] || sources=/etc/apt/sources.list
[ -f "$sources" ] || die "no apt sources on this machine"

mkdir -p "$cache"
work=$(mktemp -d "$cache/debian-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$(date +%s)

echo "debian-image.sh: building $image (a few minutes, once)" >&2
mmdebstrap --quiet --variant=apt --include="$(grep -v '^#' "$packages" | paste -sd,)" \
	--customize-hook="$repo/tests/vm/debian/customize.sh \"\$1\"" \
	bookworm "$work/root" "$sources" >&2

# ext4 filled from the tree, without mounting anything here.
truncate -s "$size" "$work/disk.img"
mkfs.ext4 -q -L zt-debian -d "$work/root" "$work/disk.img"
mv "$work/disk.img" "$image.tmp"
mv "$image.tmp" "$image"
echo "debian-image.sh: built in $(($(date +%s) - start)) s" >&2
printf '%s\n' "$image"
