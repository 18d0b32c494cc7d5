#!/bin/sh
# Discovery across network namespaces: this namespace is a computer that runs
# a server of its own, joined by veth pairs to two more computers, one
# subnet each (198.51.100.0/25 and 198.51.100.128/25, no default route).
# vornctl discover finds both others on their directed broadcasts, leaves
# out the answer of this computer's own server, and honours a group filter.
# Runs inside the private namespace of run-isolated.sh; the namespaces it
# adds are deleted on every exit.
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
tag="vorn$$"
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  ip netns del "${tag}a" 2>/dev/null || true
  ip netns del "${tag}b" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
ctl="$VORN_BIN/tools/vornctl/vornctl"

fail() {
  echo "FAIL: $*"
  echo "--- output"; cat "$work/out" 2>/dev/null || true
  for log in "$work"/*.log; do echo "--- $log"; cat "$log"; done
  exit 1
}

# computer a: 198.51.100.2/25 (group DEFAULT); computer b: 198.51.100.130/25
# (group LAB2); this computer: .1 and .129.
link() { # name, own address, peer address
  ip netns add "$tag$1"
  ip link add "h$tag$1" type veth peer name eth0 netns "$tag$1"
  ip addr add "$2/25" dev "h$tag$1"
  ip link set "h$tag$1" up
  ip -n "$tag$1" addr add "$3/25" dev eth0
  ip -n "$tag$1" link set eth0 up
  ip -n "$tag$1" link set lo up
}
link a 198.51.100.1 198.51.100.2
link b 198.51.100.129 198.51.100.130

registry() { # file, group
  sed "s/\"DeviceGroup\"=\"DEFAULT\"/\"DeviceGroup\"=\"$2\"/" \
    "$VORN_SRC/config/default-registry.reg" >"$1"
}
registry "$work/own.reg" DEFAULT
registry "$work/a.reg" DEFAULT
registry "$work/b.reg" LAB2

. "$VORN_SRC/tests/shell/service.sh"
service_launch "$work/own.reg" "$work/own.log"
pids="$pids $service_pid"
service_launch "$work/a.reg" "$work/a.log" ip netns exec "${tag}a"
pids="$pids $service_pid"
service_launch "$work/b.reg" "$work/b.log" ip netns exec "${tag}b"
pids="$pids $service_pid"
for name in own a b; do
  service_wait_listening "$work/$name.log"
done

"$ctl" discover --json --timeout 1000 >"$work/out" || fail "discover exit $?"
/usr/bin/python3 - "$work/out" <<'PY' || fail "discover --json: both servers, not the own one"
import json, sys
found = json.load(open(sys.argv[1]))
rows = sorted((d["address"], d["port"], d["equipmentNumber"], d["serialNumber"]) for d in found)
assert rows == [("198.51.100.130", 13217, "__TRL_Tool__", "000001"),
                ("198.51.100.2", 13217, "__TRL_Tool__", "000001")], rows
assert all(d["identity"] == "Installation Server V2.35.2" for d in found), found
PY
# The own server was asked (the broadcast reaches it) and its answer ignored.
grep -q '^VORN: 198.51.100.1:[0-9]* >> \[16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID' \
  "$work/own.log" || fail "own server was not reached by the broadcast"

"$ctl" discover --group lab2 --equipment 1234.5678.02 >"$work/out" || fail "discover --group exit $?"
printf '%-21s  %-12s  %s\n' ADDRESS EQUIPMENT SERIAL 198.51.100.130:13217 1234.5678.02 100042 |
  cmp -s - "$work/out" || fail "discover --group lab2: only b, as a table"

set +e
"$ctl" discover --group nobody --timeout 500 >"$work/out" 2>&1
code=$?
set -e
[ "$code" -eq 1 ] || fail "discover with no answer: exit $code"
grep -q 'no server answered' "$work/out" || fail "discover with no answer: message"

"$ctl" identify 198.51.100.2 >"$work/out" || fail "identify across the veth pair"
grep -qx 'serial number        100042' "$work/out" || fail "identify a: serial number"
echo ok
