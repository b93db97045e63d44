#!/usr/bin/env bash
# Fuzzes for a given time: scripts/fuzz.sh SECONDS [TARGET]
# Builds the libFuzzer targets with clang (build-fuzz/), then runs each target (or only
# TARGET, e.g. receive_pass) for SECONDS on one core, starting from its committed corpus in
# fuzz/corpus/<target>; new inputs go to build-fuzz/corpus/<target>, crashes to
# build-fuzz/findings/. FUZZ_MAX_LEN (default 9000, enough for a line longer than the
# receive buffer) caps input size; smaller inputs run many times faster. Extra libFuzzer
# options: FUZZ_OPTS="-runs=10000000".
# The committed corpus is replayed by the normal test run (ctest: fuzz_replay.*).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET]}
only=${2:-}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVYRA_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build-fuzz -j2 $(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//')

mkdir -p build-fuzz/findings
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  target=${name%_fuzz}
  [ -n "$only" ] && [ "$only" != "$target" ] && continue
  mkdir -p "build-fuzz/corpus/$target"
  echo "== $target (${seconds}s)"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz/$name" -max_total_time="$seconds" \
      -max_len="${FUZZ_MAX_LEN:-9000}" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/${target}-" ${FUZZ_OPTS:-} \
      "build-fuzz/corpus/$target" "fuzz/corpus/$target"
done
