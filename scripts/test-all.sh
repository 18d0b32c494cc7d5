#!/bin/sh
# Builds everything (native, sanitizers, Windows) and runs every test: native,
# under AddressSanitizer/UndefinedBehaviorSanitizer with a bounded fuzz run,
# under ThreadSanitizer, and the Windows build under Wine. Warnings are errors.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

for preset in linux sanitize tsan windows; do
  echo "=== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

status=0
for preset in linux sanitize tsan windows; do
  echo "=== $preset: test"
  ctest --preset "$preset" || status=1
done

echo "=== fuzz"
scripts/run-fuzz.sh build/sanitize || status=1

exit $status
