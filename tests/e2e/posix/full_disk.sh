#!/bin/sh
# A full disk, on a small tmpfs mounted in the test's own mount namespace
# (run-isolated.sh): an upload that runs out of space is refused with a
# clear error, what arrived of it is removed, the earlier file of that name
# stays whole, the log says why and the service keeps serving; a device
# group written to a registry on a full disk is refused and the registry
# file stays as it was.
set -eu
: "${VORN_BIN:?build directory}" "${VORN_SRC:?source directory}"
# Mounting is only done inside the private namespace, never on the host.
[ -n "${VORN_ISOLATED:-}" ] || { echo "not isolated: skipped"; exit 77; }
vornpkg="$VORN_BIN/tools/vornpkg/vornpkg"
work=$(mktemp -d)
service_pid=
cleanup() {
  [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  umount "$work/transfer" "$work/config" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
fail() { echo "FAIL: $*" >&2; echo "--- service log" >&2; cat "$work/service.log" >&2; exit 1; }

mkdir "$work/transfer" "$work/config" "$work/pkg"
mount -t tmpfs -o size=1m vorn-full-disk "$work/transfer" 2>/dev/null \
  && mount -t tmpfs -o size=256k vorn-full-disk "$work/config" 2>/dev/null \
  || { echo "cannot mount a tmpfs here: skipped"; exit 77; }

cp "$VORN_SRC/config/default-registry.reg" "$work/config/registry.reg"
cat >>"$work/config/registry.reg" <<REG

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]
"SoftwareInstallationPath"="$work/transfer"
REG
"$vornpkg" create --name Data --file pkg.bin --type data "$work/pkg/pkg.bin.mki" >/dev/null

. "$VORN_SRC/tests/shell/service.sh"
service_start "$work/config/registry.reg" "$work/service.log"

PYTHONPATH="$VORN_SRC/tests/e2e/posix" /usr/bin/python3 - "$work" <<'PY' || fail "full disk"
import filecmp, os, subprocess, sys
from wire_tool import Tool
work = sys.argv[1]
transfer = os.path.join(work, "transfer")
registry = os.path.join(work, "config", "registry.reg")
with open(os.path.join(work, "pkg", "pkg.bin.mki"), "rb") as f:
    description = f.read()

def upload(tool, data):
    tool.transfer(b"DESCR", description)
    tool.transfer(b"DATA", data)
    return tool.errors()

tool = Tool()
tool.select()
assert tool.errors() == [], "select"

# The earlier file: 300 KiB; the new one (800 KiB) does not fit beside it.
earlier = b"E" * (300 * 1024)
assert upload(tool, earlier) == [], "first upload"
with open(os.path.join(transfer, "pkg.bin"), "rb") as f:
    assert f.read() == earlier, "first upload arrived"
errors = upload(tool, b"N" * (800 * 1024))
assert errors and errors[0] == '-200,"Execution error;error in writing file"', errors
with open(os.path.join(transfer, "pkg.bin"), "rb") as f:
    assert f.read() == earlier, "the earlier file was damaged"
left = sorted(os.listdir(transfer))
assert left == ["pkg.bin", "pkg.bin.mki"], f"partial data left behind: {left}"

# Still serving, and the space is back: a file that fits arrives.
assert tool.ask(b"DIAG:PROD:SEL?") == '"1234.5678.02"'
smaller = b"S" * (200 * 1024)
assert upload(tool, smaller) == [], "upload after the full disk"
with open(os.path.join(transfer, "pkg.bin"), "rb") as f:
    assert f.read() == smaller

# The registry on a full disk: fill what is left of its file system.
with open(registry, "rb") as f:
    before = f.read()
filler = os.open(os.path.join(work, "config", "filler"), os.O_WRONLY | os.O_CREAT)
try:
    while True:
        os.write(filler, b"\0" * 4096)
except OSError:
    pass
os.close(filler)
tool.send(b"DIAG:PROD:GRO '" + b"G" * 60 + b"'")
errors = tool.errors()
assert len(errors) == 1 and errors[0].startswith("-221,") \
    and errors[0].endswith(';invalid Device Group"'), errors
with open(registry, "rb") as f:
    assert f.read() == before, "the registry file changed"
assert tool.ask(b"DIAG:PROD:GRO?") == '"DEFAULT"'
tool.close()
PY

grep -q 'pkg.bin.*No space left on device' "$work/service.log" \
  || fail "the log does not say that the disk was full"
kill -0 "$service_pid" || fail "service ended"
echo "full disk: PASS"
