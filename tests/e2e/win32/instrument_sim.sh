#!/bin/sh
# The Windows simulator publishes its COM object only where the interface's
# proxy/stub DLL is registered: without it, marshalling fails and it exits 1;
# after regsvr32 it reports ready and runs until its input pipe closes.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  exec "$VORN_SRC/scripts/run-under-wine.sh" "$0" "$@"
fi
dir=$(printf 'Z:%s/tools/vorn-instrument-sim' "$VORN_BIN" | tr / '\\')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

status=0
wine64 "$dir\\vorn-instrument-sim.exe" --key E2e </dev/null >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "unregistered: exit status $status, expected 1"
grep -q 'cannot publish' "$work/err" || fail "unregistered: $(cat "$work/err")"

wine64 regsvr32 "$dir\\vorn_instrument_ps.dll" >/dev/null 2>&1 || fail "regsvr32"

# The simulator stops when its standard input, a pipe, ends with the sleep.
status=0
sleep 3 | wine64 "$dir\\vorn-instrument-sim.exe" --key E2e --material 1234.ABCD.02 \
  --serial 4711 >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 0 ] || fail "registered: exit status $status: $(cat "$work/err")"
grep -qx 'ready SharedMemory_E2e_1234.abcd.02_4711.*' "$work/out" || fail "no ready line: $(cat "$work/out")"
echo "ok: simulator publishes after regsvr32 and ends with its input"
