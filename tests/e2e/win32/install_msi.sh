#!/bin/sh
# A Windows Installer package end to end under Wine: the service runs in
# Wine's service manager; a native tool selects a device, uploads a product
# built with wixl and its description (written by vornpkg.exe) over the wire
# and installs it through msi.dll. The progress passes INST and ends SUCC,
# the product's file lands and the product is registered. A second install
# of the same package runs as a reinstall (the product notes REINSTALL in
# the registry; a plain install of an installed product leaves it empty).
# Then an executable package: a small program of the build runs with the
# arguments of its description in the transfer directory.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  exec "$VORN_SRC/scripts/run-under-wine.sh" "$0" "$@"
fi

work="$WINEPREFIX/.."
log="$work/service.log"
: >"$log"
cp "$VORN_BIN/vornsvc.exe" "$WINEPREFIX/drive_c/vornsvc.exe"

export WINEDEBUG=+debugstr
wine_quiet() {
  wine64 "$@" 2>>"$log" </dev/null
}

fail() {
  echo "FAIL: $*" >&2
  echo "--- service log:" >&2
  grep 'debugstr' "$log" >&2 || true
  exit 1
}

# The package: a product with one small file, and its description.
pkg="$work/pkg"
mkdir -p "$pkg"
# Large enough that the installer reports file progress.
{ echo "payload of the demo product"; head -c 4000000 /dev/zero | tr '\0' x; } >"$pkg/payload.txt"
(cd "$pkg" && wixl -o demo.msi "$VORN_SRC/tests/e2e/win32/install_msi.wxs") || fail "wixl"
(cd "$pkg" && wine_quiet "$VORN_BIN/tools/vornpkg/vornpkg.exe" create --name Demo --file demo.msi \
  --type msi demo.msi.mki >/dev/null) || fail "vornpkg.exe create"
product_code='{5E0B7C1A-4D2F-4B8E-9C61-2A7F3D9E8B10}'

trellane='HKLM\SOFTWARE\Marrow&Keplin\Trellane'
wine_quiet reg add "$trellane\\Analyzer7" /v MaterialNumber /t REG_SZ /d 1234.5678.90 /f >/dev/null ||
  fail "reg add MaterialNumber"
wine_quiet reg add "$trellane" /v SoftwareInstallationPath /t REG_SZ /d 'C:\transfer' /f >/dev/null ||
  fail "reg add SoftwareInstallationPath"

wine_quiet sc create MkVornService binPath= 'C:\vornsvc.exe' >/dev/null || fail "sc create"
wine_quiet net start MkVornService >/dev/null || fail "net start"

installed_file() {
  find "$WINEPREFIX/drive_c" -path '*/VornDemo/payload.txt' 2>/dev/null | head -n 1
}

install() {
  /usr/bin/python3 - "$pkg" "$1" "$2" <<'PY'
import os, socket, sys, time
pkg, step, name = sys.argv[1], sys.argv[2], sys.argv[3]

table = []
for i in range(256):
    c = i
    for _ in range(8):
        c = (c >> 1) ^ 0x8408 if c & 1 else c >> 1
    table.append(c)
def crc(data):
    c = 0xFFFF
    for b in data:
        c = (c >> 8) ^ table[(c ^ b) & 0xFF]
    return c ^ 0xFFFF

s = None
for _ in range(50):  # the service may still be opening its channel
    try:
        s = socket.create_connection(("127.0.0.1", 13217), timeout=30)
        break
    except OSError:
        time.sleep(0.2)
assert s, "cannot connect"
f = s.makefile("rb")
def send(line): s.sendall(line)
def ask(line):
    send(line + b"\n")
    return f.readline().decode(errors="replace").rstrip("\n")
def no_error(what):
    got = ask(b"SYST:ERR?")
    assert got == '0,"No error"', f"{what}: {got}"
def transfer(kind, data, chunk=65536):
    send(b"DIAG:UPD:TRAN:OPEN " + kind + b"\n")
    for at in range(0, len(data), chunk):
        piece = data[at:at + chunk]
        count = str(len(piece)).encode()
        send(b"DIAG:UPD:TRAN:DATA %d,%d,#%d%s%s\n" % (at, crc(piece), len(count), count, piece))
    send(b"DIAG:UPD:TRAN:CLOSE\n")
    no_error(b"transfer " + kind)

send(b"DIAG:PROD:SEL '1234.5678.90'\n")
assert ask(b"DIAG:PROD:SEL?") == '"1234.5678.90"'
with open(os.path.join(pkg, name + ".mki"), "rb") as d: transfer(b"DESCR", d.read())
with open(os.path.join(pkg, name), "rb") as d: transfer(b"DATA", d.read())
send(b"DIAG:UPD:INST\n")

words, percents = [], []
for _ in range(1200):
    percent, word, text = ask(b"DIAG:UPD:PROG?").split(",", 2)
    if not words or words[-1] != word: words.append(word)
    if word == "INST": percents.append(int(percent))
    if word in ("SUCC", "BOOT", "ERR"): break
    time.sleep(0.05)
print(f"{step}: states {words}, INST percents {sorted(set(percents))}, final {percent},{word},{text}")
assert words[-1] == "SUCC", (words, text)
assert name.endswith(".exe") or "INST" in words, words
assert percent == "100", percent
assert percents == sorted(percents), f"percent went back: {percents}"
no_error("install")
s.close()
PY
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
