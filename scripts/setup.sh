#!/bin/sh
# Installs everything the build, the demo and the tests need on a Debian machine.
# Safe to run again: apt-get skips what is already there.
set -eu
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
	$SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
	build-essential cmake pkg-config googletest libgtest-dev \
	g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 \
	wine wine32:i386 wine64 \
	libhivex-dev libhivex-bin \
	clang libclang-rt-14-dev \
	python3-pytest python3-pexpect zip
