#!/bin/sh
# The test network itself: two subnets joined only through host A, which has
# a leg in each. A reaches B and C, B and C do not reach each other, each
# host's service answers discovery on its own subnet, and the namespaces are
# gone after the test.
set -eu
. "$VORN_SRC/tests/netlab/netlab.sh"
netlab_init

netlab_net lan1
netlab_net lan2
netlab_host A lan1 198.51.100.1/24 lan2 203.0.113.1/24
netlab_host B lan1 198.51.100.2/24
netlab_host C lan2 203.0.113.3/24
for h in A B C; do netlab_service $h DEFAULT; done

ctl="$VORN_BIN/tools/vornctl/vornctl"
netlab_exec A "$ctl" identify 198.51.100.2 >/dev/null || netlab_fail "A does not reach B"
netlab_exec A "$ctl" identify 203.0.113.3 >/dev/null || netlab_fail "A does not reach C"
if netlab_exec B "$ctl" identify 203.0.113.3 >/dev/null 2>&1; then
  netlab_fail "B reaches C past A"
fi
netlab_exec B "$ctl" discover --json --timeout 500 >"$NETLAB_WORK/out" || netlab_fail "discover from B"
/usr/bin/python3 - "$NETLAB_WORK/out" <<'PY' || netlab_fail "B finds only A: $(cat "$NETLAB_WORK/out")"
import json, sys
assert [d["address"] for d in json.load(open(sys.argv[1]))] == ["198.51.100.1"]
PY
echo ok
