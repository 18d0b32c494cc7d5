#!/bin/sh
# Under systemd (JOURNAL_STREAM names the stream that standard error is) each
# log line carries journald's priority prefix: "<3>" for failures, "<6>" for
# the rest, the text after it unchanged. A JOURNAL_STREAM inherited by a
# process whose standard error goes elsewhere changes nothing. The start
# fails on a taken port, which gives both kinds of line.
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
trap 'kill "$holder" 2>/dev/null || true; rm -rf "$work"' EXIT
printf 'REGEDIT4\n\n' > "$work/registry.reg"

/usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 13217))
open(sys.argv[1], "w").close()
time.sleep(60)
' "$work/bound" &
holder=$!
i=0
until [ -f "$work/bound" ]; do i=$((i + 1)); [ $i -le 100 ] || exit 1; sleep 0.1; done

fail() { echo "FAIL: $*"; cat "$work/$1"; exit 1; }

: > "$work/journal"
stream=$(stat -c '%d:%i' "$work/journal")
JOURNAL_STREAM=$stream timeout 30 "$VORN_BIN/vornsvc" --registry "$work/registry.reg" \
  2>> "$work/journal" || true
JOURNAL_STREAM=$stream timeout 30 "$VORN_BIN/vornsvc" --registry "$work/registry.reg" \
  2> "$work/plain" || true

for line in \
  "<6>VORN: Quillon Service V 2.35.2" \
  "<6>Service is listening for 1 Material Number(s): " \
  "<6>VORN: __TRL_Tool__" \
  "<3>VORN: Error: bind of control channel failed with 10048" \
  "<3>VORN: Error: Cannot bind control channel to port 13217" \
  "<3>VORN: Unable to start Control or Data channel"; do
  grep -qxF -- "$line" "$work/journal" || fail journal "missing: $line"
done
# Every non-empty line has exactly one prefix.
if grep -vE '^(<[36]>[^<]|<[36]>$|$)' "$work/journal" | grep -q .; then
  fail journal "a line without its prefix"
fi
grep -qxF "VORN: Unable to start Control or Data channel" "$work/plain" || fail plain "plain line"
if grep -q '^<[0-9]>' "$work/plain"; then fail plain "prefix on a stream that is not the journal"; fi
echo "PASS"
