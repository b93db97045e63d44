#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine (idempotent).
# Usage: scripts/install-deps.sh [--wine | --wine64]
#   --wine    32-bit Wine for the Windows stage (best effort: without it the stage says so and
#             takes its 64-bit path)
#   --wine64  64-bit Wine and the x86_64 cross compiler, for that stage on a kernel that runs
#             no 32-bit code
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
      libbenchmark-dev libcli11-dev g++-mingw-w64-i686-posix clang gnuplot-nox
      python3 python3-serial python3-pefile procps libedf-dev biosig-tools python3-mne
      libcpp-httplib-dev libjs-dygraphs chromium chromium-driver python3-selenium)
extra=()
wine=0
case "${1:-}" in
  --wine) wine=1; extra=(wine wine32:i386) ;;
  --wine64) pkgs+=(wine wine64 g++-mingw-w64-x86-64-posix) ;;
esac
missing() {
  local p
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || echo "$p"; done
}
mapfile -t need < <(missing "${pkgs[@]}")
mapfile -t need_extra < <(missing "${extra[@]}")
[ ${#need[@]} = 0 ] && [ ${#need_extra[@]} = 0 ] && exit 0
SUDO=""
[ "$(id -u)" = 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ $wine = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
# A mirror mid-sync can fail one index (seen for the i386 security list); the others are
# still fresh, so retry once and then install from what was fetched.
if ! $SUDO apt-get update -q; then
  sleep 5
  $SUDO apt-get update -q || echo "install-deps: apt-get update incomplete, installing from the lists it has" >&2
fi
[ ${#need[@]} = 0 ] || $SUDO apt-get install -y -q "${need[@]}"
if [ ${#need_extra[@]} -gt 0 ] && ! $SUDO apt-get install -y -q "${need_extra[@]}"; then
  echo "install-deps: could not install ${need_extra[*]}; the Wine stage will take its 64-bit path" >&2
fi
