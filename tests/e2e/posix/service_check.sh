#!/bin/sh
# The administrator's view of a configuration: --version; --check over a good
# file lists what the service would serve; over a bad file it lists every
# problem with its line and exits 1; the service itself refuses to start over
# a bad or missing file. No file is ever changed or created.
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; for f in "$work"/out "$work"/err; do [ -f "$f" ] && cat "$f"; done; exit 1; }
svc="$VORN_BIN/vornsvc"

"$svc" --version > "$work/out" || fail "--version exit status"
grep -qxF "vornsvc 2.35.2" "$work/out" || fail "--version text"

# A good file, with the DeviceGroup value missing: reported, not written.
grep -v '"DeviceGroup"' "$VORN_SRC/config/default-registry.reg" > "$work/good.reg"
cp "$work/good.reg" "$work/good.before"
status=0
"$svc" --check --registry "$work/good.reg" > "$work/out" 2> "$work/err" || status=$?
[ "$status" -eq 0 ] || fail "--check of a good file: exit status $status"
grep -qF "material number 1234.5678.02, serial number 100042" "$work/out" || fail "device"
grep -qF "material number __TRL_Tool__, serial number 000001" "$work/out" || fail "pseudo device"
grep -qF "Device group: DEFAULT (" "$work/out" || fail "device group"
grep -qF 'Transfer directory: C:\ (default' "$work/out" || fail "transfer directory"
cmp -s "$work/good.reg" "$work/good.before" || fail "--check changed the good file"

# The transfer directory and the device group as stored.
printf '%s\n' 'REGEDIT4' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane]' \
  '"SoftwareInstallationPath"="D:\\Transfer"' '' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\ServiceConfiguration\InstallServer]' \
  '"DeviceGroup"="Hall 7"' > "$work/set.reg"
VORN_REGISTRY="$work/set.reg" "$svc" --check > "$work/out" 2> "$work/err" || fail "--check of set.reg"
grep -qxF 'Transfer directory: D:\Transfer' "$work/out" || fail "transfer directory as stored"
grep -qxF 'Device group: Hall 7' "$work/out" || fail "device group as stored"
grep -qxF 'Devices: 0' "$work/out" || fail "no devices"

# A bad file: every problem with its line, exit 1, the file unchanged.
{
  cat "$VORN_SRC/config/default-registry.reg"
  printf '%s\n' '[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\Broken]' \
    '"MaterialNumber"="5555.0000.01' '"SerialNumber"=hex:zz'
} > "$work/bad.reg"
cp "$work/bad.reg" "$work/bad.before"
first=$(grep -n '"MaterialNumber"="5555' "$work/bad.reg" | cut -d: -f1)
second=$((first + 1))
status=0
"$svc" --check --registry "$work/bad.reg" > "$work/out" 2> "$work/err" || status=$?
[ "$status" -eq 1 ] || fail "--check of a bad file: exit status $status"
grep -qF "bad.reg:$first: " "$work/err" || fail "problem on line $first not reported"
grep -qF "bad.reg:$second: " "$work/err" || fail "problem on line $second not reported"
cmp -s "$work/bad.reg" "$work/bad.before" || fail "--check changed the bad file"

# The service does not start over it, and says why.
status=0
timeout 20 "$svc" --registry "$work/bad.reg" > "$work/out" 2> "$work/err" || status=$?
[ "$status" -eq 1 ] || fail "service over a bad file: exit status $status"
grep -qF "bad.reg:$first: " "$work/err" || fail "service did not report line $first"
cmp -s "$work/bad.reg" "$work/bad.before" || fail "the service changed the bad file"

# Nor over a missing file, which it does not create.
status=0
timeout 20 "$svc" --registry "$work/missing.reg" > "$work/out" 2> "$work/err" || status=$?
[ "$status" -eq 1 ] || fail "service over a missing file: exit status $status"
grep -qF "missing.reg: cannot read the configuration store" "$work/err" || fail "missing file"
[ ! -e "$work/missing.reg" ] || fail "the missing file was created"
status=0
"$svc" --check --registry "$work/missing.reg" > "$work/out" 2> "$work/err" || status=$?
[ "$status" -eq 1 ] || fail "--check of a missing file: exit status $status"
[ ! -e "$work/missing.reg" ] || fail "--check created the missing file"

# Unknown arguments: usage and exit 2.
status=0
"$svc" --frobnicate > "$work/out" 2> "$work/err" || status=$?
[ "$status" -eq 2 ] || fail "unknown argument: exit status $status"
grep -qF "Usage: vornsvc" "$work/err" || fail "no usage after an unknown argument"
echo "PASS"
