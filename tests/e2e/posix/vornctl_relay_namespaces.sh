#!/bin/sh
# Relayed sessions between subnets: the tool reaches only A; A has a leg in
# B's subnet too, B one in C's. The tool installs a package on B through A
# (progress comes back, the file arrives byte-identical), identifies C through
# A and B, and a stop of A's service in the middle of a relayed upload ends
# the tool's session at once.
#
#   lan1 198.51.100.0/24     tool .10, A .1
#   lan2 203.0.113.0/25      A .1, B .2
#   lan3 203.0.113.128/25    B .129, C .130
set -eu
. "$VORN_SRC/tests/netlab/netlab.sh"
netlab_init

netlab_net lan1
netlab_net lan2
netlab_net lan3
netlab_host tool lan1 198.51.100.10/24
netlab_host A lan1 198.51.100.1/24 lan2 203.0.113.1/25
netlab_host B lan2 203.0.113.2/25 lan3 203.0.113.129/25
netlab_host C lan3 203.0.113.130/25
for h in A B C; do netlab_service $h DEFAULT; done

ctl="$VORN_BIN/tools/vornctl/vornctl"
pkg="$VORN_BIN/tools/vornpkg/vornpkg"
out="$NETLAB_WORK/out"

if netlab_exec tool "$ctl" identify 203.0.113.2 >/dev/null 2>&1; then
  netlab_fail "the tool reaches B past A"
fi

B_ID=$(netlab_vorn_id B)
C_ID=$(netlab_vorn_id C)

# Each relaying server learns its neighbours with a scan.
netlab_scan A "$B_ID"
netlab_scan B "$C_ID"

# Install on B through A.
mkdir -p "$NETLAB_WORK/pkg"
printf '#!/bin/sh\necho relayed > ran.txt\n' >"$NETLAB_WORK/pkg/setup.sh"
head -c 3000000 /dev/urandom >>"$NETLAB_WORK/pkg/setup.sh"
"$pkg" create --name Setup --file setup.sh --type exe "$NETLAB_WORK/pkg/setup.sh.mki" >/dev/null
status=0
netlab_exec tool "$ctl" install --via 198.51.100.1 --to "$B_ID" --device __TRL_Tool__ \
  "$NETLAB_WORK/pkg/setup.sh.mki" "$NETLAB_WORK/pkg/setup.sh" >"$out" 2>&1 || status=$?
[ "$status" -eq 0 ] || netlab_fail "relayed install exited with $status: $(tail -n 5 "$out")"
[ "$(tail -n 1 "$out")" = "installed" ] || netlab_fail "last line: $(tail -n 1 "$out")"
grep -q 'SUCC' "$out" || netlab_fail "no progress came back: $(cat "$out")"
cmp -s "$NETLAB_WORK/B.transfer/setup.sh" "$NETLAB_WORK/pkg/setup.sh" ||
  netlab_fail "the program did not arrive byte-identical on B"
[ "$(cat "$NETLAB_WORK/B.transfer/ran.txt" 2>/dev/null)" = relayed ] ||
  netlab_fail "the program did not run on B"
[ ! -e "$NETLAB_WORK/A.transfer/setup.sh" ] || netlab_fail "the package landed on A"

# Three hops: tool -> A -> B -> C.
netlab_exec tool "$ctl" identify --via 198.51.100.1 --to "$B_ID" --to "$C_ID" --json >"$out" 2>&1 ||
  netlab_fail "identify through A and B: $(cat "$out")"
/usr/bin/python3 -c 'import json,sys; assert json.load(open(sys.argv[1]))["vornId"] == sys.argv[2]' \
  "$out" "$C_ID" || netlab_fail "the chain did not end at C: $(cat "$out")"

# An unknown id is refused by A with 2.
status=0
netlab_exec tool "$ctl" devices --via 198.51.100.1 --to '{00000000-0000-0000-0000-000000000000}' \
  >"$out" 2>&1 || status=$?
[ "$status" -eq 3 ] && grep -q ': 2 (not found' "$out" || netlab_fail "unknown id: $status $(cat "$out")"

# A stop of A's service while it relays an upload ends the tool's session at once.
head -c 400000000 /dev/zero >"$NETLAB_WORK/pkg/big.bin"
"$pkg" create --name Big --file big.bin --type exe "$NETLAB_WORK/pkg/big.bin.mki" >/dev/null
netlab_exec tool "$ctl" install --via 198.51.100.1 --to "$B_ID" --device __TRL_Tool__ \
  "$NETLAB_WORK/pkg/big.bin.mki" "$NETLAB_WORK/pkg/big.bin" >"$NETLAB_WORK/big.out" 2>&1 &
tool_pid=$!
i=0
until grep -q 'DIAG:UPD:TRAN:OPEN DATA' "$NETLAB_WORK/B.log"; do
  i=$((i + 1)); [ $i -le 200 ] || netlab_fail "the big upload did not start"; sleep 0.05
done
began=$(date +%s%N)
netlab_stop A
status=0
wait "$tool_pid" || status=$?
ms=$((($(date +%s%N) - began) / 1000000))
[ "$status" -ne 0 ] || netlab_fail "the tool reported success after the relay stopped"
[ "$ms" -lt 3000 ] || netlab_fail "stopping A and ending the tool took $ms ms"
echo "ok: relayed install on B, chain to C, stop of A ended the relay in $ms ms"
