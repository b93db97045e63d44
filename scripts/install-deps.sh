#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine (idempotent).
# Usage: scripts/install-deps.sh [--wine]
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
      libbenchmark-dev libcli11-dev g++-mingw-w64-i686-posix clang gnuplot-nox
      python3 python3-serial python3-pefile procps libedf-dev biosig-tools)
wine=0
[ "${1:-}" = "--wine" ] && wine=1
if [ $wine = 1 ]; then
  pkgs+=(wine wine32:i386)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} = 0 ] && exit 0
SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ $wine = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
$SUDO apt-get install -y -q "${missing[@]}"
