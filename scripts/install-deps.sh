#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a fresh Debian 12 machine.
# Runs as root. Package installation must not start GlusterFS services: the test scripts
# start their own glusterd and stop it again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libboost-dev libboost-filesystem-dev libboost-thread-dev libboost-system-dev
  libgtest-dev googletest
  glusterfs-server glusterfs-client libglusterfs-dev
  attr rsync procps util-linux iproute2 psmisc
  clang libclang-rt-14-dev
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
