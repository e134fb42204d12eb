#!/usr/bin/env bash
# A single-node GlusterFS cluster for the tests, as root.
#   gluster-test-cluster.sh start STATE_DIR   starts glusterd, makes the volumes live, backup
#                                              and livesnap with bricks under STATE_DIR/bricks
#                                              and mounts them under STATE_DIR/mnt
#   gluster-test-cluster.sh stop STATE_DIR    unmounts, deletes the volumes, stops what start started
#
# TARN_CLUSTER_SHAPE chooses the volumes' shape (recorded in STATE_DIR/shape):
#   single      one brick a volume
#   replicated  live and backup distributed-replicated, 2 x 2 bricks (replica pairs
#               <volume>-0 and -1, <volume>-2 and -3), as production volumes are; livesnap
#               distributed over two bricks. All bricks are on this one glusterd, which
#               takes "force" for replica bricks on one server.
# To run the cluster a network away, start it inside scripts/delayed-network.sh's namespace.
#
# The snapshot is a stand-in: real snapshots need LVM thin bricks. livesnap is a plain
# volume that the tests fill "at snapshot time"; its client volfile is copied, with a
# read-only translator on top as glusterd does for snapshots, to where the core library
# looks snapshots up (STATE_DIR/glusterd/snaps/livesnap/<id>/trusted-<id>.tcp-fuse.vol).
set -euo pipefail

command=$1
state=$(mkdir -p "$2" && cd "$2" && pwd)
volumes=(live backup livesnap)
host=$(hostname)
shape=${TARN_CLUSTER_SHAPE:-$(cat "$state/shape" 2>/dev/null || echo single)}
case $shape in single|replicated) ;; *) echo "gluster-test-cluster: unknown shape $shape" >&2; exit 2 ;; esac
gluster() { command gluster --mode=script "$@"; }

wait_for() {  # wait_for SECONDS DESCRIPTION COMMAND...
  local limit=$1 what=$2
  shift 2
  for _ in $(seq $((limit * 10))); do
    "$@" > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "gluster-test-cluster: $what did not happen within $limit s" >&2
  return 1
}

# The brick directories of a volume, in the order that makes its replica sets.
brick_dirs() {
  local volume=$1
  if [ "$shape" = single ]; then
    echo "$state/bricks/$volume"
  elif [ "$volume" = livesnap ]; then
    echo "$state/bricks/$volume-0" "$state/bricks/$volume-1"
  else
    echo "$state/bricks/$volume-0" "$state/bricks/$volume-1" "$state/bricks/$volume-2" "$state/bricks/$volume-3"
  fi
}

# Every brick of the volume is online (the self-heal daemon's own entry aside).
bricks_online() {
  local volume=$1 wanted online
  wanted=$(brick_dirs "$volume" | wc -w)
  online=$(gluster volume status "$volume" --xml |
           awk -v bricks="$state/bricks/" '/<path>/ {brick = index($0, bricks) > 0}
                                            /<status>1<\/status>/ && brick {n++} END {print n + 0}')
  [ "$online" -ge "$wanted" ]
}

# The volume's client volfile with a read-only translator on top of its graph.
write_snapshot_volfile() {
  local id=0123456789abcdef0123456789abcdef
  local directory=$state/glusterd/snaps/livesnap/$id
  local source=/var/lib/glusterd/vols/livesnap/trusted-livesnap.tcp-fuse.vol
  mkdir -p "$directory"
  local top
  top=$(awk '/^volume /{name=$2} END{print name}' "$source")
  {
    cat "$source"
    printf '\nvolume livesnap-read-only\n    type features/read-only\n    option read-only on\n'
    printf '    subvolumes %s\nend-volume\n' "$top"
  } > "$directory/trusted-$id.tcp-fuse.vol"
}

# Caches of the FUSE side are off, so that the tests see at once what gfapi wrote
# (benchmarks keep GlusterFS's defaults: TARN_CLUSTER_DEFAULT_OPTIONS=1).
uncached_volume() {
  local volume=$1
  for option in performance.quick-read performance.io-cache performance.stat-prefetch \
                performance.open-behind performance.read-ahead; do
    gluster volume set "$volume" "$option" off > /dev/null
  done
}

start() {
  if [ ! -s "$state/glusterd.pid" ] || ! kill -0 "$(cat "$state/glusterd.pid")" 2>/dev/null; then
    if pgrep -x glusterd > /dev/null || (exec 3<>/dev/tcp/127.0.0.1/24007) 2>/dev/null; then
      echo "gluster-test-cluster: a glusterd runs on this machine already; not touching it" >&2
      exit 1
    fi
    mkdir -p "$state/bricks" "$state/mnt"
    echo "$shape" > "$state/shape"
    glusterd -p "$state/glusterd.pid" --log-file="$state/glusterd.log"
  fi
  wait_for 30 "glusterd answering" gluster volume list
  wait_for 30 "port 24007 accepting" bash -c 'exec 3<>/dev/tcp/127.0.0.1/24007'
  for volume in "${volumes[@]}"; do
    if ! gluster volume info "$volume" > /dev/null 2>&1; then
      local bricks=() replica=()
      for directory in $(brick_dirs "$volume"); do bricks+=("$host:$directory"); done
      [ "$shape" = replicated ] && [ "$volume" != livesnap ] && replica=(replica 2)
      gluster volume create "$volume" "${replica[@]}" "${bricks[@]}" force > /dev/null
      [ -n "${TARN_CLUSTER_DEFAULT_OPTIONS:-}" ] || uncached_volume "$volume"
    fi
    gluster volume start "$volume" force > /dev/null
    wait_for 60 "bricks of $volume online" bricks_online "$volume"
    mkdir -p "$state/mnt/$volume"
    local options=attribute-timeout=0,entry-timeout=0,negative-timeout=0
    [ -z "${TARN_CLUSTER_DEFAULT_OPTIONS:-}" ] || options=defaults
    mountpoint -q "$state/mnt/$volume" || mount -t glusterfs -o "$options" "$host:/$volume" "$state/mnt/$volume"
  done
  write_snapshot_volfile
}

stop() {
  for volume in "${volumes[@]}"; do
    mountpoint -q "$state/mnt/$volume" 2>/dev/null && umount -l "$state/mnt/$volume"
  done
  local brick_pids=()
  for volume in "${volumes[@]}"; do
    for pidfile in /var/run/gluster/vols/"$volume"/*.pid; do
      [ -s "$pidfile" ] && brick_pids+=("$(cat "$pidfile")")
    done
    gluster volume stop "$volume" force > /dev/null 2>&1 || true
    gluster volume delete "$volume" > /dev/null 2>&1 || true
  done
  [ -s "$state/glusterd.pid" ] && brick_pids+=("$(cat "$state/glusterd.pid")")
  for pid in "${brick_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${brick_pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$state"
}

case $command in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
