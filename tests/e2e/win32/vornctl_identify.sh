#!/bin/sh
# vornctl.exe under Wine against the native Linux service in the same network
# namespace: identify prints the sample device's identity, devices lists it,
# and a refused connection gets its own exit code. Needs the native build
# (build/linux) next to the Windows one.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  exec "$VORN_SRC/scripts/run-under-wine.sh" "$0" "$@"
fi
service="${VORN_NATIVE_BIN:-$VORN_SRC/build/linux}/vornsvc"
[ -x "$service" ] || { echo "FAIL: $service missing: build the linux preset first" >&2; exit 1; }
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
cp "$VORN_SRC/config/default-registry.reg" "$work/registry.reg"
ctl=$(printf 'Z:%s/tools/vornctl/vornctl.exe' "$VORN_BIN" | tr / '\\')

fail() { echo "FAIL: $*" >&2; cat "$work/out" >&2 2>/dev/null || true; exit 1; }

"$service" --registry "$work/registry.reg" 2>"$work/log" &
pid=$!
i=0
until grep -q '^VORN: Server is listening for DeviceGroup: ' "$work/log"; do
  i=$((i + 1)); [ $i -le 100 ] || fail "service did not start"; sleep 0.1
done

# The C runtime of Windows ends lines with CR LF in a pipe.
wine64 "$ctl" identify 127.0.0.1 </dev/null | tr -d '\r' >"$work/out" || fail "identify"
grep -qx 'model                Sample Analyzer' "$work/out" || fail "identify: model"
grep -qx 'material number      1234.5678.02' "$work/out" || fail "identify: material number"
grep -qx 'serial number        100042' "$work/out" || fail "identify: serial number"
grep -qx 'protocol version     210' "$work/out" || fail "identify: protocol version"
grep -qE '^VORN id +\{[0-9A-F-]{36}\}$' "$work/out" || fail "identify: VORN id"

wine64 "$ctl" devices 127.0.0.1 </dev/null | tr -d '\r' >"$work/out" || fail "devices"
printf '1234.5678.02\n__TRL_Tool__\n' | cmp -s - "$work/out" || fail "devices list"

status=0
wine64 "$ctl" identify 127.0.0.1:1 </dev/null >"$work/out" 2>&1 || status=$?
[ "$status" -eq 3 ] || fail "refused connection: exit $status"
grep -q 'SOCKET: Error code 0x0000274D: ' "$work/out" || fail "refusal message"
echo "ok: vornctl.exe identifies the native service"
