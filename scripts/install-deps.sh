#!/usr/bin/env bash
# Installs everything the build, the tests, the demo and the Debian package need on a bare
# Debian 12 (minbase). Runs as root. A second run finds nothing missing and returns at once,
# without apt-get update. Package installation must not start GlusterFS services: the test
# scripts start their own glusterd and stop it again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libboost-dev libboost-filesystem-dev libboost-thread-dev libboost-system-dev
  libgtest-dev libgmock-dev googletest
  glusterfs-server glusterfs-client libglusterfs-dev uuid-dev
  attr rsync procps util-linux mount iproute2 psmisc e2fsprogs
  clang libclang-rt-14-dev
  file debootstrap   # CPack's library scan; the package test's clean root
  iptables libnetfilter-queue-dev   # network delay for the GlusterFS tests and the bench
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  made_policy=1
fi
trap '[ $made_policy = 1 ] && rm -f "$policy"' EXIT

apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
