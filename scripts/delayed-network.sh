#!/usr/bin/env bash
# A network namespace whose loopback delays every packet, for running a GlusterFS test
# cluster "a network away" on one machine. As root.
#   delayed-network.sh start NAME MILLISECONDS   makes the namespace and starts the delay
#   delayed-network.sh run NAME COMMAND...       runs COMMAND in it (its network only: the
#                                                 mounts and files are the machine's)
#   delayed-network.sh stop NAME                  stops the delay and removes the namespace
#
# Each packet leaving the namespace's loopback is queued to tarn-net-delay (an iptables
# NFQUEUE rule, which the kernel's nftables runs), held for MILLISECONDS and let go, so a
# round trip takes twice that. The machine's host name resolves to an address of that
# loopback, so that glusterd, the bricks and their clients reach each other inside it.
# TARN_NET_DELAY names the delay program (default: build/tarn-net-delay).
set -euo pipefail
cd "$(dirname "$0")/.."

command=${1:-}
name=${2:-}
program=${TARN_NET_DELAY:-$PWD/build/tarn-net-delay}
pidfile=/run/tarn-net-delay-$name.pid
inside() { ip netns exec "$name" "$@"; }

start() {
  local milliseconds=$1
  [ -x "$program" ] || { echo "delayed-network: $program not built (libnetfilter-queue-dev?)" >&2; exit 1; }
  ip netns add "$name"
  inside ip link set lo up
  local address
  address=$(getent ahostsv4 "$(hostname)" | awk 'NR == 1 {print $1}')
  case $address in
    127.*|'') ;;  # 127.0.0.0/8 is the loopback's already
    *) inside ip addr add "$address/32" dev lo ;;
  esac
  # --queue-bypass: should the delay program die, packets pass instead of being dropped.
  inside iptables -A OUTPUT -o lo -j NFQUEUE --queue-num 0 --queue-bypass
  ip netns exec "$name" "$program" "$milliseconds" 0 > "/run/tarn-net-delay-$name.log" 2>&1 &
  echo $! > "$pidfile"
  # The delay is in place once the program has bound the queue.
  for _ in $(seq 50); do
    grep -q '^bound' "/run/tarn-net-delay-$name.log" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "delayed-network: the delay did not take hold; see /run/tarn-net-delay-$name.log" >&2
  stop
  exit 1
}

stop() {
  if [ -s "$pidfile" ]; then
    kill "$(cat "$pidfile")" 2>/dev/null || true
    rm -f "$pidfile"
  fi
  ip netns del "$name" 2>/dev/null || true
}

case $command in
  start) [ $# -eq 3 ] || { echo "usage: $0 start NAME MILLISECONDS" >&2; exit 2; }; start "$3" ;;
  run) shift 2; exec nsenter --net="/run/netns/$name" -- "$@" ;;
  stop) stop ;;
  *) echo "usage: $0 start NAME MILLISECONDS | run NAME COMMAND... | stop NAME" >&2; exit 2 ;;
esac
