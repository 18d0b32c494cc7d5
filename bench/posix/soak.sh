#!/bin/sh
# A soak of the service under mixed load, not a test: for a given time
# (default 30 minutes) discovery queries, 200 sessions asking and selecting,
# uploads and installations of a small package, connections that open and
# drop, and now and then an edit of the configuration file, all at once.
# Every minute it prints the service's resident memory, open descriptors,
# threads and the requests served in that minute; at the end whether each
# stayed flat. Run in a namespace of its own (it binds port 13217):
#   VORN_BIN=build/linux VORN_SRC=. scripts/run-isolated.sh bench/posix/soak.sh [minutes] [seconds per report]
set -eu
: "${VORN_BIN:?build directory}" "${VORN_SRC:?source directory}"
minutes=${1:-30}
period=${2:-60}
work=$(mktemp -d)
service_pid=
cleanup() {
  [ -z "$service_pid" ] || kill "$service_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

cp "$VORN_SRC/config/default-registry.reg" "$work/registry.reg"
cat >>"$work/registry.reg" <<REG

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]
"SoftwareInstallationPath"="$work/transfer"
REG
# One package per uploading session: two installations of one name at once
# would replace each other's program under way.
for n in 0 1; do
  "$VORN_BIN/tools/vornpkg/vornpkg" create --name "Soak$n" --file "soak$n.sh" --type exe \
    "$work/soak$n.sh.mki" >/dev/null
done
"$VORN_BIN/vornsvc" --registry "$work/registry.reg" 2>/dev/null &
service_pid=$!
sleep 1

PYTHONPATH="$VORN_SRC/tests/e2e/posix" /usr/bin/python3 - "$work" "$service_pid" "$minutes" "$period" <<'PY'
import os, random, socket, sys, threading, time
from wire_tool import Tool
work, pid, minutes, period = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
magic = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN "
end = time.monotonic() + minutes * 60
served = [0]
failures = [0]
lock = threading.Lock()

def count(n=1):
    with lock:
        served[0] += n

kinds = {}

def loop(body):
    def run():
        while time.monotonic() < end:
            try:
                body()
            except (OSError, ValueError, AssertionError) as error:
                with lock:
                    failures[0] += 1
                    kind = f"{body.__name__}: {type(error).__name__} {str(error)[:60]}"
                    kinds[kind] = kinds.get(kind, 0) + 1
                time.sleep(0.2)
    return run

def discovery():
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.settimeout(2)
    try:
        while time.monotonic() < end:
            u.sendto(magic + b"QUERY ID EqNumber=__TRL_Tool__", ("127.0.0.1", 13217))
            u.recv(2048)
            count()
            time.sleep(0.02)
    finally:
        u.close()

def session():
    tool = Tool(timeout=30)
    try:
        while time.monotonic() < end:
            tool.select()
            answer = tool.ask(b"DIAG:PROD:SEL?")
            assert answer == '"1234.5678.02"', answer
            tool.ask(b"*IDN?")
            count(2)
            time.sleep(random.uniform(0.5, 1.5))
    finally:
        tool.close()

descriptions = []
for n in (0, 1):
    with open(os.path.join(work, f"soak{n}.sh.mki"), "rb") as f:
        descriptions.append(f.read())
# A program that ends at once, followed by bytes it never reads.
program = b"#!/bin/sh\nexit 0\n" + b"#" * (256 * 1024)

def upload(description):
    tool = Tool(timeout=30)
    try:
        tool.select()
        while time.monotonic() < end:
            tool.transfer(b"DESCR", description)
            tool.transfer(b"DATA", program)
            tool.send(b"DIAG:UPD:INST")
            errors = tool.errors()
            assert errors == [], errors
            for _ in range(600):
                _, state, text = tool.ask(b"DIAG:UPD:PROG?").split(",", 2)
                if state in ("SUCC", "ERR", "BOOT"):
                    break
                time.sleep(0.05)
            assert state == "SUCC", text
            count()
    finally:
        tool.close()

def churn():
    s = socket.create_connection(("127.0.0.1", 13217), timeout=10)
    if random.random() < 0.5:
        # The error queue answers without a device selected (*IDN? would not).
        s.sendall(b"SYST:ERR?\n")
        s.recv(1024)
        count()
    s.close()
    time.sleep(0.01)

def edit():
    path = os.path.join(work, "registry.reg")
    on = False
    while time.monotonic() < end:
        time.sleep(10)
        with open(path, "rb") as f:
            text = f.read()
        line = b'\n"RestrictTransfers"=dword:00000000\n'
        text = text.replace(line, b"\n") if on else text + line
        with open(path + ".edit", "wb") as f:
            f.write(text)
        os.replace(path + ".edit", path)
        on = not on

def sample():
    with open(f"/proc/{pid}/status") as f:
        fields = dict(l.split(":", 1) for l in f if ":" in l)
    rss = int(fields["VmRSS"].split()[0])
    return rss, len(os.listdir(f"/proc/{pid}/fd")), int(fields["Threads"])

def uploader(n):
    body = lambda: upload(descriptions[n])
    body.__name__ = f"upload {n}"
    return body

bodies = [discovery, uploader(0), uploader(1), churn, edit] + [session] * 200
threads = [threading.Thread(target=loop(b), daemon=True) for b in bodies]
for t in threads:
    t.start()
rows = []
print(f"{'minute':>6} {'RSS KiB':>9} {'fds':>5} {'threads':>7} {'requests':>9} {'failures':>8}", flush=True)
last = 0
while time.monotonic() < end:
    time.sleep(min(period, max(0.0, end - time.monotonic())))
    with lock:
        n, served[0] = served[0], 0
        failed, failures[0] = failures[0], 0
    rss, fds, nthreads = sample()
    rows.append((rss, fds, nthreads, n))
    print(f"{len(rows) * period / 60:6.1f} {rss:9d} {fds:5d} {nthreads:7d} {n:9d} {failed:8d}", flush=True)
for t in threads:
    t.join(timeout=40)

def flat(values, slack):
    # After the first report (warm-up), the second half may not rise above
    # the first half by more than the slack.
    values = values[1:] or values
    half = len(values) // 2
    first, second = values[:max(half, 1)], values[half:]
    return max(second) <= max(first) * (1 + slack) + 2

for kind, n in sorted(kinds.items(), key=lambda item: -item[1])[:8]:
    print(f"failed {n} times: {kind}")
if rows:
    print("RSS", "flat" if flat([r[0] for r in rows], 0.05) else "GREW")
    print("descriptors", "flat" if flat([r[1] for r in rows], 0.0) else "GREW")
    print("threads", "flat" if flat([r[2] for r in rows], 0.0) else "GREW")
    rates = [r[3] for r in rows[1:]] or [rows[0][3]]
    print("requests per report", "flat" if min(rates) >= 0.5 * max(rates) else "FELL")
PY
