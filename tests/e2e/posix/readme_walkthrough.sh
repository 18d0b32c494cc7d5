#!/bin/sh
# Runs in the plain build only: it checks no C++ beyond what other tests run.
# The README's first steps, run as a new user would: scripts/run-service.sh,
# then every command block of "Try it" exactly as written. Each block must
# exit 0, and the answers it prints must come from the running service and
# the simulator, so the README cannot drift from what the programs do.
set -eu
: "${VORN_SRC:?source directory}"
cd "$VORN_SRC"
work=$(mktemp -d)
service_pid=
cleanup() {
  [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

scripts/run-service.sh >"$work/service.out" 2>"$work/service.log" &
service_pid=$!

# The first start may still be building; discovery answers once it listens.
i=0
until python3 - <<'PY' 2>/dev/null
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(0.5)
s.sendto(b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID EqNumber=__TRL_Tool__", ("127.0.0.1", 13217))
s.recv(600)
PY
do
  i=$((i + 1))
  if [ $i -ge 600 ] || ! kill -0 "$service_pid" 2>/dev/null; then
    echo "FAIL: the service from scripts/run-service.sh does not answer" >&2
    cat "$work/service.out" "$work/service.log" >&2
    exit 1
  fi
done

# The fenced sh blocks between "Try it" and the layout table.
awk '/^Try it/{on=1} /^## Layout/{on=0}
     on && /^```sh$/{n++; inblock=1; next}
     inblock && /^```$/{inblock=0; next}
     inblock{print > (dir "/block" n ".sh")}' dir="$work" README.md
blocks=$(ls "$work"/block*.sh 2>/dev/null | wc -l)
if [ "$blocks" -lt 2 ]; then
  echo "FAIL: expected the README's try-it blocks, found $blocks" >&2
  exit 1
fi

for block in "$work"/block*.sh; do
  # A block runs in a session of its own, so whatever it leaves in the
  # background (the simulator) ends with it.
  setsid sh -eu "$block" >"$block.out" 2>&1 &
  block_pid=$!
  if ! wait "$block_pid"; then
    echo "FAIL: README block failed: $(cat "$block")" >&2
    cat "$block.out" >&2
    exit 1
  fi
  pkill -TERM -s "$block_pid" 2>/dev/null || true
  cat "$block.out"
done

grep -q "ID: Installation Server V2.35.2" "$work"/block1.sh.out ||
  { echo "FAIL: discovery answer missing" >&2; exit 1; }
grep -q '^\*IDN? -> Marrow&Keplin,' "$work"/block2.sh.out ||
  { echo "FAIL: *IDN? answer missing" >&2; exit 1; }
echo "ok: the README's commands run as written"
