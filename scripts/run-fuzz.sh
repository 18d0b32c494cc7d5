#!/bin/sh
# Runs every libFuzzer target of a build (built with -DVORN_BUILD_FUZZ=ON, as
# the sanitize preset does) for a bounded time, starting from its seed corpus
# fuzz/corpus/<name>/ and with its dictionary fuzz/<name>.dict when present.
# New inputs go to a scratch copy; crashes are kept in <build>/fuzz-artifacts.
#   scripts/run-fuzz.sh [build-dir] [seconds per target]
# Without a time per target, a budget of VORN_FUZZ_TOTAL_SECONDS (60) is
# shared among the targets, at least 10 s each, so the test command's fuzz
# run stays bounded as targets are added. VORN_FUZZ_TARGETS="a b" runs only
# those (for the long runs, two at a time on a shared machine);
# VORN_FUZZ_KEEP=DIR keeps what each target found in DIR/<name>.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/sanitize}

targets=$(find "$build/fuzz" -maxdepth 1 -type f -name '*_fuzz' -perm -u+x 2>/dev/null | sort)
if [ -n "${VORN_FUZZ_TARGETS:-}" ]; then
  targets=$(for name in $VORN_FUZZ_TARGETS; do echo "$build/fuzz/${name}_fuzz"; done)
fi
if [ -z "$targets" ]; then
  echo "no fuzz targets in $build/fuzz (configure with -DVORN_BUILD_FUZZ=ON)" >&2
  exit 1
fi
seconds=${2:-${VORN_FUZZ_SECONDS:-}}
if [ -z "$seconds" ]; then
  count=$(echo "$targets" | wc -l)
  seconds=$(( ${VORN_FUZZ_TOTAL_SECONDS:-60} / count ))
  [ "$seconds" -ge 10 ] || seconds=10
fi

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
status=0
for target in $targets; do
  name=$(basename "$target" _fuzz)
  scratch=$(mktemp -d)
  if [ -d "fuzz/corpus/$name" ]; then
    cp -R "fuzz/corpus/$name/." "$scratch/"
  fi
  set -- -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/${name}-"
  if [ -f "fuzz/$name.dict" ]; then
    set -- "$@" -dict="fuzz/$name.dict"
  fi
  echo "=== fuzz $name for ${seconds}s"
  if ! "$target" "$@" "$scratch"; then
    echo "FUZZ FAILURE in $name: see $artifacts" >&2
    status=1
  fi
  # The inputs a long run found, for a coverage report or a corpus merge.
  if [ -n "${VORN_FUZZ_KEEP:-}" ]; then
    mkdir -p "$VORN_FUZZ_KEEP/$name"
    cp -R "$scratch/." "$VORN_FUZZ_KEEP/$name/"
  fi
  rm -rf "$scratch"
done
exit $status
