#!/bin/sh
# vornctl rollout on a test network of five servers and the tool's own
# computer: every server that has the device gets the package (byte-identical
# data file, program run), the summary lists each with its result, and one
# server whose installation fails makes the exit code say so. A server of
# another group is left alone when a group is named. H5 has a leg in a
# second network of the tool's too and answers discovery on both: it is one
# server, installed on once, one row.
set -eu
. "$VORN_SRC/tests/netlab/netlab.sh"
netlab_init
ctl="$VORN_BIN/tools/vornctl/vornctl"
pkg="$VORN_BIN/tools/vornpkg/vornpkg"

netlab_net lan
netlab_net lan2
netlab_host T lan 198.51.100.200/24 lan2 203.0.113.200/24
hosts="H1 H2 H3 H4 H5"
n=0
for h in $hosts; do
  n=$((n + 1))
  if [ $h = H5 ]; then
    netlab_host $h lan "198.51.100.$n/24" lan2 "203.0.113.$n/24"
  else
    netlab_host $h lan "198.51.100.$n/24"
  fi
  netlab_service $h DEFAULT
  mkdir -p "$NETLAB_WORK/$h.transfer"
done

mkdir "$NETLAB_WORK/pkg"
printf '#!/bin/sh\npwd >> ran.txt\nexit 0\n' >"$NETLAB_WORK/pkg/setup.sh"
head -c 300000 /dev/urandom >>"$NETLAB_WORK/pkg/setup.sh"
"$pkg" create --name Setup --file setup.sh --type exe "$NETLAB_WORK/pkg/setup.sh.mki" >/dev/null
rollout() {
  status=0
  netlab_exec T "$ctl" rollout "$@" --device 1234.5678.02 \
    "$NETLAB_WORK/pkg/setup.sh.mki" "$NETLAB_WORK/pkg/setup.sh" >"$NETLAB_WORK/out" 2>"$NETLAB_WORK/err" ||
    status=$?
}

rollout --parallel 3
[ "$status" -eq 0 ] || netlab_fail "rollout exit $status: $(cat "$NETLAB_WORK/out" "$NETLAB_WORK/err")"
for h in $hosts; do
  cmp -s "$NETLAB_WORK/pkg/setup.sh" "$NETLAB_WORK/$h.transfer/setup.sh" || netlab_fail "$h: data differs"
  [ "$(cat "$NETLAB_WORK/$h.transfer/ran.txt")" = "$NETLAB_WORK/$h.transfer" ] || netlab_fail "$h: did not run exactly once: $(cat "$NETLAB_WORK/$h.transfer/ran.txt")"
done
grep -q '^SERVER  *DEVICE  *RESULT  *TIME$' "$NETLAB_WORK/out" || netlab_fail "no summary: $(cat "$NETLAB_WORK/out")"
[ "$(grep -c '^198\.51\.100\.[1-5]:13217  *1234\.5678\.02  *installed  *[0-9.]*s$' "$NETLAB_WORK/out")" -eq 5 ] ||
  netlab_fail "summary rows: $(cat "$NETLAB_WORK/out")"
[ "$(sed '1,/^SERVER /d' "$NETLAB_WORK/out" | grep -c .)" -eq 5 ] ||
  netlab_fail "H5 listed twice: $(cat "$NETLAB_WORK/out")"

# One server fails (its transfer directory is a file); JSON for scripts,
# live lines on standard error.
mv "$NETLAB_WORK/H4.transfer" "$NETLAB_WORK/H4.kept"
touch "$NETLAB_WORK/H4.transfer"
rollout --json
[ "$status" -eq 6 ] || netlab_fail "rollout with a failure: exit $status"
/usr/bin/python3 - "$NETLAB_WORK/out" <<'PY' || netlab_fail "rollout --json: $(cat "$NETLAB_WORK/out")"
import json, sys
rows = {r["server"]: r for r in json.load(open(sys.argv[1]))}
assert sorted(rows) == ["198.51.100.%d" % n for n in range(1, 6)], rows
for server, r in rows.items():
    assert r["device"] == "1234.5678.02" and r["port"] == 13217, r
    assert r["otherAddresses"] == (["203.0.113.5:13217"] if server == "198.51.100.5" else []), r
    assert r["ok"] == (server != "198.51.100.4"), r
    assert r["result"] == ("failed" if server == "198.51.100.4" else "installed"), r
PY
grep -q '^198\.51\.100\.4:13217  *failed' "$NETLAB_WORK/err" || netlab_fail "live lines: $(cat "$NETLAB_WORK/err")"

# A group: only the servers of that group are found.
netlab_exec T "$ctl" send 198.51.100.2 "DIAG:PROD:GRO 'LAB'" || netlab_fail "setting H2's group"
rm "$NETLAB_WORK/H4.transfer" "$NETLAB_WORK/H2.transfer/ran.txt"
mv "$NETLAB_WORK/H4.kept" "$NETLAB_WORK/H4.transfer"
rollout --group lab
[ "$status" -eq 0 ] || netlab_fail "rollout --group: exit $status: $(cat "$NETLAB_WORK/out")"
[ "$(grep -c '  installed  *[0-9.]*s$' "$NETLAB_WORK/out")" -eq 1 ] || netlab_fail "--group: $(cat "$NETLAB_WORK/out")"
[ -f "$NETLAB_WORK/H2.transfer/ran.txt" ] || netlab_fail "--group: H2 did not run it"

set +e
netlab_exec T "$ctl" rollout --group nobody --device 1234.5678.02 "$NETLAB_WORK/pkg/setup.sh.mki" \
  "$NETLAB_WORK/pkg/setup.sh" >/dev/null 2>&1
status=$?
set -e
[ "$status" -eq 1 ] || netlab_fail "rollout with no server: exit $status"
echo ok
