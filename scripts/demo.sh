#!/usr/bin/env bash
# The main job: build the native module and tools, then run the demo against the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVYRA_TESTS=OFF >/dev/null
ninja -C build/release
if [ -x build/release/tools/vyra-host/vyra-host ]; then
  exec build/release/tools/vyra-host/vyra-host demo "$@"
fi
echo "vyra-host is not built yet; the module is at build/release/VYRA(8u).vmcdll"
