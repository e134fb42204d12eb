#!/usr/bin/env bash
# Builds the Debian package, build-deb/tarn-stubber_<version>_<arch>.deb, as root on Debian 12
# (it installs what the build needs first). Install it on a node with
#   apt-get install ./build-deb/tarn-stubber_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=build-deb
rm -f "$build"/tarn-stubber_*.deb
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" > "$build.build.log" 2>&1 || { tail -50 "$build.build.log"; exit 1; }
(cd "$build" && cpack -G DEB) > "$build.cpack.log" 2>&1 || { cat "$build.cpack.log"; exit 1; }
ls "$build"/tarn-stubber_*.deb
