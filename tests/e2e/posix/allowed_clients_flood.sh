#!/bin/sh
# A flood from a client outside AllowedClients: 100,000 connections and
# 100,000 datagrams (one bounded loop each) leave the server's log a handful
# of lines long, and an allowed client is served during and after the flood.
# Server 198.51.100.2 and allowed client a 198.51.100.1 share one veth pair,
# server 198.51.100.130 and refused client b 198.51.100.129 another.
# Runs inside the private namespace of run-isolated.sh; the namespaces it
# adds are deleted on every exit.
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
tag="vfl$$"
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  for n in srv a b; do ip netns del "$tag$n" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
ctl="$VORN_BIN/tools/vornctl/vornctl"
fail() {
  echo "FAIL: $*"
  echo "--- output"; cat "$work/out" 2>/dev/null || true
  echo "--- server log (first 50 lines)"; head -50 "$work/srv.log" 2>/dev/null || true
  exit 1
}

ip netns add "${tag}srv"
ip -n "${tag}srv" link set lo up
link() { # client name, client address, server address
  ip netns add "$tag$1"
  ip -n "$tag$1" link set lo up
  ip link add "c$tag$1" netns "$tag$1" type veth peer name "s$1" netns "${tag}srv"
  ip -n "$tag$1" addr add "$2/25" dev "c$tag$1"
  ip -n "$tag$1" link set "c$tag$1" up
  ip -n "${tag}srv" addr add "$3/25" dev "s$1"
  ip -n "${tag}srv" link set "s$1" up
}
link a 198.51.100.1 198.51.100.2
link b 198.51.100.129 198.51.100.130

cp "$VORN_SRC/config/default-registry.reg" "$work/srv.reg"
sed -i '/^"DeviceGroup"=/a "AllowedClients"="198.51.100.0/25"' "$work/srv.reg"
. "$VORN_SRC/tests/shell/service.sh"
service_launch "$work/srv.reg" "$work/srv.log" ip netns exec "${tag}srv"
pids="$pids $service_pid"
service_wait_listening "$work/srv.log"
before=$(wc -l <"$work/srv.log")

# Connections are opened 200 at a time and dropped with a reset (linger 0),
# so that neither side keeps 100,000 of them in TIME_WAIT.
cat >"$work/flood.py" <<'PY'
import socket, struct, sys
target = (sys.argv[1], 13217)
datagram = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID EqNumber=__TRL_Tool__"
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sent = 0
for i in range(100000):
    try:
        u.sendto(datagram, target)
        sent += 1
    except OSError:
        pass
linger = struct.pack("ii", 1, 0)
connected = 0
for batch in range(500):
    open_ = []
    for i in range(200):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
        s.settimeout(5)
        try:
            s.connect(target)
            connected += 1
        except OSError:
            pass
        open_.append(s)
    for s in open_:
        s.close()
print("datagrams %d connections %d" % (sent, connected))
PY
ip netns exec "${tag}b" /usr/bin/python3 "$work/flood.py" 198.51.100.130 >"$work/flood.out" 2>&1 &
flooder=$!
pids="$pids $flooder"

# Served while the flood runs...
sleep 1
ip netns exec "${tag}a" "$ctl" identify 198.51.100.2 >"$work/out" || fail "identify during the flood"
grep -qx 'serial number        100042' "$work/out" || fail "identify during the flood: serial"
wait "$flooder" || fail "flooder exit status"
cat "$work/flood.out"
grep -qx 'datagrams 100000 connections 100000' "$work/flood.out" || fail "the whole flood was sent"

# ... and after it.
ip netns exec "${tag}a" "$ctl" discover --json --timeout 1000 >"$work/out" || fail "discover after"
grep -qF '"address": "198.51.100.2"' "$work/out" || fail "discover after: address"
ip netns exec "${tag}a" "$ctl" send 198.51.100.2 --device __TRL_Tool__ '*IDN?' >"$work/out" ||
  fail "send after the flood"
grep -qx 'Marrow&Keplin,VORN,__TRL_Tool__/000000,2.35.2' "$work/out" || fail "*IDN? after the flood"

# The log: a line per refused channel and minute, and the allowed client's
# traffic; nothing near one line per refusal.
added=$(($(wc -l <"$work/srv.log") - before))
echo "log lines during the flood: $added"
[ "$added" -le 60 ] || fail "the log grew by $added lines"
refusals=$(grep -c '^VORN: Refused .* 198\.51\.100\.129' "$work/srv.log" || true)
[ "$refusals" -ge 2 ] && [ "$refusals" -le 6 ] || fail "$refusals refusal lines"
echo ok
