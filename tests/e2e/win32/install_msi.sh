#!/bin/sh
# A Windows Installer package end to end under Wine: the service runs in
# Wine's service manager; vornctl.exe selects a device, uploads a product
# built with wixl and its description (written by vornpkg.exe) and has it
# installed through msi.dll. The progress passes INST and ends SUCC,
# the product's file lands and the product is registered. A second install
# of the same package runs as a reinstall (the product notes REINSTALL in
# the registry; a plain install of an installed product leaves it empty).
# Then an executable package: a small program of the build runs with the
# arguments of its description in the transfer directory.
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

# The package: a product with one small file, and its description.
pkg="$work/pkg"
mkdir -p "$pkg"
# Many files besides the marked one: the installer takes a few seconds over
# them, so vornctl, which asks for the progress once a second, sees the
# installation under way and its percent rising.
echo "payload of the demo product" >"$pkg/payload.txt"
/usr/bin/python3 - "$pkg" "$VORN_SRC/tests/e2e/win32/install_msi.wxs" <<'PY' || fail "product source"
import os, sys, uuid
pkg, source = sys.argv[1], sys.argv[2]
os.makedirs(os.path.join(pkg, "extra"), exist_ok=True)
components, refs = [], []
for i in range(2000):
    name = f"extra/f{i:04d}.bin"
    with open(os.path.join(pkg, name), "wb") as f:
        f.write(os.urandom(8192))
    guid = uuid.uuid5(uuid.NAMESPACE_URL, f"vorn-demo-{i}")
    components.append(f'<Component Id="Extra{i}" Guid="{{{str(guid).upper()}}}">'
                      f'<File Id="ExtraFile{i}" Name="f{i:04d}.bin" Source="{name}" KeyPath="yes"/>'
                      f'</Component>')
    refs.append(f'<ComponentRef Id="Extra{i}"/>')
text = open(source).read()
text = text.replace("<!-- extra components -->", "\n".join(components))
text = text.replace("<!-- extra component references -->", "\n".join(refs))
open(os.path.join(pkg, "demo.wxs"), "w").write(text)
PY
(cd "$pkg" && wixl -o demo.msi demo.wxs) || fail "wixl"
(cd "$pkg" && wine_quiet "$VORN_BIN/tools/vornpkg/vornpkg.exe" create --name Demo --file demo.msi \
  --type msi demo.msi.mki >/dev/null) || fail "vornpkg.exe create"
product_code='{5E0B7C1A-4D2F-4B8E-9C61-2A7F3D9E8B10}'

trellane='HKLM\SOFTWARE\Marrow&Keplin\Trellane'
wine_quiet reg add "$trellane\\Analyzer7" /v MaterialNumber /t REG_SZ /d 1234.5678.90 /f >/dev/null ||
  fail "reg add MaterialNumber"
wine_quiet reg add "$trellane" /v SoftwareInstallationPath /t REG_SZ /d 'C:\transfer' /f >/dev/null ||
  fail "reg add SoftwareInstallationPath"

wine_service_start

installed_file() {
  find "$WINEPREFIX/drive_c" -path '*/VornDemo/payload.txt' 2>/dev/null | head -n 1
}

# vornctl.exe walks the road: selects the device, sends the description and
# the data file in checked blocks, starts the installation and follows the
# progress to its end, one line per change.
install() { # step, package file
  out="$work/$2.out"
  status=0
  (cd "$pkg" && wine_quiet "$VORN_BIN/tools/vornctl/vornctl.exe" install 127.0.0.1 \
    --device 1234.5678.90 --timeout 120 "$2.mki" "$2" >"$out.raw") || status=$?
  tr -d '\r' <"$out.raw" >"$out"
  [ "$status" -eq 0 ] || { cat "$out" >&2; return 1; }
  [ "$(tail -n 1 "$out")" = "installed" ] || { cat "$out" >&2; return 1; }
  grep -q '^100% SUCC' "$out" || { echo "no 100% SUCC" >&2; cat "$out" >&2; return 1; }
  percents=$(sed -n 's/^ *\([0-9]*\)% INST.*/\1/p' "$out")
  case "$2" in
    *.exe) ;;
    *) [ -n "$percents" ] || { echo "no INST progress" >&2; cat "$out" >&2; return 1; } ;;
  esac
  [ "$(echo "$percents" | sort -n)" = "$percents" ] ||
    { echo "percent went back: $percents" >&2; return 1; }
  echo "$1: INST percents $(echo $percents), $(grep SUCC "$out" | tail -n 1)"
}

install "first install" demo.msi || fail "first install"
file=$(installed_file)
[ -n "$file" ] || fail "the product's file was not installed"
grep -q 'payload of the demo product' "$file" || fail "installed file has the wrong content"
# A 32-bit product registers in the 32-bit view of the registry.
uninstall='Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
wine_quiet reg query "HKLM\\$uninstall\\$product_code" /v DisplayName | grep -q 'Vorn Demo Product' ||
  fail "product not registered after the install"
last_run() {
  wine_quiet reg query 'HKLM\Software\Wow6432Node\VornDemo' /v LastRun | sed -n 's/.*REG_SZ *//p' | tr -d '\r'
}
[ "$(last_run)" = "reinstall=" ] || fail "first install ran as: $(last_run)"
echo "ok: first install: product installed"

install "second install" demo.msi || fail "second install"
[ "$(last_run)" = "reinstall=ALL" ] || fail "second install was no reinstall: $(last_run)"
echo "ok: second install took the reinstall path"

cp "$VORN_BIN/tests/vorn-record-args.exe" "$pkg/"
(cd "$pkg" && wine_quiet "$VORN_BIN/tools/vornpkg/vornpkg.exe" create --name Recorder \
  --file vorn-record-args.exe --type exe --command-line '-q "two words"' \
  vorn-record-args.exe.mki >/dev/null) || fail "vornpkg.exe create (exe)"
install "executable" vorn-record-args.exe || fail "executable install"
ran="$WINEPREFIX/drive_c/transfer/ran.txt"
[ -f "$ran" ] || fail "the program did not run"
tr -d '\r' <"$ran" >"$work/ran.txt"
printf 'C:\\transfer\n[-q]\n[two words]\n' | cmp - "$work/ran.txt" ||
  fail "the program did not run as asked: $(cat "$ran")"
echo "ok: executable package ran with its arguments"

wine_quiet net stop MkVornService >/dev/null || fail "net stop"
echo "ok: msi and executable packages installed through the service"
