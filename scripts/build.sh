#!/usr/bin/env bash
# Builds and installs into ./out (bin/tarn-stubber, lib/libtarnstubber.so, lib/libtarncore.so).
# Usage: scripts/build.sh [BUILD_DIR [extra cmake arguments]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)"
cmake --install "$build" --prefix "$PWD/out" > /dev/null
