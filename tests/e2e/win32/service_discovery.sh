#!/bin/sh
# The service installed in Wine's service manager, started with "net start",
# answers discovery and the data channel start request from a native Linux
# client over loopback, and stops cleanly with "net stop".
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  exec "$VORN_SRC/scripts/run-under-wine.sh" "$0" "$@"
fi
. "$VORN_SRC/tests/shell/wine_service.sh"
wine_service_init

fail() {
  echo "FAIL: $*" >&2
  echo "--- service log:" >&2
  grep 'debugstr' "$log" >&2 || true
  wine64 sc query MkVornService 2>/dev/null </dev/null >&2 || true
  exit 1
}

device_key='HKLM\SOFTWARE\Marrow&Keplin\Trellane\Analyzer7'
wine_quiet reg add "$device_key" /v MaterialNumber /t REG_SZ /d 1234.5678.90 /f >/dev/null ||
  fail "reg add MaterialNumber"
wine_quiet reg add "$device_key" /v SerialNumber /t REG_SZ /d 100042 /f >/dev/null ||
  fail "reg add SerialNumber"

wine_service_start
wine_quiet sc query MkVornService | grep -q 'STATE *: 4 *RUNNING' || fail "not running after start"

grep -qF '"VORN: \nService is listening for 2 Material Number(s): ' "$log" ||
  fail "start-up log does not list two material numbers"

/usr/bin/python3 - <<'PYTHON' || fail "discovery exchange"
import socket
import sys

PREFIX = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN "
IDENTITY = PREFIX + b"ID: Installation Server V2.35.2"
SERVER = ("127.0.0.1", 13217)

sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.settimeout(1.0)


def ask(request, attempts=10):
    # The first datagrams may arrive before the channel's thread is reading.
    for _ in range(attempts):
        sock.sendto(request, SERVER)
        try:
            reply, _ = sock.recvfrom(2048)
            return reply
        except socket.timeout:
            continue
    return None


def check(name, request, expected):
    reply = ask(request)
    if reply != expected:
        print(f"{name}: sent {request!r}\n  got      {reply!r}\n  expected {expected!r}")
        sys.exit(1)
    print(f"ok: {name}")


check("tool identity", PREFIX + b"QUERY ID EqNumber=__TRL_Tool__",
      IDENTITY + b",__TRL_Tool__ 000001\0")
check("device identity", PREFIX + b"QUERY ID EqNumber=1234.5678.90",
      IDENTITY + b",1234.5678.90 100042\0")
check("group query", PREFIX + b'QUERY ID EqNumber=__TRL_Tool__," default "',
      IDENTITY + b",__TRL_Tool__ 000001\0")
check("start data channel", PREFIX + b"START DATA CHANNEL",
      PREFIX + b"LISTENING ON PORT 13217\0")

# An unknown device gets no answer at all.
sock.sendto(PREFIX + b"QUERY ID EqNumber=9999.9999.99", SERVER)
try:
    reply, _ = sock.recvfrom(2048)
    print(f"unknown device answered: {reply!r}")
    sys.exit(1)
except socket.timeout:
    print("ok: unknown device unanswered")

# The data channel accepts a connection.
with socket.create_connection(SERVER, timeout=5):
    print("ok: data channel accepts")
PYTHON

wine_quiet net stop MkVornService >/dev/null || fail "net stop"
wine_quiet sc query MkVornService | grep -q 'STATE *: 1 *STOPPED' || fail "not stopped after stop"
grep -qF '"VORN: Terminating control channel thread' "$log" || fail "no control channel stop in the log"
grep -qF '"VORN: Terminating data channel server thread.' "$log" ||
  fail "no data channel stop in the log"
echo "ok: service stopped cleanly"
