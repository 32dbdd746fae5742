#!/usr/bin/env bash
# Builds the Debian package <build>/zentrope_<version>_amd64.deb: builds the
# bundled daemon and the man page when needed, installs them with
# `cmake --install` into a staging directory, adds the control files and
# the maintainer scripts of dist/debian/, and runs dpkg-deb. The version is
# the CMake project version, checked against what the daemon prints for -v.
#
#   scripts/package.sh                  build tree build/ (or $ZT_BUILD_DIR)
#   scripts/package.sh --build-dir DIR  that build tree
#   scripts/package.sh --no-build       package what the tree holds (the
#                                       zt_deb target runs it so)
#
# The daemon carries the module built for every kernel of the build host
# that has headers; the package suits hosts running those kernels.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ZT_BUILD_DIR:-$repo/build}
do_build=1

die() {
	echo "package.sh: $*" >&2
	exit 1
}

while [ $# -gt 0 ]; do
	case $1 in
	--build-dir) build=${2:?--build-dir needs a directory}; shift 2 ;;
	--no-build) do_build=0; shift ;;
	-h | --help) sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
	*) die "unknown argument $1 (see --help)" ;;
	esac
done
build=$(mkdir -p "$build" && cd "$build" && pwd)
umask 022

if [ "$do_build" = 1 ]; then
	if [ ! -f "$build/CMakeCache.txt" ]; then
		"$repo/scripts/configure.sh" "$build"
	fi
	cmake --build "$build" --target zt_zentroped zt_manpage
fi

version=$(sed -n 's/^ZT_VERSION:INTERNAL=//p' "$build/CMakeCache.txt" 2>/dev/null)
[ -n "$version" ] || die "no ZT_VERSION in $build/CMakeCache.txt: not a configured zentrope tree"
[ -x "$build/zentroped" ] || die "no $build/zentroped: build the tree first (or drop --no-build)"

stage=$build/package-root
deb=$build/zentrope_${version}_amd64.deb
rm -rf "$stage"
mkdir -p "$stage/DEBIAN"
DESTDIR=$stage cmake --install "$build" --component zentrope >"$build/package-install.log" ||
	{ cat "$build/package-install.log" >&2; die "cmake --install failed"; }

# The version the program itself reports. -v needs root (the privilege
# check comes first): as root, or as root of a user namespace.
daemon=$stage/opt/zentrope/zentroped
if [ "$(id -u)" = 0 ]; then
	reported=$("$daemon" -v || true)
else
	reported=$(unshare -r "$daemon" -v 2>/dev/null || true)
fi
if [ -z "$reported" ]; then
	echo "package.sh: cannot run zentroped -v here; checking the version string in the program" >&2
	grep -qaF "$version" "$daemon" && reported=$version
fi
[ "$reported" = "$version" ] ||
	die "zentroped -v says '${reported}' but the CMake project version is $version"

for f in postinst prerm postrm; do
	install -m 0755 "$repo/dist/debian/$f" "$stage/DEBIAN/$f"
done
# Every list file and the configuration: an administrator's edits survive
# upgrades.
(cd "$stage" && find opt/zentrope/config -type f -name '*.txt' | LC_ALL=C sort |
	sed 's|^|/|') >"$stage/DEBIAN/conffiles"
[ -s "$stage/DEBIAN/conffiles" ] || die "no configuration files were installed"
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
	xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/conffiles" "$stage/DEBIAN/md5sums"

size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
# No Depends: the daemon is static. The unit's ExecReload runs /bin/kill,
# which procps provides.
cat >"$stage/DEBIAN/control" <<EOF
Package: zentrope
Version: $version
Architecture: amd64
Maintainer: The zentrope developers <zentrope-support@localhost>
Installed-Size: $size
Recommends: procps
Section: admin
Priority: optional
Description: application-blocking system (kernel module and daemon)
 The kernel module zentrope refuses what an administrator lists: programs
 (by path, short name or SHA-1 digest), script interpreters, domain names,
 IPv4 and IPv6 addresses and ports, and it reports every refusal.
 .
 The root daemon zentroped, one static program carrying the module builds,
 installs the module, pushes the rules of /opt/zentrope/config and writes
 the block log. It runs as the systemd service zentroped.service, which is
 ready before the network comes up and logs to the journal.
EOF
chmod 0644 "$stage/DEBIAN/control"

dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb.tmp" >/dev/null
mv -f "$deb.tmp" "$deb"
if command -v lintian >/dev/null; then
	lintian "$deb" || echo "package.sh: lintian reported the above (not fatal)" >&2
fi
echo "package.sh: $deb"
