#!/usr/bin/env bash
# The host program as an operator runs it, and what the system's library exports.
# Usage: host_test.sh BUILD_DIR   (as root; runs itself in a private mount namespace)
set -uo pipefail
build=$(cd "$1" && pwd)
if [ -z "${TARN_HOST_TEST_ISOLATED:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "host_test: needs root; skipped"; exit 0; }
  TARN_HOST_TEST_ISOLATED=1 exec unshare --mount --propagation private -- "$0" "$@"
fi
source "$(dirname "$0")/../scripts/private-tmp.sh"

passed=0 failed=0
check() {  # check NAME EXPECTED_STATUS COMMAND...
  local name=$1 expected=$2
  shift 2
  "$@" > /tmp/out 2>&1
  local status=$?
  if [ "$status" = "$expected" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name: status $status, expected $expected"
    sed 's/^/    /' /tmp/out
  fi
}
expect_output() {  # expect_output NAME PATTERN
  if grep -q -- "$2" /tmp/out; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAILED: $1: no '$2' in:"; sed 's/^/    /' /tmp/out; fi
}

host=$build/tarn-stubber
check "help" 0 "$host" --help
expect_output "help text" "Usage: tarn-stubber"
check "version" 0 "$host" --version
check "no arguments" 2 "$host"
expect_output "usage hint" "Try 'tarn-stubber --help'"
check "unknown operation" 2 "$host" archive live backup c
check "unknown option" 2 "$host" --frobnicate stub live backup c

if nm -D --defined-only "$build/libtarnstubber.so" | c++filt | grep -v ' tarn::stubber::stubber::' | grep -q .; then
  failed=$((failed + 1)); echo "FAILED: libtarnstubber.so exports more than its class"
else
  passed=$((passed + 1))
fi

# gfapi comes only with the GlusterFS backend's module, which is loaded on first use
# (sanitizer builds load it at start on purpose; see CMakeLists.txt).
if ! grep -q '^TARN_SANITIZE:STRING=.' "$build/CMakeCache.txt" 2>/dev/null; then
  if ldd "$host" | grep -q libgfapi; then
    failed=$((failed + 1)); echo "FAILED: the host program loads gfapi at start"
  else
    passed=$((passed + 1))
  fi
fi

root=$(mktemp -d /var/tmp/tarn-host-test-XXXXXX)
trap 'rm -rf "$root"' EXIT
export TARNCORE_BACKEND=local TARNCORE_LOCAL_ROOT=$root TARNCORE_LOG=stderr
mkdir -p "$root/live/d" "$root/live/lists" "$root/backup" "$root/.snaps"

check "no configuration" 1 "$host" stub live backup lists/c
expect_output "configuration error shown" "livefs.json"

echo '{"livefsvolname": "live", "backupvolname": "backup", "nodes": []}' > /run/gluster/shared_storage/livefs.json
echo one > "$root/live/d/a"
echo two > "$root/live/d/b"
printf '/d/a\n/d/b\n' > "$root/live/lists/p-1"
printf 'lists/p-1\n' > "$root/live/lists/c"
cp -a "$root/live" "$root/.snaps/livesnap"

check "stub" 0 "$host" stub live backup lists/c
[ "$(cat "$root/backup/p/00000000/b")" = two ] && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: copy"; }
check "verify a sound backup" 0 "$host" verify --checksum live backup lists/c
expect_output "verify summary" "^verify: 2 files checked, 2 sound$"
rm "$root/backup/p/00000000/a"
check "verify finds a missing copy" 1 "$host" verify --json live backup lists/c
expect_output "verify as JSON" '^{"kind":"missing copy","live":"/d/a","target":"p/00000000/a"}$'
expect_output "verify's JSON summary" '^{"files":2,"sound":1,"problems":{"missing copy":1}}$'
check "JSON without verify" 2 "$host" --json stub live backup lists/c
mkdir -p /tmp/bin
printf '#!/bin/sh\nexit 4\n' > /tmp/bin/farstow && chmod +x /tmp/bin/farstow
check "truncate with a failing archive tool" 1 env PATH="/tmp/bin:$PATH" "$host" truncate live backup lists/c
expect_output "command line shown" "Failed to execute command farstow stub glusterfs live glusterfs backup /tmp/farstow/p-1 /tmp/failed-files."
printf '/d/a\n/d/b\n' > "$root/live/lists/p-1"
printf 'lists/p-1\n' > "$root/live/lists/c"
check "delete" 0 "$host" 2 live backup lists/c
[ ! -e "$root/backup/p/00000000/a" ] && passed=$((passed + 1)) || { failed=$((failed + 1)); echo "FAILED: delete"; }
printf 'lists/p-1\n' > "$root/live/lists/c"
printf '/d/a\n' > "$root/live/lists/p-1"
check "delete of copies already gone" 0 "$host" -q delete live backup lists/c
# A window holds no more descriptors than the process may have, by default or as set: one
# collect file of 1,500 files under a limit of 1,024 that cannot be raised.
mkdir -p "$root/live/w" "$root/.snaps/livesnap/w"
for i in $(seq 1500); do
  echo "$i" > "$root/.snaps/livesnap/w/$i" && : > "$root/live/w/$i" && echo "/w/$i"
done > "$root/live/w.list"
for window in default 1024; do
  cp "$root/live/w.list" "$root/live/lists/w-1"
  printf 'lists/w-1\n' > "$root/live/lists/wide"
  rm -rf "$root/backup/w"
  setting=(-u TARNCORE_COPY_WINDOW)
  [ $window = default ] || setting=(TARNCORE_COPY_WINDOW=$window)
  check "a window of '$window' under a low descriptor limit" 0 \
    env "${setting[@]}" prlimit --nofile=1024 "$host" -q stub live backup lists/wide
  cmp -s "$root/.snaps/livesnap/w/1500" "$root/backup/w/00000000/1500" && passed=$((passed + 1)) ||
    { failed=$((failed + 1)); echo "FAILED: copy under a low descriptor limit, window '$window'"; }
done
rm "$root/.snaps/livesnap/d/a"
printf 'lists/p-1\n' > "$root/live/lists/c"
printf '/d/a\n' > "$root/live/lists/p-1"
check "stub of a file missing from the snapshot" 1 "$host" stub live backup lists/c
expect_output "failure shown" "Stubbing failed."

echo "host program: $passed passed, $failed failed"
[ "$failed" = 0 ]
