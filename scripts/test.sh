#!/usr/bin/env bash
# Builds everything and runs every test: native suite under ASan+UBSan, threaded tests
# under TSan, the 32-bit Windows DLL with its export/resource checks and the Wine stage (the
# 32-bit DLL where this machine runs 32-bit Wine, the 64-bit build under 64-bit Wine where not).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --wine

jobs=$(nproc)
# The recording tests read back with BioSig and MNE, installed above: missing, they fail.
export VYRA_REQUIRE_READERS=1
echo "== layering: no file in src/ includes a folder above its own"
scripts/check_layers.sh
echo "== native build, AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVYRA_SANITIZE=address,undefined >/dev/null
ninja -C build/asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs"

echo "== whole suite again, ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYRA_SANITIZE=thread >/dev/null
ninja -C build/tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure -j"$jobs"

echo "== 32-bit Windows plug-in"
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build/win32
tests/win32/check_exports.sh build/win32
if tests/wine/run.sh --probe >/dev/null; then
  tests/wine/run.sh build/win32 build/asan
else
  echo "== 64-bit Windows build for the Wine stage: $(tests/wine/run.sh --probe)"
  scripts/install-deps.sh --wine64
  cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  ninja -C build/win64
  tests/wine/run.sh build/win32 build/asan build/win64
fi
