#!/bin/sh
# The service executable started from a command prompt has no service manager
# to talk to: it logs the dispatcher's refusal (1063) and exits with 1.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  exec "$VORN_SRC/scripts/run-under-wine.sh" "$0" "$@"
fi

log="$WINEPREFIX/../console_start.log"
status=0
WINEDEBUG=+debugstr wine64 "$VORN_BIN/vornsvc.exe" 2>"$log" </dev/null || status=$?

fail() {
  echo "FAIL: $*" >&2
  grep 'debugstr' "$log" >&2 || true
  exit 1
}
[ "$status" -eq 1 ] || fail "exit status $status, expected 1"
grep -qF 'warn:debugstr:OutputDebugStringA "VORN: StartServiceCtrlDispatcher() failed. Error = 1063\n"' \
  "$log" || fail "no dispatcher failure line with error 1063"
echo "ok: console start logged error 1063 and exited with 1"
