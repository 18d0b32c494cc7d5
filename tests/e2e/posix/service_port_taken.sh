#!/bin/sh
# With UDP port 13217 already taken the service logs both bind errors and
# "Unable to start Control or Data channel", and exits non-zero.
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
trap 'kill "$holder" 2>/dev/null || true; rm -rf "$work"' EXIT
printf 'REGEDIT4\n\n' > "$work/registry.reg"

/usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 13217))
open(sys.argv[1], "w").close()
time.sleep(60)
' "$work/bound" &
holder=$!
i=0
until [ -f "$work/bound" ]; do i=$((i + 1)); [ $i -le 100 ] || exit 1; sleep 0.1; done

status=0
timeout 30 "$VORN_BIN/vornsvc" --registry "$work/registry.reg" 2> "$work/log" || status=$?
fail() { echo "FAIL: $*"; cat "$work/log"; exit 1; }
[ "$status" -ne 0 ] || fail "exit status 0 although the port was taken"
[ "$status" -ne 124 ] || fail "service did not end"
# In a sanitizer build: no thread of the failed start may race the exit.
if grep -q "Sanitizer" "$work/log"; then fail "sanitizer report"; fi
grep -qxF "VORN: Error: bind of control channel failed with 10048" "$work/log" || fail "bind error"
grep -qxF "VORN: Error: Cannot bind control channel to port 13217" "$work/log" || fail "port line"
grep -qxF "VORN: Unable to start Control or Data channel" "$work/log" || fail "start failure"
echo "PASS (exit status $status)"
