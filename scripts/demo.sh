#!/usr/bin/env bash
# On a fresh Debian 12 machine, as root: installs what is needed, builds, and runs stub,
# truncate and delete on local volumes made for the demo. It runs in a private mount
# namespace, so the machine's own /run/gluster/shared_storage and /tmp are never touched.
#   scripts/demo.sh --glusterfs   the same on real GlusterFS volumes of a single-node test
#                                 cluster that it starts and stops again
set -euo pipefail
cd "$(dirname "$0")/.."
gluster_state=
if [ "${1:-}" = --glusterfs ]; then
  gluster_state=/var/lib/tarn-demo-gluster
elif [ $# -gt 0 ]; then
  echo "usage: $0 [--glusterfs]" >&2
  exit 2
fi
if [ "$(id -u)" != 0 ]; then
  echo "demo.sh: run as root: the copies' marks are extended attributes of the trusted namespace" >&2
  exit 1
fi
scripts/install-deps.sh
scripts/build.sh build
if [ -n "$gluster_state" ]; then
  trap 'scripts/gluster-test-cluster.sh stop "$gluster_state"' EXIT
  scripts/gluster-test-cluster.sh start "$gluster_state"
fi
unshare --mount --propagation private -- bash demo/run-demo.sh "$PWD/out" $gluster_state
