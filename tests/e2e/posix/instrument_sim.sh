#!/bin/sh
# vorn-instrument-sim on its own: the block appears under the name the service
# looks for, a second publisher of the same name is refused while the first
# lives, SIGTERM withdraws the block, and a bad option is refused.
set -eu
sim="$VORN_BIN/tools/vorn-instrument-sim/vorn-instrument-sim"
key="E2eSim-$$"
block="/dev/shm/SharedMemory_${key}_1234.abcd.02_4711"
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$sim" --key "$key" --material 1234.ABCD.02 --serial 4711 >"$work/out" 2>"$work/err" </dev/null &
pid=$!
i=0
until grep -q '^ready ' "$work/out"; do
  i=$((i + 1))
  [ $i -lt 100 ] || fail "no ready line: $(cat "$work/err")"
  sleep 0.05
done
grep -qx "ready SharedMemory_${key}_1234.abcd.02_4711" "$work/out" || fail "ready line: $(cat "$work/out")"
[ -e "$block" ] || fail "no shared memory object $block"

status=0
"$sim" --key "$key" --material 1234.ABCD.02 --serial 4711 </dev/null >/dev/null 2>"$work/err2" || status=$?
[ "$status" -eq 1 ] || fail "second publisher: exit status $status, expected 1"
grep -q 'running instrument' "$work/err2" || fail "second publisher: $(cat "$work/err2")"

kill -TERM "$pid"
wait "$pid" || fail "simulator exit status $? after SIGTERM"
pid=
[ ! -e "$block" ] || fail "block left behind after SIGTERM"

status=0
"$sim" --fail everything </dev/null >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "bad --fail word: exit status $status, expected 2"
echo "ok: simulator publishes, refuses a duplicate, withdraws on SIGTERM"
