#!/bin/sh
# A server's scan on a test network: the tool T and server D share lan1 with
# server A; A has a leg in lan2 too, where servers B and C live and host S,
# which answers discovery but never identifies itself. A scan through A finds
# B, C and D with their identifiers (in map order) despite S; EXTERN leaves
# out the tool's network (D); a group set with DIAG:PROD:GRO is honoured by
# the next scan.
set -eu
. "$VORN_SRC/tests/netlab/netlab.sh"
netlab_init
ctl="$VORN_BIN/tools/vornctl/vornctl"

netlab_net lan1
netlab_net lan2
netlab_host T lan1 198.51.100.9/24
netlab_host D lan1 198.51.100.4/24
netlab_host A lan1 198.51.100.1/24 lan2 203.0.113.1/24
netlab_host B lan2 203.0.113.2/24
netlab_host S lan2 203.0.113.3/24
netlab_host C lan2 203.0.113.4/24
for h in A B C D; do netlab_service $h DEFAULT; done
netlab_spawn S /usr/bin/python3 -u "$VORN_SRC/tests/netlab/silent_server.py" >"$NETLAB_WORK/S.log" 2>&1
i=0
until grep -q listening "$NETLAB_WORK/S.log"; do
  i=$((i + 1)); [ $i -le 100 ] || netlab_fail "silent host did not start"; sleep 0.05
done

id_of() { # host, address as seen from A
  netlab_exec A "$ctl" send "$2" 'DIAG:VORN:ID?' | tr -d '"'
}
idB=$(id_of B 203.0.113.2)
idC=$(id_of C 203.0.113.4)
idD=$(id_of D 198.51.100.4)
[ -n "$idB" ] && [ -n "$idC" ] && [ -n "$idD" ] || netlab_fail "no identifiers: '$idB' '$idC' '$idD'"

# Each server found is named by what identify --via shows: its host name,
# the service's name and version, the serial and material number of its
# first device; the identifiers are the first column.
expect_scan() { # what, expected identifiers (sorted, one per line), scan arguments...
  what=$1 expected=$2
  shift 2
  netlab_exec T "$ctl" scan 198.51.100.1 --timeout 1000 "$@" >"$NETLAB_WORK/out" 2>"$NETLAB_WORK/err" ||
    netlab_fail "$what: exit $?: $(cat "$NETLAB_WORK/out" "$NETLAB_WORK/err")"
  [ "$(head -n 1 "$NETLAB_WORK/out")" = "$heading" ] ||
    netlab_fail "$what: heading: $(cat "$NETLAB_WORK/out")"
  tail -n +2 "$NETLAB_WORK/out" | cut -d ' ' -f 1 | LC_ALL=C sort >"$NETLAB_WORK/ids"
  printf '%s' "$expected" | cmp -s - "$NETLAB_WORK/ids" ||
    netlab_fail "$what: expected [$expected], got [$(cat "$NETLAB_WORK/out")]"
  tail -n +2 "$NETLAB_WORK/out" | grep -vqE "$row" &&
    netlab_fail "$what: a row without the server's names: $(cat "$NETLAB_WORK/out" "$NETLAB_WORK/err")"
  [ ! -s "$NETLAB_WORK/err" ] || netlab_fail "$what: $(cat "$NETLAB_WORK/err")"
}
idw=$(printf '%s' "$idB" | wc -c)
hostw=$(hostname | wc -c)
[ "$hostw" -gt 5 ] || hostw=5
heading=$(printf '%-*s  %-*s  %-11s  %-6s  MATERIAL' "$idw" 'VORN ID' "$((hostw - 1))" HOST SERVER SERIAL)
row="^\\{[0-9A-F-]{36}\\}  $(hostname)  +VORN 2\\.35\\.2  100042  1234\\.5678\\.02\$"
sorted() { for id in "$@"; do echo "$id"; done | LC_ALL=C sort; }

expect_scan "ALL finds B, C and D past the silent host" "$(sorted "$idB" "$idC" "$idD")
"
grep -q "^VORN: Socket\[[0-9A-F]*\]: Warning: unknown exception at line 674$" "$NETLAB_WORK/A.log" ||
  netlab_fail "the silent host was not logged"
grep -q "^VORN: Socket\[[0-9A-F]*\]: Server '203.0.113.4' has VORNID=\"$idC\"$" "$NETLAB_WORK/A.log" ||
  netlab_fail "C's identifier was not logged"

expect_scan "EXTERN leaves out the tool's network" "$(sorted "$idB" "$idC")
" --mode EXTERN

netlab_exec A "$ctl" send 203.0.113.2 "DIAG:PROD:GRO 'LAB'" || netlab_fail "setting B's group"
[ "$(netlab_exec A "$ctl" send 203.0.113.2 'DIAG:PROD:GRO?')" = '"LAB"' ] || netlab_fail "B's group"
expect_scan "group LAB: only B" "$idB
" --group LAB
expect_scan "group DEFAULT: C and D" "$(sorted "$idC" "$idD")
" --group DEFAULT --mode ALL

netlab_exec T "$ctl" scan 198.51.100.1 --timeout 1000 --json >"$NETLAB_WORK/out" || netlab_fail "--json"
/usr/bin/python3 - "$NETLAB_WORK/out" "$idB" "$idC" "$idD" <<'PY' || netlab_fail "scan --json: $(cat "$NETLAB_WORK/out")"
import json, socket, sys
found = json.load(open(sys.argv[1]))
assert sorted(s["vornId"] for s in found) == sorted(sys.argv[2:5]), found
for s in found:
    assert "error" not in s, s
    assert s["host"] == socket.gethostname() and s["device"] == "1234.5678.02", s
    assert (s["serverName"], s["serverVersion"]) == ("VORN", "2.35.2"), s
    assert (s["serialNumber"], s["materialNumber"]) == ("100042", "1234.5678.02"), s
PY

# A server in the table that can no longer be identified: while a long scan
# runs on A, another scan gets A's last table at once, which still has D,
# whose service has stopped. D's row says why, the others are named.
netlab_stop D
netlab_exec T "$ctl" send 198.51.100.1 --device __TRL_Tool__ \
  "DIAG:VORN:SCAN? 6000,ALL,0,'__TRL_Tool__'" >/dev/null 2>&1 &
long=$!
sleep 1
netlab_exec T "$ctl" scan 198.51.100.1 --timeout 1000 --json >"$NETLAB_WORK/out" 2>"$NETLAB_WORK/err" ||
  netlab_fail "scan with D gone: exit $?: $(cat "$NETLAB_WORK/err")"
wait $long || true
/usr/bin/python3 - "$NETLAB_WORK/out" "$idB" "$idC" "$idD" <<'PY' || netlab_fail "scan with D gone: $(cat "$NETLAB_WORK/out")"
import json, sys
found = dict((s["vornId"], s) for s in json.load(open(sys.argv[1])))
assert sorted(found) == sorted(sys.argv[2:5]), found
for id in sys.argv[2:4]:
    assert "error" not in found[id] and found[id]["serialNumber"] == "100042", found[id]
d = found[sys.argv[4]]
assert d["error"].startswith("no relay: 1006") and d["host"] == "" and d["serialNumber"] == "", d
PY
grep -qF "vornctl: $idD: no relay: 1006" "$NETLAB_WORK/err" || netlab_fail "D's failure: $(cat "$NETLAB_WORK/err")"
echo ok
