#!/usr/bin/env bash
# Installs everything the builds and both test tiers need on a Debian 12
# machine. Safe to run again: it only adds what is missing. Run by root or
# by a sudoer (it asks sudo for itself; root has no sudo on Debian).
#
#   deps.sh                  the builds, both tiers, the benchmarks
#   deps.sh --debug-kernel   also the kernel source the debug kernel is built from
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
	command -v sudo >/dev/null || { echo "deps.sh: run as root (no sudo here)" >&2; exit 1; }
	exec sudo -- bash "$0" "$@"
fi
extra=()
case ${1:-} in
--debug-kernel) extra=(linux-source-6.1) ;;
"") ;;
*) echo "usage: deps.sh [--debug-kernel]" >&2; exit 2 ;;
esac

export DEBIAN_FRONTEND=noninteractive
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
backports="${codename}-backports"

# The 6.12 test kernel comes from the backports suite.
if ! grep -rqs "$backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
	cat > /etc/apt/sources.list.d/zentrope-backports.sources <<SRC
Types: deb
URIs: http://deb.debian.org/debian
Suites: $backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi

apt-get update -qq

pkgs=(
	build-essential cmake ninja-build pkg-config git
	clang lld libclang-rt-14-dev
	googletest libgtest-dev libgmock-dev
	liburcu-dev libiniparser-dev liblzma-dev
	qemu-system-x86 busybox-static cpio kmod e2fsprogs xz-utils zstd
	bc flex bison libelf-dev libssl-dev
	jq mmdebstrap prometheus
	linux-image-amd64 linux-headers-amd64
	"${extra[@]}"
)
apt-get install -y -qq --no-install-recommends "${pkgs[@]}"

# Newest 6.12 image the backports suite offers, chosen by apt, not by us.
img=$(apt-cache search --names-only '^linux-image-6\.12\.[0-9]+\+[a-z0-9.~]+-amd64$' |
	awk '{print $1}' | sort -V | tail -n 1)
if [ -z "$img" ]; then
	echo "deps.sh: no 6.12 kernel image found in $backports" >&2
	exit 1
fi
hdr=${img/linux-image-/linux-headers-}
apt-get install -y -qq --no-install-recommends -t "$backports" "$img" "$hdr"

echo "deps.sh: ready ($(ls /lib/modules | tr '\n' ' '))"
