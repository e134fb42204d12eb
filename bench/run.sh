#!/usr/bin/env bash
# Benchmarks the stub operation against cp -r and rsync -aX (synced and not), on local
# volumes, on a single-node GlusterFS cluster and on that cluster a network away (1 ms a
# packet), starting and stopping the cluster itself. As root, on Debian 12.
# Usage: bench/run.sh [--backend local|glusterfs|delayed|all] [--rounds N]
# Prints the figures and writes bench/RESULTS.md and bench/ratios.png.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
missing=()
for p in time rsync gnuplot-nox python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release > /dev/null
exec unshare --mount --propagation private -- bash -c \
  'source scripts/private-tmp.sh && exec /usr/bin/python3 bench/bench.py "$@"' bench "$@"
