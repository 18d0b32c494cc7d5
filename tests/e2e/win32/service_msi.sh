#!/bin/sh
# The service's own Windows Installer package under Wine: a silent install
# registers MkVornService (auto start) and starts it; a native client gets
# answers to discovery. The administrator sets the device group; a newer
# package upgrades the product in place, the service runs again and answers
# with the group kept; an older package is refused. A silent uninstall stops
# and deletes the service and removes its files, and leaves the configuration.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  exec "$VORN_SRC/scripts/run-under-wine.sh" "$0" "$@"
fi
. "$VORN_SRC/tests/shell/wine_service.sh"
wine_service_init

fail() {
  echo "FAIL: $*" >&2
  echo "--- service log:" >&2
  grep 'debugstr' "$log" >&2 || true
  exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$VORN_BIN/CMakeCache.txt")
newer=$(echo "$version" | awk -F. '{ $NF = $NF + 1; print }' OFS=.)
msi="$VORN_BIN/vorn-$version-x64.msi"
[ -f "$msi" ] || fail "$msi not built"
cp "$msi" "$work/vorn-$version.msi"
# The newer version: the same recipe as the build's package.
cmake -DVERSION="$newer" -DBIN_DIR="$VORN_BIN" -DOUTPUT="$work/vorn-$newer.msi" \
  -P "$VORN_SRC/packaging/windows/msi.cmake" || fail "building the $newer package"
product_code() {
  msiinfo export "$1" Property | sed -n 's/^ProductCode\t//p' | tr -d '\r'
}
old_code=$(product_code "$work/vorn-$version.msi")
new_code=$(product_code "$work/vorn-$newer.msi")
[ -n "$old_code" ] && [ "$old_code" != "$new_code" ] || fail "product codes '$old_code' '$new_code'"

windows_path() {
  echo "Z:$1" | tr / '\\'
}
msiexec() {
  wine_quiet msiexec "$1" "$(windows_path "$2")" /qn
}
installed_dir="$WINEPREFIX/drive_c/Program Files/Vorn"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
group_key='HKLM\SOFTWARE\Marrow&Keplin\Trellane\ServiceConfiguration\InstallServer'
reg_value() {
  wine_quiet reg query "$1" /v "$2" 2>/dev/null | sed -n "s/.*$2 *REG_SZ *//p" | tr -d '\r'
}
service_state() {
  wine_quiet sc query MkVornService | sed -n 's/.*STATE *: *[0-9] *\([A-Z_]*\).*/\1/p'
}

# The instrument software has registered its device before.
device_key='HKLM\SOFTWARE\Marrow&Keplin\Trellane\Analyzer7'
wine_quiet reg add "$device_key" /v MaterialNumber /t REG_SZ /d 1234.5678.90 /f >/dev/null ||
  fail "reg add MaterialNumber"
wine_quiet reg add "$device_key" /v SerialNumber /t REG_SZ /d 100042 /f >/dev/null ||
  fail "reg add SerialNumber"

discovery() {
  /usr/bin/python3 - "$@" <<'PYTHON'
import socket
import sys

PREFIX = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN "
IDENTITY = PREFIX + b"ID: Installation Server V2.35.2"
SERVER = ("127.0.0.1", 13217)
group, other_group = sys.argv[1], sys.argv[2]
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.settimeout(1.0)

def ask(request, attempts=20):
    # The service may still be opening its channel.
    for _ in range(attempts):
        sock.sendto(request, SERVER)
        try:
            return sock.recvfrom(2048)[0]
        except socket.timeout:
            continue
    return None

def check(name, request, expected):
    reply = ask(request)
    if reply != expected:
        print(f"{name}: got {reply!r}, expected {expected!r}")
        sys.exit(1)
    print(f"ok: {name}")

check("tool identity", PREFIX + b"QUERY ID EqNumber=__TRL_Tool__",
      IDENTITY + b",__TRL_Tool__ 000001\0")
check("device identity", PREFIX + b"QUERY ID EqNumber=1234.5678.90",
      IDENTITY + b",1234.5678.90 100042\0")
check(f"group {group}", PREFIX + b'QUERY ID EqNumber=1234.5678.90,"' + group.encode() + b'"',
      IDENTITY + b",1234.5678.90 100042\0")
# A server of another group keeps quiet.
sock.sendto(PREFIX + b'QUERY ID EqNumber=1234.5678.90,"' + other_group.encode() + b'"', SERVER)
try:
    print(f"group {other_group} answered: {sock.recvfrom(2048)[0]!r}")
    sys.exit(1)
except socket.timeout:
    print(f"ok: group {other_group} unanswered")
check("start data channel", PREFIX + b"START DATA CHANNEL",
      PREFIX + b"LISTENING ON PORT 13217\0")
with socket.create_connection(SERVER, timeout=5):
    print("ok: data channel accepts")
PYTHON
}

# Install.
msiexec /i "$work/vorn-$version.msi" || fail "msiexec /i returned $?"
echo "ok: msiexec /i $version returned 0"
for program in vornsvc.exe vornctl.exe vornpkg.exe; do
  [ -f "$installed_dir/$program" ] || fail "$program not installed in Program Files\\Vorn"
done
[ "$(service_state)" = RUNNING ] || fail "service not running after install: $(service_state)"
# The service manager's record (Wine's sc has no qc).
wine_quiet reg query 'HKLM\System\CurrentControlSet\Services\MkVornService' | tr -d '\r' >"$work/qc.txt" ||
  fail "no service record"
grep -q 'Start *REG_DWORD *0x2$' "$work/qc.txt" || fail "not an auto-start service: $(cat "$work/qc.txt")"
grep -qi 'ImagePath *REG_[A-Z_]*SZ *"*C:\\Program Files\\Vorn\\vornsvc.exe' "$work/qc.txt" ||
  fail "service runs another program: $(cat "$work/qc.txt")"
echo "ok: MkVornService registered (auto start) and running from Program Files\\Vorn"
discovery DEFAULT LAB7 || fail "discovery after install"
# The service wrote the default group itself; the package writes none.
[ "$(reg_value "$group_key" DeviceGroup)" = DEFAULT ] || fail "DeviceGroup after install"

# The administrator's configuration.
wine_quiet reg add "$group_key" /v DeviceGroup /t REG_SZ /d LAB7 /f >/dev/null || fail "reg add DeviceGroup"

# Major upgrade in place.
starts() { grep -c '"VORN: Quillon Service V ' "$log" || true; }
[ "$(starts)" = 1 ] || fail "the service started $(starts) times by now"
msiexec /i "$work/vorn-$newer.msi" || fail "msiexec /i of $newer returned $?"
echo "ok: msiexec /i $newer returned 0"
[ "$(reg_value "$uninstall_key\\$new_code" DisplayVersion)" = "$newer" ] ||
  fail "$newer not registered"
! wine_quiet reg query "$uninstall_key\\$old_code" >/dev/null 2>&1 || fail "$version still registered"
[ "$(service_state)" = RUNNING ] || fail "service not running after upgrade: $(service_state)"
[ -f "$installed_dir/vornsvc.exe" ] || fail "vornsvc.exe gone after upgrade"
[ "$(starts)" = 2 ] || fail "the upgrade did not start the service once more: $(starts) starts"
[ "$(reg_value "$group_key" DeviceGroup)" = LAB7 ] || fail "the upgrade lost the device group"
discovery LAB7 DEFAULT || fail "discovery after upgrade"
echo "ok: upgraded in place to $newer, device group kept"

# An older version does not replace a newer one.
if msiexec /i "$work/vorn-$version.msi"; then
  fail "the older package installed over the newer one"
fi
! wine_quiet reg query "$uninstall_key\\$old_code" >/dev/null 2>&1 || fail "$version registered after the downgrade"
[ "$(service_state)" = RUNNING ] || fail "service not running after the refused downgrade"
echo "ok: downgrade refused, $newer still running"

# Uninstall.
msiexec /x "$work/vorn-$newer.msi" || fail "msiexec /x returned $?"
echo "ok: msiexec /x returned 0"
if wine_quiet sc query MkVornService >"$work/query.txt"; then
  fail "service still registered: $(cat "$work/query.txt")"
fi
[ ! -e "$installed_dir" ] || fail "files left: $(ls "$installed_dir")"
! wine_quiet reg query "$uninstall_key\\$new_code" >/dev/null 2>&1 || fail "product still registered"
[ "$(reg_value "$group_key" DeviceGroup)" = LAB7 ] || fail "the uninstall removed the configuration"
/usr/bin/python3 - <<'PYTHON' || fail "something still answers discovery"
import socket
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.settimeout(1.0)
sock.sendto(b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID EqNumber=__TRL_Tool__",
            ("127.0.0.1", 13217))
try:
    print(f"answered: {sock.recvfrom(2048)[0]!r}")
    raise SystemExit(1)
except socket.timeout:
    pass
PYTHON
echo "ok: uninstalled: service stopped and deleted, files gone, configuration kept"
