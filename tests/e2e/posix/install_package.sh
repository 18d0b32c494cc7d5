#!/bin/sh
# One installation road end to end against the real service, in a network
# namespace of its own (run-isolated.sh): discovery finds the sample device,
# a tool selects it, uploads a package description and a program of several
# megabytes through the wire in CRC-checked blocks, installs it as an
# executable package and follows the progress from RUN to SUCC. The program
# arrives byte-identical next to its .mki sidecar and runs with its
# arguments in the transfer directory. Then the same with an entry of an
# installer container ('setup.bin::Tools'), and a reboot through the
# configured (harmless) command.
set -eu
: "${VORN_BIN:?build directory}" "${VORN_SRC:?source directory}"
PYTHON=/usr/bin/python3
vornpkg="$VORN_BIN/tools/vornpkg/vornpkg"
work=$(mktemp -d)
service_pid=
cleanup() {
  [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
fail() { echo "FAIL: $*" >&2; echo "--- service log" >&2; cat "$work/service.log" >&2; exit 1; }

transfer="$work/transfer dir"
cp "$VORN_SRC/config/default-registry.reg" "$work/registry.reg"
cat >>"$work/registry.reg" <<REG

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]
"SoftwareInstallationPath"="$transfer"
"RebootCommand"="touch \\"$work/rebooted\\""
REG

. "$VORN_SRC/tests/shell/service.sh"
service_start "$work/registry.reg" "$work/service.log"

# The program: a script that notes where and with what it ran, followed by
# megabytes that it never reads.
mkdir -p "$work/pkg"
program="$work/pkg/setup.sh"
printf '#!/bin/sh\nsleep 1\npwd > ran.txt\nfor a in "$@"; do echo "[$a]" >> ran.txt; done\nexit 0\n' >"$program"
head -c 6000000 /dev/urandom >>"$program"
"$vornpkg" create --name Setup --file setup.sh --type exe \
  --command-line '-q "two words"' "$work/pkg/setup.sh.mki" >/dev/null

# A container with a small tool; it travels as a not-installable data file.
printf '#!/bin/sh\necho "$@" > tool-ran.txt\n' >"$work/pkg/tool.sh"
"$vornpkg" create --name Tools --file 'tools\tool.sh' --type exe --command-line 'from container' \
  "$work/pkg/tool.sh.mki" >/dev/null
"$vornpkg" container --entry "Tools=$work/pkg/tool.sh.mki:$work/pkg/tool.sh" "$work/pkg/setup.bin" >/dev/null
"$vornpkg" create --name Container --file setup.bin --type data "$work/pkg/setup.bin.mki" >/dev/null

"$PYTHON" - "$work" <<'PY' || fail "installation road"
import os, socket, sys, time
work = sys.argv[1]
magic = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN "

# Discovery: who serves the sample device?
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.settimeout(3)
u.sendto(magic + b"QUERY ID EqNumber=1234.5678.02", ("127.0.0.1", 13217))
reply = u.recv(2048)
assert reply.startswith(magic + b"ID: Installation Server V2.35.2,1234.5678.02 100042"), reply

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

s = socket.create_connection(("127.0.0.1", 13217), timeout=10)
f = s.makefile("rb")
def send(line): s.sendall(line)
def ask(line):
    send(line + b"\n")
    return f.readline().decode(errors="replace").rstrip("\n")
def no_error(step):
    got = ask(b"SYST:ERR?")
    assert got == '0,"No error"', f"{step}: {got}"

def transfer(kind, data, chunk=65536):
    send(b"DIAG:UPD:TRAN:OPEN " + kind + b"\n")
    for at in range(0, len(data), chunk):
        piece = data[at:at + chunk]
        count = str(len(piece)).encode()
        send(b"DIAG:UPD:TRAN:DATA %d,%d,#%d%s%s\n" % (at, crc(piece), len(count), count, piece))
    send(b"DIAG:UPD:TRAN:CLOSE\n")
    no_error(b"transfer " + kind)

def upload(name):
    with open(os.path.join(work, "pkg", name + ".mki"), "rb") as d: transfer(b"DESCR", d.read())
    with open(os.path.join(work, "pkg", name), "rb") as d: transfer(b"DATA", d.read())

def follow(step):
    words = []
    for _ in range(600):
        percent, word, text = ask(b"DIAG:UPD:PROG?").split(",", 2)
        if not words or words[-1] != word: words.append(word)
        if word in ("SUCC", "BOOT", "ERR"): return words, text
        time.sleep(0.05)
    raise AssertionError(f"{step}: no final state, saw {words}")

send(b"DIAG:PROD:SEL '1234.5678.02'\n")
assert ask(b"DIAG:PROD:SEL?") == '"1234.5678.02"'
assert ask(b"DIAG:UPD:PROG?") == '0,SUCC,""'

upload("setup.sh")
send(b"DIAG:UPD:INST\n")
words, text = follow("executable")
assert words == ["RUN", "SUCC"] and text == '""', (words, text)
no_error("install")

upload("setup.bin")
send(b"DIAG:UPD:INST 'setup.bin::Tools'\n")
words, text = follow("container")
assert words[-1] == "SUCC", (words, text)
no_error("container install")

send(b"DIAG:UPD:BOOT\n")
assert ask(b"DIAG:UPD:PROG?") == '100,SUCC,""'
s.close()
PY

cmp "$program" "$transfer/setup.sh" || fail "data file differs"
[ -f "$transfer/setup.sh.mki" ] || fail "no sidecar next to the data file"
printf '%s\n[-q]\n[two words]\n' "$transfer" | cmp - "$transfer/ran.txt" || fail "program did not run as asked: $(cat "$transfer/ran.txt")"
[ "$(cat "$transfer/tool-ran.txt")" = "from container" ] || fail "container entry did not run"
[ -f "$transfer/tool.sh.mki" ] || fail "no sidecar for the container entry"
[ -f "$work/rebooted" ] || fail "reboot command did not run"
echo "ok: upload, install, progress and reboot end to end"
