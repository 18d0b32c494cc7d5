#!/bin/sh
# AllowedClients and ListenAddress across network namespaces: a server
# computer joined by veth pairs to two client computers, one subnet each
# (client a 198.51.100.1 - server 198.51.100.2 in 198.51.100.0/25, client b
# 198.51.100.129 - server 198.51.100.130 in 198.51.100.128/25, no default
# route). With only client a allowed, b gets no discovery answer and its
# connection is closed with nothing read, while a is served; with b's
# network listed b is served too; with ListenAddress the server listens on
# that address alone; a malformed value keeps the service from starting.
# Runs inside the private namespace of run-isolated.sh; the namespaces it
# adds are deleted on every exit.
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
tag="vac$$"
pid=""
stop_server() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  pid=""
}
cleanup() {
  stop_server
  for n in srv a b; do ip netns del "$tag$n" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
ctl="$VORN_BIN/tools/vornctl/vornctl"
svc="$VORN_BIN/vornsvc"

fail() {
  echo "FAIL: $*"
  echo "--- output"; cat "$work/out" 2>/dev/null || true
  echo "--- server log"; cat "$work/srv.log" 2>/dev/null || true
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
in_a() { ip netns exec "${tag}a" "$@"; }
in_b() { ip netns exec "${tag}b" "$@"; }

# The sample configuration with extra values in the server's key.
registry() { # file, lines...
  file=$1; shift
  cp "$VORN_SRC/config/default-registry.reg" "$file"
  for line in "$@"; do
    sed -i "/^\"DeviceGroup\"=/a $(printf '%s' "$line" | sed 's/[\\&]/\\&/g')" "$file"
  done
}
start_server() { # registry file
  : >"$work/srv.log"
  ip netns exec "${tag}srv" "$svc" --registry "$1" 2>"$work/srv.log" & pid=$!
  i=0
  until grep -q '^VORN: Server is listening for DeviceGroup: ' "$work/srv.log"; do
    i=$((i + 1)); [ $i -le 100 ] || fail "service did not start"; sleep 0.1
  done
}

# A discovery query unicast to the server and, on the client's link, as a
# directed broadcast; prints every answer that comes within a second.
cat >"$work/ask.py" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
q = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID EqNumber=__TRL_Tool__"
for target in sys.argv[1:]:
    s.sendto(q, (target, 13217))
s.settimeout(1.0)
try:
    while True:
        print(s.recvfrom(600)[0].rstrip(b"\0").decode())
except socket.timeout:
    pass
PY

# Connects and sends a whole command; prints "answered" when a line comes
# back, "closed after N bytes" when the server closes (a reset counts as a
# close), "refused" when nobody listens.
cat >"$work/probe.py" <<'PY'
import socket, sys
try:
    s = socket.create_connection((sys.argv[1], 13217), timeout=5)
except ConnectionRefusedError:
    print("refused"); sys.exit()
data = b""
try:
    s.sendall(b"DIAG:PROD:SEL '__TRL_Tool__'\n*IDN?\n")
    while b"\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
except (ConnectionResetError, BrokenPipeError):
    pass
except socket.timeout:
    print("no answer, still open"); sys.exit()
print("answered" if b"\n" in data else "closed after %d bytes" % len(data))
PY
# Each run in a client's namespace: ask ADDRESS [BROADCAST], probe_tcp ADDRESS.
ask="/usr/bin/python3 $work/ask.py"
probe_tcp="/usr/bin/python3 $work/probe.py"

# 1. Only client a's address is allowed.
registry "$work/only-a.reg" '"AllowedClients"="198.51.100.1/32"'
"$svc" --check --registry "$work/only-a.reg" >"$work/out" || fail "--check of only-a.reg"
grep -qxF 'Allowed clients: 198.51.100.1/32' "$work/out" || fail "--check shows the list"
start_server "$work/only-a.reg"
grep -qxF 'VORN: Serving only clients in AllowedClients: 198.51.100.1/32' "$work/srv.log" ||
  fail "start log names the list"

in_b $ask 198.51.100.130 198.51.100.255 >"$work/out"
[ ! -s "$work/out" ] || fail "client b got a discovery answer"
set +e
in_b "$ctl" discover --timeout 500 >"$work/out" 2>&1
code=$?
set -e
[ "$code" -eq 1 ] || fail "vornctl discover from b: exit $code"
for i in 1 2 3; do
  in_b $probe_tcp 198.51.100.130 >"$work/out"
  grep -qx 'closed after 0 bytes' "$work/out" || fail "client b's connection $i"
done

in_a $ask 198.51.100.2 198.51.100.127 >"$work/out"
[ "$(wc -l <"$work/out")" -eq 2 ] || fail "client a: one answer to each query"
grep -qx '16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN ID: Installation Server V2.35.2,__TRL_Tool__ 000001' \
  "$work/out" || fail "client a: identity answer"
in_a "$ctl" discover --json --timeout 500 >"$work/out" || fail "vornctl discover from a"
grep -qF '"address": "198.51.100.2"' "$work/out" || fail "vornctl discover from a: address"
in_a "$ctl" identify 198.51.100.2 >"$work/out" || fail "vornctl identify from a"
grep -qx 'serial number        100042' "$work/out" || fail "identify from a: serial number"
in_a $probe_tcp 198.51.100.2 >"$work/out"
grep -qx 'answered' "$work/out" || fail "client a's connection"
in_a "$ctl" send 198.51.100.2 --device __TRL_Tool__ '*IDN?' >"$work/out" || fail "send from a"
grep -qx 'Marrow&Keplin,VORN,__TRL_Tool__/000000,2.35.2' "$work/out" || fail "*IDN? from a"

# Each refusal was logged once; b never reached the protocol.
[ "$(grep -c '^VORN: Refused connection from 198.51.100.129: not in AllowedClients$' "$work/srv.log")" -eq 1 ] ||
  fail "one line for b's refused connections"
[ "$(grep -c '^VORN: Refused datagram from 198.51.100.129: not in AllowedClients$' "$work/srv.log")" -eq 1 ] ||
  fail "one line for b's refused datagrams"
! grep -q '198\.51\.100\.129:[0-9]* >>' "$work/srv.log" || fail "b's datagram was handled"
! grep -q '^VORN: Refused .* 198\.51\.100\.1:' "$work/srv.log" || fail "a was refused"
stop_server

# 2. With b's network listed as well, b is served like a.
registry "$work/both.reg" '"AllowedClients"="198.51.100.0/25, 198.51.100.128/25"'
start_server "$work/both.reg"
in_b "$ctl" discover --json --timeout 500 >"$work/out" || fail "vornctl discover from b, listed"
grep -qF '"address": "198.51.100.130"' "$work/out" || fail "discover from b, listed: address"
in_b $probe_tcp 198.51.100.130 >"$work/out"
grep -qx 'answered' "$work/out" || fail "client b's connection, listed"
in_b "$ctl" identify 198.51.100.130 >"$work/out" || fail "vornctl identify from b, listed"
grep -qx 'serial number        100042' "$work/out" || fail "identify from b: serial number"
! grep -q '^VORN: Refused' "$work/srv.log" || fail "a listed client was refused"
stop_server

# 3. ListenAddress: both channels on 198.51.100.2 only.
registry "$work/listen.reg" '"ListenAddress"="198.51.100.2"'
"$svc" --check --registry "$work/listen.reg" >"$work/out" || fail "--check of listen.reg"
grep -qxF 'Listen address: 198.51.100.2' "$work/out" || fail "--check shows the address"
start_server "$work/listen.reg"
ip netns exec "${tag}srv" ss -Hltn >"$work/out"
grep -q ' 198\.51\.100\.2:13217 ' "$work/out" || fail "TCP listener on 198.51.100.2"
[ "$(grep -c ':13217 ' "$work/out")" -eq 1 ] || fail "one TCP listener"
ip netns exec "${tag}srv" ss -Huan >"$work/out"
grep -q ' 198\.51\.100\.2:13217 ' "$work/out" || fail "UDP socket on 198.51.100.2"
[ "$(grep -c ':13217 ' "$work/out")" -eq 1 ] || fail "one UDP socket"
in_a "$ctl" identify 198.51.100.2 >"$work/out" || fail "identify at the listen address"
in_a $ask 198.51.100.2 >"$work/out"
[ "$(wc -l <"$work/out")" -eq 1 ] || fail "discovery at the listen address"
in_b $probe_tcp 198.51.100.130 >"$work/out"
grep -qx 'refused' "$work/out" || fail "connection to the other address"
in_b $ask 198.51.100.130 >"$work/out"
[ ! -s "$work/out" ] || fail "discovery answered at the other address"
stop_server

# 4. Malformed values: no start, a clear message, --check exits 1.
for value in '"AllowedClients"="10.1.0.0/33"' '"ListenAddress"="198.51.100"' \
  '"RestrictTransfers"=dword:00000002'; do
  registry "$work/bad.reg" "$value"
  status=0
  timeout 20 "$svc" --registry "$work/bad.reg" >"$work/out" 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "service over $value: exit $status"
  grep -qF 'ServiceConfiguration\InstallServer' "$work/out" || fail "service over $value: message"
  ! grep -q 'listening' "$work/out" || fail "service over $value started"
  status=0
  "$svc" --check --registry "$work/bad.reg" >"$work/out" 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "--check over $value: exit $status"
  grep -qF 'the service would not start' "$work/out" || fail "--check over $value: message"
done
echo ok
