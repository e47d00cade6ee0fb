#!/bin/sh
# Installs everything the build, the demo and the tests need on a Debian
# machine.  When every package is already there it does nothing, so that
# `make test` can call it each time.
set -eu

PACKAGES="build-essential cmake pkg-config googletest libgtest-dev
	g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64
	wine wine32:i386 wine64 libhivex-dev libhivex-bin libwin-hivex-perl python3-hivex
	clang libclang-rt-14-dev python3-pytest python3-pexpect zip strace time
	ntfs-3g"

missing=
for p in $PACKAGES; do
	status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
	case "$status" in
	*" installed") ;;
	*) missing="$missing $p" ;;
	esac
done
[ -z "$missing" ] && exit 0

SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
echo "setup: installing$missing"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
	$SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $PACKAGES
