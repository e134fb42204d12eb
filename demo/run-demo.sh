#!/usr/bin/env bash
# The demo itself; scripts/demo.sh runs it in a private mount namespace.
# Usage: run-demo.sh PREFIX [GLUSTER_STATE_DIR]
#   without a state directory: on local volumes in a fresh directory;
#   with one: on the volumes of the GlusterFS test cluster started there.
set -euo pipefail
prefix=$1
gluster_state=${2:-}
demo=$(cd "$(dirname "$0")" && pwd)

source "$demo/../scripts/private-tmp.sh"

export TARNCORE_LOG=stderr
export PATH="$demo/bin:$prefix/bin:$PATH"
if [ -z "$gluster_state" ]; then
  root=$(mktemp -d /var/tmp/tarn-demo-XXXXXX)
  trap 'rm -rf "$root"' EXIT
  export TARNCORE_BACKEND=local TARNCORE_LOCAL_ROOT=$root
  live=$root/live backup=$root/backup snapshot=$root/.snaps/livesnap
  where="local volumes under $root"
else
  export TARNCORE_BACKEND=glusterfs TARNCORE_GLUSTER_SERVER=$(hostname) TARNCORE_GLUSTERD_DIR=$gluster_state/glusterd
  live=$gluster_state/mnt/live backup=$gluster_state/mnt/backup snapshot=$gluster_state/mnt/livesnap
  where="GlusterFS volumes (mounted under $gluster_state/mnt)"
fi

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "$where: live, backup, and the snapshot livesnap"
mkdir -p "$live/projects/alpha" "$live/projects/beta" "$live/lists" "$live/hosta" "$backup"
head -c 300000 /dev/urandom > "$live/projects/alpha/survey.dat"
head -c 70000 /dev/urandom > "$live/projects/alpha/model.bin"
echo "Quarterly figures" > "$live/projects/beta/report.txt"
: > "$live/projects/beta/empty.log"
setfattr -n user.snap_time -v 1733616000 "$live/hosta"
printf '/projects/alpha/survey.dat\n/projects/alpha/model.bin\n' > "$live/lists/hosta-0001"
printf '/projects/beta/report.txt\n/projects/beta/empty.log\n' > "$live/lists/hostb-0001"
printf 'lists/hosta-0001\nlists/hostb-0001\n' > "$live/lists/container-1"
mkdir -p "$snapshot"
cp -a "$live/." "$snapshot/"
cat > /run/gluster/shared_storage/livefs.json <<JSON
{ "livefsvolname": "live", "backupvolname": "backup", "glustersnapname": "livesnap",
  "nodes": [ { "weight": 1, "ip": "127.0.0.1", "hostname": "$(hostname)", "serialno": "demo", "uuid": "demo" } ] }
JSON
(cd "$live" && find . -type f | sort)

step "tarn-stubber stub live backup lists/container-1"
tarn-stubber stub live backup lists/container-1
echo "backup volume:"
(cd "$backup" && find . -type f -printf '%p  %s bytes\n' | sort)
for f in projects/alpha/survey.dat projects/beta/report.txt; do
  echo "marks on live $f:"
  getfattr --absolute-names -d -m 'trusted\.(riridized|farstow)' "$live/$f" | sed -n 's/^/  /;/=/p'
done
cmp "$snapshot/projects/alpha/survey.dat" "$backup/hosta/1733616000/survey.dat" && echo "copy of survey.dat is byte-identical"

step "tarn-stubber verify --checksum live backup lists/container-1  (before anything is released)"
tarn-stubber verify --checksum live backup lists/container-1

step "tarn-stubber truncate live backup lists/container-1  (farstow is a stand-in here)"
tarn-stubber truncate live backup lists/container-1
cat /tmp/farstow-standin.log
echo "container and collect files left on the live volume: $(cd "$live/lists" && ls | wc -l)"

step "tarn-stubber delete live backup lists/container-1"
printf '/projects/alpha/survey.dat\n/projects/alpha/model.bin\n' > "$live/lists/hosta-0001"
printf '/projects/beta/report.txt\n/projects/beta/empty.log\n' > "$live/lists/hostb-0001"
printf 'lists/hosta-0001\nlists/hostb-0001\n' > "$live/lists/container-1"
tarn-stubber delete live backup lists/container-1
echo "files left on the backup volume: $(find "$backup" -type f | wc -l)"
step "done"
