#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60) on its seed
# corpus; new inputs that a run finds stay in build-fuzz/corpus/. As root.
# Usage: tests/fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_FUZZ=ON \
  -DTARN_GLUSTERFS=OFF > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target list_file_fuzzer config_fuzzer > "$build.build.log" 2>&1 ||
  { tail -50 "$build.build.log"; exit 1; }
if grep -E -A3 '(warning|note):' "$build.build.log"; then
  echo "the fuzz build printed warnings or notes (above)"
  exit 1
fi
for target in list_file config; do
  corpus=$build/corpus/$target
  log=$build/$target.log
  mkdir -p "$corpus"
  echo "=== fuzzing the $target reader for $seconds s"
  if ! "$build/tests/${target}_fuzzer" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
       "$corpus" "tests/fuzz/corpus/$target" > "$log" 2>&1; then
    tail -40 "$log"
    echo "fuzzing the $target reader found a fault (the input is saved as crash-* here)"
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log"
done
