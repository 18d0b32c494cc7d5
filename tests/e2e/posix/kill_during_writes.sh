#!/bin/sh
# The service killed with SIGKILL at many moments while tools write: a
# device group (DIAG:PROD:GRO), an upload of a data file, the close of a
# transfer and an installation all run at once, and each round kills the
# service a little later than the one before. After every kill the service
# starts again by itself (a lock file left behind does not stop it), the
# registry file parses and holds one of the groups written, and under the
# package's name the transfer directory holds one of the uploaded files
# whole, never a torn one. Each start removes the temporary files of the
# uploads the kill before it cut off, and says so in the log.
set -eu
: "${VORN_BIN:?build directory}" "${VORN_SRC:?source directory}"
vornpkg="$VORN_BIN/tools/vornpkg/vornpkg"
rounds=${VORN_KILL_ROUNDS:-16}
work=$(mktemp -d)
service_pid=
load_pid=
cleanup() {
  [ -z "$load_pid" ] || kill "$load_pid" 2>/dev/null || true
  [ -z "$service_pid" ] || kill -9 "$service_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
fail() { echo "FAIL: $*" >&2; echo "--- service log" >&2; tail -n 40 "$work/service.log" >&2; exit 1; }

transfer="$work/transfer"
cp "$VORN_SRC/config/default-registry.reg" "$work/registry.reg"
cat >>"$work/registry.reg" <<REG

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]
"SoftwareInstallationPath"="$transfer"
REG
"$vornpkg" create --name Data --file pkg.bin --type data "$work/pkg.bin.mki" >/dev/null

. "$VORN_SRC/tests/shell/service.sh"
start_service() {
  service_start "$work/registry.reg" "$work/service.log"
}

# Writes until it is cut off: each upload is a file of 1 MiB that names its
# round and number in its first line and repeats one byte after it.
load() {
  PYTHONPATH="$VORN_SRC/tests/e2e/posix" /usr/bin/python3 - "$work" "$1" <<'PY' 2>/dev/null || true
import sys, threading
from wire_tool import Tool
work, round_ = sys.argv[1], int(sys.argv[2])
with open(work + "/pkg.bin.mki", "rb") as f:
    description = f.read()

def groups():
    tool = Tool()
    for n in range(1000):
        tool.send(b"DIAG:PROD:GRO 'R%dN%d'" % (round_, n))
        tool.ask(b"DIAG:PROD:GRO?")

def uploads():
    tool = Tool()
    tool.select()
    for n in range(1000):
        head = b"round %d upload %d\n" % (round_, n)
        fill = bytes([65 + (round_ * 7 + n) % 26])
        tool.transfer(b"DESCR", description)
        tool.transfer(b"DATA", head + fill * (1024 * 1024 - len(head)))
        tool.send(b"DIAG:UPD:INST")
        tool.errors()

threads = [threading.Thread(target=t, daemon=True) for t in (groups, uploads)]
for t in threads: t.start()
for t in threads: t.join()
PY
}

check_files() {
  /usr/bin/python3 - "$work" <<'PY'
import os, re, sys
work = sys.argv[1]
with open(os.path.join(work, "registry.reg"), "rb") as f:
    raw = f.read()
text = raw.decode("utf-16") if raw[:2] == b"\xff\xfe" else raw.decode("latin-1")
groups = re.findall(r'^"DeviceGroup"="([^"]*)"\r?$', text, re.M)
assert len(groups) == 1 and re.fullmatch(r"DEFAULT|R\d+N\d+", groups[0]), f"registry: {groups}"
path = os.path.join(work, "transfer", "pkg.bin")
if os.path.exists(path):
    with open(path, "rb") as f:
        data = f.read()
    head, _, rest = data.partition(b"\n")
    assert re.fullmatch(rb"round \d+ upload \d+", head), f"torn file: starts {data[:40]!r}"
    assert len(data) == 1024 * 1024 and len(set(rest)) == 1, \
        f"torn file: {head!r}, {len(data)} bytes, {len(set(rest))} different fill bytes"
sidecar = os.path.join(work, "transfer", "pkg.bin.mki")
if os.path.exists(sidecar):
    with open(sidecar, "rb") as f, open(os.path.join(work, "pkg.bin.mki"), "rb") as g:
        assert f.read() == g.read(), "torn description"
PY
}

# Temporary files of uploads left by a kill; a link with such a name (to a
# file outside) and a file of another name stay.
leftovers() {
  find "$transfer" -name '~vorn-*.tmp' -type f | wc -l
}

# After a start: none left; the count the kill left, if any, is logged.
check_start() {
  [ "$(leftovers)" -eq 0 ] || fail "temporary files stayed after a start: $(ls -a "$transfer")"
  [ "$1" -eq 0 ] ||
    grep -q "^VORN: Removed $1 stale temporary file(s) from the transfer directory $transfer\$" \
      "$work/service.log" || fail "the removal of $1 temporary file(s) was not logged"
}

round=0
uploaded=0
stale=0
stale_seen=0
mkdir -p "$transfer"
echo keep >"$work/outside.tmp"
ln -s "$work/outside.tmp" "$transfer/~vorn-1-1.tmp"
echo keep >"$transfer/~vorn-notes.txt"
while [ "$round" -lt "$rounds" ]; do
  start_service
  check_start "$stale"
  load "$round" &
  load_pid=$!
  # From 50 ms on in steps of 37 ms: the kills land in every phase of the
  # writes, not in the same one each round.
  sleep "$(awk -v r="$round" 'BEGIN { printf "%.3f", 0.05 + r * 0.037 }')"
  # The last round waits for an upload to have completed (a slow build, as
  # under the sanitizers, may not finish one in the steps above), so that
  # a kill is always tried on top of a complete file.
  if [ "$round" -eq $((rounds - 1)) ] && [ "$uploaded" -eq 0 ]; then
    i=0
    until [ -e "$transfer/pkg.bin" ]; do
      i=$((i + 1)); [ $i -le 600 ] || fail "no upload completed within 60 s"; sleep 0.1
    done
  fi
  kill -9 "$service_pid"
  wait "$service_pid" 2>/dev/null || true
  service_pid=
  wait "$load_pid" 2>/dev/null || true
  load_pid=
  check_files || fail "after the kill of round $round"
  [ -e "$transfer/pkg.bin" ] && uploaded=$((uploaded + 1))
  stale=$(leftovers)
  [ "$stale" -eq 0 ] || stale_seen=$((stale_seen + 1))
  round=$((round + 1))
done
# The last start must come up on what the last kill left behind.
start_service
check_start "$stale"
[ "$uploaded" -gt 0 ] || fail "no upload ever completed: the kills proved nothing"
[ "$(cat "$work/outside.tmp")" = keep ] && [ -L "$transfer/~vorn-1-1.tmp" ] &&
  [ -e "$transfer/~vorn-notes.txt" ] || fail "the start removed what is not its own"
echo "kill during writes: $rounds rounds, a complete file after $uploaded of them," \
  "temporary files left by $stale_seen kills and removed at the next start: PASS"
