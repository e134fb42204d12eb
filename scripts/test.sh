#!/usr/bin/env bash
# On a fresh Debian 12 machine, as root: installs what is needed, then builds and runs
# every test three times: plain, under AddressSanitizer with UndefinedBehaviorSanitizer,
# and under ThreadSanitizer; then fuzzes the list-file and configuration readers for a
# minute each (TARN_FUZZ_SECONDS). The tests on GlusterFS run on a single-node cluster that this
# script starts, and stops again at the end: distributed-replicated volumes, 2 x 2 bricks
# (TARN_CLUSTER_SHAPE=single for one brick a volume). One brick-fault test then runs once
# more with the whole cluster a network away (every packet delayed by 1 ms).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

# The build is kept free of warnings and notes: any that a change brings fails the run.
no_warnings() {
  if grep -E -A3 '(warning|note):' "$1"; then
    echo "the build printed warnings or notes (above; the whole log is $1)"
    return 1
  fi
}

total=0
suite() {
  local name=$1 build=$2
  shift 2
  echo "=== $name"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$build.configure.log" 2>&1 ||
    { cat "$build.configure.log"; return 1; }
  cmake --build "$build" -j "$(nproc)" > "$build.build.log" 2>&1 || { tail -50 "$build.build.log"; return 1; }
  no_warnings "$build.build.log"
  # A test that fails is run once more: LeakSanitizer's exit-time check now and then dies
  # itself ("Tracer caught signal 11") while gfapi's threads run. Every retry is named.
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" --timeout 900 --repeat until-pass:2) |
    tee "$build.ctest.log"
  if grep -q '\*\*\*Failed\|\*\*\*Exception' "$build.ctest.log"; then
    echo "passed only when run again:"
    grep '\*\*\*Failed\|\*\*\*Exception' "$build.ctest.log" | sed 's/^/  /'
  fi
  total=$((total + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$build.ctest.log")))
}

# The GlusterFS test cluster, for the tests on real volumes; stopped again on exit.
gluster_state=/var/lib/tarn-test-gluster
if [ "$(id -u)" = 0 ]; then
  scripts/gluster-test-cluster.sh stop "$gluster_state" > /dev/null 2>&1 || true
  trap 'scripts/gluster-test-cluster.sh stop "$gluster_state"' EXIT
  TARN_CLUSTER_SHAPE=${TARN_CLUSTER_SHAPE:-replicated} scripts/gluster-test-cluster.sh start "$gluster_state"
  export TARN_TEST_GLUSTER=$gluster_state
else
  echo "test.sh: not root: the GlusterFS tests are skipped" >&2
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}

suite "tests" build
suite "tests under AddressSanitizer and UndefinedBehaviorSanitizer" build-asan -DTARN_SANITIZE=address
suite "tests under ThreadSanitizer" build-tsan -DTARN_SANITIZE=thread

# The cluster again, inside a network namespace whose loopback holds every packet for
# 1 ms: glusterd, the bricks, the mounts and the test all a network away.
if [ -n "${TARN_TEST_GLUSTER:-}" ]; then
  echo "=== a brick-fault test with the cluster a network away (1 ms a packet)"
  delay_ns=tarn-test-delay
  shape=$(cat "$gluster_state/shape")
  scripts/gluster-test-cluster.sh stop "$gluster_state"
  scripts/delayed-network.sh stop "$delay_ns"
  TARN_NET_DELAY=$PWD/build/tarn-net-delay scripts/delayed-network.sh start "$delay_ns" 1
  trap 'scripts/gluster-test-cluster.sh stop "$gluster_state"; scripts/delayed-network.sh stop "$delay_ns"' EXIT
  TARN_CLUSTER_SHAPE=$shape scripts/delayed-network.sh run "$delay_ns" \
    scripts/gluster-test-cluster.sh start "$gluster_state"
  scripts/delayed-network.sh run "$delay_ns" bash -c \
    "cd build && ctest --output-on-failure --timeout 900 --repeat until-pass:2 -R 'gluster_faults.a_stub_run_outlives_one_brick'" |
    tee build.delayed.log
  grep -q '100% tests passed' build.delayed.log
  total=$((total + 1))
fi
tests/fuzz/run.sh "${TARN_FUZZ_SECONDS:-60}"
echo "=== every suite passed: plain, ASan+UBSan, TSan, fuzzing"
echo "tests: $total passed, 0 failed"
