#!/bin/sh
# The service as a process: answers the identity query of the pseudo
# equipment number byte for byte, starts its data channel on request, accepts
# a TCP client, and on SIGTERM closes everything, logs its teardown in order
# and exits 0. Runs in a network namespace of its own (run-isolated.sh).
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
trap 'kill "${service_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
if [ -f "$VORN_SRC/config/default-registry.reg" ]; then
  cp "$VORN_SRC/config/default-registry.reg" "$work/registry.reg"
else
  printf 'REGEDIT4\n\n' > "$work/registry.reg"
fi

fail() { echo "FAIL: $*"; echo "--- service log"; cat "$work/log"; exit 1; }

. "$VORN_SRC/tests/shell/service.sh"
service_start "$work/registry.reg" "$work/log"
pid=$service_pid

/usr/bin/python3 - <<'PY' || fail "discovery replies"
import socket
magic = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN "
def ask(text):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    s.sendto(magic + text, ("127.0.0.1", 13217))
    reply = s.recv(2048)
    s.close()
    return reply
reply = ask(b"QUERY ID EqNumber=__TRL_Tool__")
expected = magic + b"ID: Installation Server V2.35.2,__TRL_Tool__ 000001\0"
assert reply == expected, reply
reply = ask(b"START DATA CHANNEL")
assert reply == magic + b"LISTENING ON PORT 13217\0", reply
PY

# A client that stays connected until the service closes the connection.
/usr/bin/python3 - "$work" <<'PY' &
import socket, sys
c = socket.create_connection(("127.0.0.1", 13217), timeout=3)
open(sys.argv[1] + "/connected", "w").close()
c.settimeout(30)
try:
    while c.recv(256):
        pass
except OSError:
    pass
open(sys.argv[1] + "/closed", "w").close()
PY
client=$!
i=0
until [ -f "$work/connected" ]; do
  i=$((i + 1)); [ $i -le 50 ] || fail "TCP connect"; sleep 0.1
done
sleep 0.2

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
wait "$client" || true
[ -f "$work/closed" ] || fail "the client was not disconnected by the stop"

# The log tells the story in order.
expect_in_order() {
  line=0
  for pattern in "$@"; do
    found=$(grep -n -F -- "$pattern" "$work/log" | awk -F: -v after="$line" '$1 > after { print $1; exit }')
    [ -n "$found" ] || fail "missing or out of order: $pattern"
    line=$found
  done
}
expect_in_order \
  "VORN: Quillon Service V 2.35.2" \
  "Material Number(s): " \
  "VORN: __TRL_Tool__" \
  "VORN: on Control Port 13217 and Data Port 13217" \
  "VORN: Server is listening for DeviceGroup: DEFAULT" \
  ">> [16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID EqNumber=__TRL_Tool__]" \
  "<< [16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN ID: Installation Server V2.35.2,__TRL_Tool__ 000001]" \
  ">> [16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN START DATA CHANNEL]" \
  "<< [16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN LISTENING ON PORT 13217]" \
  "VORN: Error: accept() failed with error" \
  "VORN: Terminating data channel server thread." \
  "VORN: Terminating control channel thread"
grep -q "VORN: Socket\[[0-9A-F]*\]: " "$work/log" || fail "the connected session logged nothing"
echo "PASS"; [ -z "${VORN_E2E_SHOW_LOG:-}" ] || cat "$work/log"
