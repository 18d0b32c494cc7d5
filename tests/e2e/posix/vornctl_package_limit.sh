#!/bin/sh
# A data file larger than a server takes is refused before anything is sent,
# with the limit in the message; a file of exactly the limit goes on to the
# connection. The files are sparse: nothing of them is written to disk.
set -eu
: "${VORN_BIN:?build directory}"
vornpkg="$VORN_BIN/tools/vornpkg/vornpkg"
vornctl="$VORN_BIN/tools/vornctl/vornctl"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
fail() { echo "FAIL: $*" >&2; exit 1; }

"$vornpkg" create --name Big --file big.bin --type data "$work/big.bin.mki" >/dev/null
limit=2147483648

# size, command, expected exit status, text expected on standard error
check() {
  truncate -s "$1" "$work/big.bin"
  status=0
  "$vornctl" "$2" $3 --device 1234.5678.02 "$work/big.bin.mki" "$work/big.bin" \
    >"$work/out" 2>"$work/err" || status=$?
  [ "$status" -eq "$4" ] || fail "$2 with $1 bytes exited with $status: $(cat "$work/err")"
  grep -q -- "$5" "$work/err" || fail "$2 with $1 bytes: no '$5' in: $(cat "$work/err")"
}

check $((limit + 1048576)) install 127.0.0.1:1 9 "a server takes at most $limit"
check $((limit + 1)) install 127.0.0.1:1 9 "has $((limit + 1)) bytes"
check $((limit + 1048576)) rollout "" 9 "a server takes at most $limit"
# At the limit the package is taken; port 1 then refuses the connection.
check $limit install 127.0.0.1:1 3 "127.0.0.1:1"
echo "ok"
