#!/bin/sh
# vornctl against the real service over loopback: identify prints the
# identity of the sample device, devices lists it, errors reads the queue a
# failed selection leaves, send prints the answers of queries. Runs in a
# network namespace of its own (run-isolated.sh).
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
trap 'kill "${service_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$VORN_SRC/config/default-registry.reg" "$work/registry.reg"
ctl="$VORN_BIN/tools/vornctl/vornctl"

fail() { echo "FAIL: $*"; echo "--- output"; cat "$work/out" 2>/dev/null; echo "--- service log"; cat "$work/log"; exit 1; }

. "$VORN_SRC/tests/shell/service.sh"
service_start "$work/registry.reg" "$work/log"
pid=$service_pid

"$ctl" identify 127.0.0.1 >"$work/out" || fail "identify exit $?"
grep -qx 'device               1234.5678.02' "$work/out" || fail "identify: device"
grep -qx 'model                Sample Analyzer' "$work/out" || fail "identify: model"
grep -qx 'material number      1234.5678.02' "$work/out" || fail "identify: material number"
grep -qx 'serial number        100042' "$work/out" || fail "identify: serial number"
grep -qx 'device version       1.20' "$work/out" || fail "identify: device version"
grep -qx 'protocol version     210' "$work/out" || fail "identify: protocol version"
grep -qx 'description version  135' "$work/out" || fail "identify: description version"
# The id bare, as scan prints it and --to takes it; the service's own name
# and version right under the address.
grep -qE '^VORN id              \{[0-9A-F-]{36}\}$' "$work/out" || fail "identify: VORN id"
grep -qx "host                 $(hostname)" "$work/out" || fail "identify: host"
[ "$(sed -n 2p "$work/out")" = 'server               VORN 2.35.2' ] || fail "identify: server"

"$ctl" identify 127.0.0.1:13217 --device __TRL_Tool__ --json >"$work/out" || fail "identify --json"
/usr/bin/python3 - "$work/out" <<'PY' || fail "identify --json fields"
import json, re, sys
d = json.load(open(sys.argv[1]))
assert d["model"] == "VORN" and d["materialNumber"] == "__TRL_Tool__", d
assert d["serialNumber"] == "000000" and d["protocolVersion"] == 210, d
assert d["descriptionVersion"] == 135 and d["deviceVersion"] == "2.35.2", d
assert d["serverName"] == "VORN" and d["serverVersion"] == "2.35.2", d
assert re.fullmatch(r"\{[0-9A-F-]{36}\}", d["vornId"]), d
PY

"$ctl" devices 127.0.0.1 >"$work/out" || fail "devices"
printf '1234.5678.02\n__TRL_Tool__\n' | cmp -s - "$work/out" || fail "devices list"

"$ctl" errors 127.0.0.1 --device 9999.9999.99 >"$work/out" || fail "errors"
printf '%s\n' '-224,"Illegal parameter value;Device not available"' '0,"No error"' |
  cmp -s - "$work/out" || fail "errors: queue"

"$ctl" send 127.0.0.1 --device __TRL_Tool__ '*IDN?' '*CLS' 'DIAG:PROD:SEL?' >"$work/out" || fail "send"
printf '%s\n' 'Marrow&Keplin,VORN,__TRL_Tool__/000000,2.35.2' '"__TRL_Tool__"' |
  cmp -s - "$work/out" || fail "send: answers"

# Nothing listens on port 1: its own exit code, and the system's reason.
set +e
"$ctl" identify 127.0.0.1:1 >"$work/out" 2>&1
code=$?
set -e
[ "$code" -eq 3 ] || fail "refused connection exit $code"
grep -q 'SOCKET: Error code 0x0000274D: ' "$work/out" || fail "refusal message"
echo ok
