#!/bin/sh
# Standard error read by a process that never reads: the service still
# starts, answers discovery and stops on SIGTERM within a few seconds (the
# log is given at most a second to drain at exit), exit status 0. The start-up
# of 400 devices with long material numbers logs more than the pipe holds.
# Afterwards the reader gets the start of the log, whole lines in order.
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
trap 'kill "$pid" "$holder" 2>/dev/null || true; rm -rf "$work"' EXIT
pid=""
holder=""

/usr/bin/python3 - "$work/registry.reg" <<'PY'
import sys
with open(sys.argv[1], "w") as out:
    out.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]\n\n")
    for i in range(400):
        out.write('[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\Device%04d]\n'
                  '"MaterialNumber"="1234.%04d.02%s"\n"SerialNumber"="%06d"\n\n'
                  % (i, i, "x" * 200, i))
PY

mkfifo "$work/stderr"
# Opens the pipe for reading and reads nothing until told to.
/usr/bin/python3 -c '
import os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
while not os.path.exists(sys.argv[2]):
    time.sleep(0.05)
with open(sys.argv[3], "wb") as out:
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        out.write(chunk)
' "$work/stderr" "$work/read-now" "$work/log" &
holder=$!

"$VORN_BIN/vornsvc" --registry "$work/registry.reg" 2> "$work/stderr" &
pid=$!

fail() { echo "FAIL: $*"; exit 1; }

/usr/bin/python3 - <<'PY' || fail "no discovery reply while the log is not read"
import socket, time
magic = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN "
deadline = time.monotonic() + 60
while True:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(0.5)
    try:
        s.sendto(magic + b"QUERY ID EqNumber=__TRL_Tool__", ("127.0.0.1", 13217))
        if s.recv(2048).startswith(magic + b"ID: "):
            break
    except OSError:
        if time.monotonic() > deadline:
            raise
        time.sleep(0.1)
    finally:
        s.close()
PY

kill -TERM "$pid"
began=$(date +%s%N)
status=0
wait "$pid" || status=$?
took_ms=$(( ($(date +%s%N) - began) / 1000000 ))
pid=""
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
[ "$took_ms" -lt 5000 ] || fail "the stop took $took_ms ms with a stalled log reader"

touch "$work/read-now"
wait "$holder" || true
holder=""
head -n 1 "$work/log" | grep -qxF "VORN: Quillon Service V 2.35.2" || fail "log does not begin with the banner"
# Every line is whole: the numbers follow each other until the pipe was full.
/usr/bin/python3 - "$work/log" <<'PY' || fail "lines out of order or cut"
import re, sys
numbers = [int(m.group(1)) for m in re.finditer(rb"^VORN: 1234\.(\d{4})\.02x{200}$", open(sys.argv[1], "rb").read(), re.M)]
assert numbers and numbers == list(range(len(numbers))), numbers[:10]
PY
echo "PASS (stopped in $took_ms ms)"
