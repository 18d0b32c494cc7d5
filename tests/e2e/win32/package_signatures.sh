#!/bin/sh
# Signed packages under Wine: the Windows service checks signatures through
# CNG. With TrustedPackageKeys set, an MSI whose signature openssl made with
# the lab's key installs through vornctl.exe (which sends DATAFILE.sig by
# itself); the same MSI changed by one byte after signing, and one without a
# signature, are refused with their texts and the product stays absent.
# vornpkg.exe signs, verifies and names the key with the same library. A
# checked copy that an earlier run left in the transfer directory goes at the
# start, and no copy stays after the installations.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  exec "$VORN_SRC/scripts/run-under-wine.sh" "$0" "$@"
fi
command -v openssl >/dev/null && command -v wixl >/dev/null || { echo "skip: no openssl or wixl"; exit 77; }
. "$VORN_SRC/tests/shell/wine_service.sh"
wine_service_init

fail() {
  echo "FAIL: $*" >&2
  echo "--- service log:" >&2
  grep 'debugstr' "$log" | tail -n 30 >&2 || true
  exit 1
}

pkg="$work/pkg"
mkdir -p "$pkg"
echo "payload of the demo product" >"$pkg/payload.txt"
sed -e '/extra component/d' "$VORN_SRC/tests/e2e/win32/install_msi.wxs" >"$pkg/demo.wxs"
(cd "$pkg" && wixl -o demo.msi demo.wxs) || fail "wixl"
# The same product under four names: signed, changed after signing, unsigned,
# and one that vornpkg.exe signs.
for name in signed changed unsigned cng; do
  cp "$pkg/demo.msi" "$pkg/$name.msi"
  (cd "$pkg" && wine_quiet "$VORN_BIN/tools/vornpkg/vornpkg.exe" create --name Demo \
    --file "$name.msi" --type msi "$name.msi.mki" >/dev/null) || fail "vornpkg.exe create"
done

openssl ecparam -name prime256v1 -genkey -noout -out "$work/lab.pem"
openssl ec -in "$work/lab.pem" -pubout -out "$WINEPREFIX/drive_c/trusted.pem" 2>/dev/null
fingerprint=$(openssl pkey -pubin -in "$WINEPREFIX/drive_c/trusted.pem" -outform DER | sha256sum | cut -d' ' -f1)
for name in signed changed; do
  cat "$pkg/$name.msi.mki" "$pkg/$name.msi" |
    openssl dgst -sha256 -sign "$work/lab.pem" -out "$pkg/$name.msi.sig"
done
# One byte more at the end: still an installable product, no longer the signed bytes.
printf '\0' >>"$pkg/changed.msi"

(cd "$pkg" && wine_quiet "$VORN_BIN/tools/vornpkg/vornpkg.exe" verify --keys 'C:\trusted.pem' \
  signed.msi.mki signed.msi) | tr -d '\r' | grep -q "signed by SHA-256 $fingerprint$" ||
  fail "vornpkg.exe verify does not accept the openssl signature"
! (cd "$pkg" && wine_quiet "$VORN_BIN/tools/vornpkg/vornpkg.exe" verify --keys 'C:\trusted.pem' \
  changed.msi.mki changed.msi >/dev/null) || fail "vornpkg.exe verify took the changed MSI"
# Signing through CNG gives what openssl verifies with the public key.
cp "$work/lab.pem" "$pkg/lab.pem"
(cd "$pkg" && wine_quiet "$VORN_BIN/tools/vornpkg/vornpkg.exe" sign --key lab.pem \
  cng.msi.mki cng.msi >/dev/null) || fail "vornpkg.exe sign"
cat "$pkg/cng.msi.mki" "$pkg/cng.msi" |
  openssl dgst -sha256 -verify "$WINEPREFIX/drive_c/trusted.pem" -signature "$pkg/cng.msi.sig" \
    >/dev/null || fail "openssl does not verify what vornpkg.exe sign wrote"
rm -f "$pkg/lab.pem" "$pkg/cng.msi" "$pkg/cng.msi.mki" "$pkg/cng.msi.sig"
echo "ok: vornpkg.exe sign writes what openssl verifies"

trellane='HKLM\SOFTWARE\Marrow&Keplin\Trellane'
wine_quiet reg add "$trellane\\Analyzer7" /v MaterialNumber /t REG_SZ /d 1234.5678.90 /f >/dev/null ||
  fail "reg add MaterialNumber"
wine_quiet reg add "$trellane" /v SoftwareInstallationPath /t REG_SZ /d 'C:\transfer' /f >/dev/null ||
  fail "reg add SoftwareInstallationPath"
wine_quiet reg add "$trellane\\ServiceConfiguration\\InstallServer" /v TrustedPackageKeys /t REG_SZ \
  /d 'C:\trusted.pem' /f >/dev/null || fail "reg add TrustedPackageKeys"

wine_quiet "$VORN_BIN/vornsvc.exe" --check >"$work/check.out" || fail "--check: $(cat "$work/check.out")"
tr -d '\r' <"$work/check.out" | grep -q "^  SHA-256 $fingerprint$" || fail "--check: $(cat "$work/check.out")"

transfer="$WINEPREFIX/drive_c/transfer"
mkdir -p "$transfer"
echo "kept for a restart" >"$transfer/~vorn-verified-0123456789abcdef.msi"
wine_service_start
i=0
until [ ! -e "$transfer/~vorn-verified-0123456789abcdef.msi" ] &&
  grep -q 'Removed a stale verified copy of a package: C:.*transfer.*~vorn-verified-0123456789abcdef\.msi' "$log"; do
  i=$((i + 1)); [ $i -le 100 ] || fail "the stale verified copy was not removed (and logged) at the start"
  sleep 0.1
done

installed_file() {
  find "$WINEPREFIX/drive_c" -path '*/VornDemo/payload.txt' 2>/dev/null | head -n 1
}
install() {  # the last line of vornctl.exe for NAME.msi
  (cd "$pkg" && wine_quiet "$VORN_BIN/tools/vornctl/vornctl.exe" install 127.0.0.1 \
    --device 1234.5678.90 --timeout 120 "$1.msi.mki" "$1.msi" >"$work/$1.out") || true
  tr -d '\r' <"$work/$1.out" | tail -n 1
}

while read -r name expected; do
  got=$(install "$name")
  [ "$got" = "$expected" ] || fail "$name: expected '$expected', got '$got'"
  [ -z "$(installed_file)" ] || fail "$name: the product was installed"
  echo "ok: $name refused"
done <<CASES
changed failed: package not signed by a trusted key
unsigned failed: package signature missing
CASES

[ "$(install signed)" = "installed" ] || fail "signed: $(cat "$work/signed.out")"
[ -n "$(installed_file)" ] || fail "the signed product's file was not installed"
echo "ok: signed MSI installed"
! ls -A "$transfer" | grep -q '^~vorn-' || fail "a checked copy stayed: $(ls -A "$transfer")"

wine_quiet net stop MkVornService >/dev/null || fail "net stop"
echo "ok: the Windows service installs only what the trusted key signed"
