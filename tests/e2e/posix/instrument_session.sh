#!/bin/sh
# A tool's session against the real service and the instrument simulator:
# while the instrument software runs, selecting its device reaches it
# ("*IDN?" carries the instrument's own material and serial number, operating
# time and MAC address come from it, a method it refuses queues -200 and the
# reply still carries the text it left); once it
# is gone, the same selection falls back to what the registry knows.
set -eu
: "${VORN_BIN:?build directory}"
PYTHON=/usr/bin/python3
sim="$VORN_BIN/tools/vorn-instrument-sim/vorn-instrument-sim"
work=$(mktemp -d)
service_pid=
sim_pid=
cleanup() {
  for p in $sim_pid $service_pid; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The registry names the device in upper case; the instrument answers its
# material number in lower case, so the reply shows whose answer it is.
cat >"$work/registry.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\E2eAnalyzer]
"MaterialNumber"="1234.ABCD.02"
"SerialNumber"="100042"
"DeviceName"="E2E Analyzer"

[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\ServiceConfiguration\InstallServer]
"DeviceGroup"="DEFAULT"
REG

"$VORN_BIN/vornsvc" --registry "$work/registry.reg" 2>"$work/service.log" &
service_pid=$!

start_sim() {
  : >"$work/sim.out"
  "$sim" --key E2eAnalyzer --material 1234.abcd.02 --serial 100042 \
    --operating-time "4711 h" --mac "02:00:5E:10:00:01" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  i=0
  until grep -q '^ready ' "$work/sim.out"; do
    i=$((i + 1))
    if [ $i -ge 200 ]; then echo "FAIL: simulator not ready: $(cat "$work/sim.err")" >&2; exit 1; fi
    sleep 0.05
  done
}
stop_sim() {
  kill -TERM "$sim_pid"
  wait "$sim_pid" || true
  sim_pid=
}

# One session: each line is sent, queries wait for their answer line.
session() {
  "$PYTHON" - "$work/service.log" "$@" <<'PY'
import socket, sys, time
log_path, expectations = sys.argv[1], sys.argv[2:]
deadline = time.monotonic() + 20
while True:
    try:
        s = socket.create_connection(("127.0.0.1", 13217), timeout=5)
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("service did not listen:\n" + open(log_path).read())
        time.sleep(0.1)
f = s.makefile("rb")
failures = []
for item in expectations:
    command, _, want = item.partition("=>")
    s.sendall(command.encode() + b"\n")
    if want or command.endswith("?"):
        got = f.readline().decode(errors="replace").rstrip("\n")
        if got != want:
            failures.append(f"{command}: got {got!r}, want {want!r}")
s.close()
if failures:
    sys.exit("\n".join(failures) + "\n--- service log ---\n" + open(log_path).read())
PY
}

start_sim --fail mac
session "DIAG:PROD:SEL '1234.ABCD.02/100042'" \
  "*IDN?=>Marrow&Keplin,E2E Analyzer,1234.abcd.02/100042,0.00" \
  "DIAG:PROD:TIME:OPER?=>4711 h" \
  "SYST:ERR?=>0,\"No error\"" \
  "DIAG:PROD:MAC?=>02:00:5E:10:00:01" \
  "SYST:ERR?=>-200,\"Execution error;MAC address not available\""
stop_sim

# Without instrument software the registry answers; operating time fails.
session "DIAG:PROD:SEL '1234.ABCD.02'" \
  "*IDN?=>Marrow&Keplin,E2E Analyzer,1234.ABCD.02/100042,0.00" \
  "DIAG:PROD:TIME:OPER?=>" \
  "SYST:ERR?=>-200,\"Execution error;Operating Time not available\""
echo "ok: selection reaches the instrument while it runs, the registry otherwise"
