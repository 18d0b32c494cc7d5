#!/bin/sh
# The installation road as a person walks it with the tools: vornpkg builds
# the package, vornctl identifies the server, uploads the description and a
# program of several megabytes, follows the installation to its end and
# restarts the computer through the configured (harmless) command. Then an
# entry of an installer container. Exit codes and the final lines are the
# contract scripts rely on.
set -eu
: "${VORN_BIN:?build directory}" "${VORN_SRC:?source directory}"
vornpkg="$VORN_BIN/tools/vornpkg/vornpkg"
vornctl="$VORN_BIN/tools/vornctl/vornctl"
work=$(mktemp -d)
service_pid=
cleanup() {
  [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
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
"RebootCommand"="touch $work/rebooted"
REG

. "$VORN_SRC/tests/shell/service.sh"
service_start "$work/registry.reg" "$work/service.log"

"$vornctl" identify 127.0.0.1 >"$work/identify.out" || fail "identify: $(cat "$work/identify.out")"
grep -q '^serial number *100042$' "$work/identify.out" || fail "identify: $(cat "$work/identify.out")"

mkdir -p "$work/pkg"
printf '#!/bin/sh\npwd > ran.txt\nfor a in "$@"; do echo "[$a]" >> ran.txt; done\nexit 0\n' >"$work/pkg/setup.sh"
head -c 5000000 /dev/urandom >>"$work/pkg/setup.sh"
"$vornpkg" create --name Setup --file setup.sh --type exe --command-line '-q "two words"' \
  "$work/pkg/setup.sh.mki" >/dev/null

status=0
"$vornctl" install 127.0.0.1 --device 1234.5678.02 "$work/pkg/setup.sh.mki" "$work/pkg/setup.sh" \
  >"$work/install.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "install exited with $status: $(tail -n 5 "$work/install.out")"
[ "$(tail -n 1 "$work/install.out")" = "installed" ] || fail "last line: $(tail -n 1 "$work/install.out")"
grep -q 'SUCC' "$work/install.out" || fail "no SUCC in the progress"
cmp -s "$transfer/setup.sh" "$work/pkg/setup.sh" || fail "the program did not arrive byte-identical"
[ -f "$transfer/setup.sh.mki" ] || fail "no .mki sidecar next to the program"
printf '%s\n[-q]\n[two words]\n' "$transfer" | cmp -s - "$transfer/ran.txt" ||
  fail "the program did not run with its arguments in the transfer directory: $(cat "$transfer/ran.txt")"

# An entry of an installer container, sent as the container and installed by name.
printf '#!/bin/sh\necho "$@" > tool-ran.txt\n' >"$work/pkg/tool.sh"
"$vornpkg" create --name Tools --file tool.sh --type exe --command-line 'from container' \
  "$work/pkg/tool.sh.mki" >/dev/null
"$vornpkg" container --entry "Tools=$work/pkg/tool.sh.mki:$work/pkg/tool.sh" "$work/pkg/setup.bin" >/dev/null
status=0
"$vornctl" install 127.0.0.1 --device 1234.5678.02 --container "$work/pkg/setup.bin::Tools" \
  >"$work/container.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "container install exited with $status: $(tail -n 5 "$work/container.out")"
[ "$(cat "$transfer/tool-ran.txt" 2>/dev/null)" = "from container" ] ||
  fail "the container's entry did not run: $(tail -n 5 "$work/container.out")"

"$vornctl" reboot 127.0.0.1 --device 1234.5678.02 >"$work/reboot.out" 2>&1 ||
  fail "reboot: $(cat "$work/reboot.out")"
[ -f "$work/rebooted" ] || fail "the configured restart command did not run"
# --json: one object with the outcome instead of the progress, same exit codes.
printf 'calibration\n' >"$work/pkg/cal.dat"
"$vornpkg" create --name Cal --file cal.dat --type data "$work/pkg/cal.dat.mki" >/dev/null
status=0
"$vornctl" install 127.0.0.1 --device 1234.5678.02 --json "$work/pkg/cal.dat.mki" "$work/pkg/cal.dat" \
  >"$work/json.out" 2>&1 || status=$?
[ "$status" -eq 6 ] || fail "install --json of a package the server cannot install exited with $status"
/usr/bin/python3 - "$work/json.out" <<'PY2' || fail "install --json: $(cat "$work/json.out")"
import json, sys
out = json.load(open(sys.argv[1]))
assert out["result"] == "failed" and out["exitCode"] == 6 and out["state"] == "ERR", out
assert out["text"] == "Install failed: invalid version (Unsupported package type)", out
assert out["rebootRequired"] is False and out["device"] == "1234.5678.02", out
PY2
"$vornctl" install 127.0.0.1 --device 1234.5678.02 --json "$work/pkg/tool.sh.mki" "$work/pkg/tool.sh" \
  >"$work/json.out" 2>&1 || fail "install --json exited with $?"
grep -q '"result": "installed"' "$work/json.out" && grep -q '"state": "SUCC"' "$work/json.out" ||
  fail "install --json: $(cat "$work/json.out")"
rm -f "$work/rebooted"
"$vornctl" reboot 127.0.0.1 --device 1234.5678.02 --json >"$work/json.out" 2>&1 ||
  fail "reboot --json: $(cat "$work/json.out")"
grep -q '"result": "reboot requested"' "$work/json.out" && [ -f "$work/rebooted" ] ||
  fail "reboot --json: $(cat "$work/json.out")"
[ "$("$vornctl" devices 127.0.0.1 --json | tr -d ' \n')" = '["1234.5678.02","__TRL_Tool__"]' ] ||
  fail "devices --json"
# A program that runs on: the server keeps reporting it as running, and
# --install-timeout gives up on it. Last, as the server refuses another
# installation while this one runs.
printf '#!/bin/sh\nsleep 20\n' >"$work/pkg/slow.sh"
"$vornpkg" create --name Slow --file slow.sh --type exe "$work/pkg/slow.sh.mki" >/dev/null
status=0
"$vornctl" install 127.0.0.1 --device 1234.5678.02 --install-timeout 2 "$work/pkg/slow.sh.mki" \
  "$work/pkg/slow.sh" >"$work/slow.out" 2>&1 || status=$?
[ "$status" -eq 8 ] || fail "install past --install-timeout exited with $status: $(tail -n 3 "$work/slow.out")"
[ "$(tail -n 1 "$work/slow.out")" = \
  "failed: the installation did not finish within 2 s (--install-timeout); giving up" ] ||
  fail "install past --install-timeout: $(tail -n 3 "$work/slow.out")"
echo "ok: vornctl identifies, installs a program and a container entry, and restarts"
