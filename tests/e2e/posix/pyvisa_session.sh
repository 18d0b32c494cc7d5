#!/bin/sh
# A VISA client that nobody here wrote (pyvisa with its pure-Python backend)
# talks to the service over a raw socket resource: it must be able to select
# the service's own pseudo device, identify it and read the error queue.
# Runs in a network namespace of its own (scripts/run-isolated.sh).
set -eu

: "${VORN_BIN:?build directory}"
# Debian's interpreter: the one that sees python3-pyvisa-py.
PYTHON=/usr/bin/python3
if ! "$PYTHON" -c 'import pyvisa, pyvisa_py' 2>/dev/null; then
  echo "SKIP: pyvisa-py is not installed for $PYTHON"
  exit 0
fi

work=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

cat >"$work/registry.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\ServiceConfiguration\InstallServer]
"DeviceGroup"="DEFAULT"

REG

"$VORN_BIN/vornsvc" --registry "$work/registry.reg" 2>"$work/service.log" &
service_pid=$!

"$PYTHON" - "$work/service.log" <<'PY'
import socket
import sys
import time

import pyvisa

log_path = sys.argv[1]

deadline = time.monotonic() + 20
while True:
    try:
        socket.create_connection(("127.0.0.1", 13217), timeout=1).close()
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("service did not listen on 13217:\n" + open(log_path).read())
        time.sleep(0.1)

rm = pyvisa.ResourceManager("@py")
inst = rm.open_resource("TCPIP::127.0.0.1::13217::SOCKET",
                        read_termination="\n", write_termination="\n", timeout=5000)
failures = []

def expect(what, got, want):
    if got != want:
        failures.append(f"{what}: got {got!r}, want {want!r}")

expect("empty queue", inst.query("SYST:ERR?"), '0,"No error"')
inst.write("*IDN?")  # refused before a selection: no answer, one queued error
expect("before selection", inst.query("SYST:ERR?"),
       '-221,"Settings conflict;No Device ID selected"')
inst.write("DIAG:PROD:SEL '__TRL_Tool__'")
expect("*IDN?", inst.query("*IDN?"), "Marrow&Keplin,VORN,__TRL_Tool__/000000,2.35.2")
expect("selected", inst.query("DIAG:PROD:SEL?"), '"__TRL_Tool__"')
expect("after selection", inst.query("SYST:ERR?"), '0,"No error"')
inst.close()
rm.close()

if failures:
    sys.exit("\n".join(failures) + "\n--- service log ---\n" + open(log_path).read())
print("pyvisa session: ok")
PY
