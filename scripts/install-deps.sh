#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine (idempotent).
# Usage: scripts/install-deps.sh [--wine | --wine64]
#   --wine    32-bit Wine for the Windows stage
#   --wine64  64-bit Wine and the x86_64 cross compiler, for that stage on a kernel that runs
#             no 32-bit code
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
      libbenchmark-dev libcli11-dev g++-mingw-w64-i686-posix clang gnuplot-nox
      python3 python3-serial python3-pefile procps)
wine=0
case "${1:-}" in
  --wine) wine=1; pkgs+=(wine wine32:i386) ;;
  --wine64) pkgs+=(wine wine64 g++-mingw-w64-x86-64-posix) ;;
esac
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
