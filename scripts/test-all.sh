#!/bin/sh
# Builds everything (native, sanitizers, Windows) and runs every test: native,
# under AddressSanitizer/UndefinedBehaviorSanitizer with a bounded fuzz run,
# under ThreadSanitizer, and the Windows build under Wine. Warnings are errors.
#
# The tests spend most of their time waiting on sockets, timers and Wine, the
# builds on the processor, so each build's tests run while the next build
# compiles. A build's test output is shown when its run ends; the exit status
# is 1 when any build or test failed.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)
logs=build/test-logs
mkdir -p "$logs"
started=$(date +%s)

elapsed() { echo "$(($(date +%s) - started)) s"; }

build() {
  echo "=== $1: build ($(elapsed))"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
}

# Runs in the background; its verdict is the file $logs/$1.status.
run_tests() {
  (
    rc=0
    ctest --preset "$1" -j "$jobs" >"$logs/$1.log" 2>&1 || rc=1
    if [ "$1" = sanitize ]; then
      echo "=== fuzz" >>"$logs/$1.log"
      scripts/run-fuzz.sh build/sanitize >>"$logs/$1.log" 2>&1 || rc=1
    fi
    echo "$rc" >"$logs/$1.status"
  ) &
  tests_pid=$!
  tests_preset=$1
}

status=0
tests_pid=
tests_preset=
finish_tests() {
  [ -n "$tests_pid" ] || return 0
  wait "$tests_pid" || true
  echo "=== $tests_preset: test ($(elapsed))"
  cat "$logs/$tests_preset.log"
  [ "$(cat "$logs/$tests_preset.status" 2>/dev/null)" = 0 ] || status=1
  tests_pid=
}

for preset in linux sanitize tsan windows; do
  rm -f "$logs/$preset.status"
  if build "$preset"; then
    finish_tests
    run_tests "$preset"
  else
    echo "=== $preset: build failed"
    status=1
    finish_tests
  fi
done
finish_tests
echo "=== done ($(elapsed)), status $status"
exit $status
