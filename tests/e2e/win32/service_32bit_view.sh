#!/bin/sh
# Device keys written by 32-bit instrument software (reg add /reg:32) land in
# the 32-bit registry view only. The service lists the device, answers
# discovery for it, and writes its DeviceGroup into that same view.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  exec "$VORN_SRC/scripts/run-under-wine.sh" "$0" "$@"
fi
. "$VORN_SRC/tests/shell/wine_service.sh"
wine_service_init

fail() {
  echo "FAIL: $*" >&2
  grep 'debugstr' "$log" >&2 || true
  exit 1
}

platform_key='HKLM\SOFTWARE\Marrow&Keplin\Trellane'
wine_quiet reg add "$platform_key\\Analyzer32" /v MaterialNumber /t REG_SZ /d 1234.5678.32 /f /reg:32 \
  >/dev/null || fail "reg add /reg:32 MaterialNumber"
wine_quiet reg add "$platform_key\\Analyzer32" /v SerialNumber /t REG_SZ /d 320032 /f /reg:32 \
  >/dev/null || fail "reg add /reg:32 SerialNumber"
if wine_quiet reg query "$platform_key\\Analyzer32" /reg:64 >/dev/null; then
  fail "the device key is visible in the 64-bit view too; the test would prove nothing"
fi

# The administrator's check sees it too, and writes nothing.
wine64 'C:\vornsvc.exe' --check >"$work/check.out" 2>>"$log" </dev/null || fail "--check"
grep -q "material number 1234.5678.32, serial number 320032" "$work/check.out" ||
  fail "--check does not list the 32-bit device: $(cat "$work/check.out")"
if wine_quiet reg query "$platform_key\\ServiceConfiguration\\InstallServer" /reg:32 >/dev/null; then
  fail "--check wrote the configuration key"
fi

wine_service_start
grep -qF '"VORN: \nService is listening for 2 Material Number(s): ' "$log" ||
  fail "start-up log does not list the 32-bit device"

/usr/bin/python3 - <<'PYTHON' || fail "discovery of the 32-bit device"
import socket, sys
PREFIX = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN "
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.settimeout(1.0)
request = PREFIX + b"QUERY ID EqNumber=1234.5678.32"
expected = PREFIX + b"ID: Installation Server V2.35.2,1234.5678.32 320032\0"
for _ in range(10):
    sock.sendto(request, ("127.0.0.1", 13217))
    try:
        reply, _ = sock.recvfrom(2048)
        break
    except socket.timeout:
        reply = None
if reply != expected:
    print(f"got {reply!r}, expected {expected!r}")
    sys.exit(1)
print("ok: 32-bit device answered")
PYTHON

wine_quiet reg query "$platform_key\\ServiceConfiguration\\InstallServer" /v DeviceGroup /reg:32 |
  grep -q 'DEFAULT' || fail "DeviceGroup was not written into the 32-bit view"
if wine_quiet reg query "$platform_key\\ServiceConfiguration\\InstallServer" /v DeviceGroup /reg:64 \
  >/dev/null; then
  fail "DeviceGroup was written into the 64-bit view"
fi
echo "ok: DeviceGroup written beside the devices in the 32-bit view"

wine_quiet net stop MkVornService >/dev/null || fail "net stop"
echo "PASS"
