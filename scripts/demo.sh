#!/usr/bin/env bash
# On a fresh Debian 12 machine, as root: installs what is needed, builds, and runs stub,
# truncate and delete on local volumes made for the demo. It runs in a private mount
# namespace, so the machine's own /run/gluster/shared_storage and /tmp are never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  echo "demo.sh: run as root: the copies' marks are extended attributes of the trusted namespace" >&2
  exit 1
fi
scripts/install-deps.sh
scripts/build.sh build
exec unshare --mount --propagation private -- bash demo/run-demo.sh "$PWD/out"
