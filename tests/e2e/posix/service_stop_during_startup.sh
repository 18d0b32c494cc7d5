#!/bin/sh
# A stop at any moment of the start-up ends the service cleanly: SIGTERM at
# random points between the moment the process can take it (its control
# signals are blocked) and the end of the start-up, with the sample registry
# and with one of 3,000 devices. Every run
# must end within a few seconds with exit status 0, or 1 after a start-up that
# logged its failure, and without a sanitizer report (run it in the sanitize
# build). Bounded: stops launching runs after VORN_STOP_BUDGET_S seconds (45;
# a sanitizer build starts more slowly and gets through fewer of them).
set -eu
: "${VORN_BIN:?}" "${VORN_SRC:?}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$VORN_BIN/vornsvc" "$VORN_SRC/config/default-registry.reg" "$work" <<'PY'
import os, random, signal, subprocess, sys, time

service, sample, work = sys.argv[1:4]
budget = float(os.environ.get("VORN_STOP_BUDGET_S", "45"))
runs_small = int(os.environ.get("VORN_STOP_RUNS", "100"))
runs_large = int(os.environ.get("VORN_STOP_RUNS_LARGE", "25"))

small = os.path.join(work, "sample.reg")
with open(sample) as f, open(small, "w") as out:
    out.write(f.read())
large = os.path.join(work, "large.reg")

def write_large(devices):
    with open(large, "w") as out:
        out.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]\n\n")
        for i in range(devices):
            out.write('[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\Device%04d]\n'
                      '"MaterialNumber"="1234.%04d.02"\n"SerialNumber"="%06d"\n'
                      '"DeviceName"="Device %d"\n"SoftwareVersion"="1.0"\n\n' % (i, i, i, i))
        out.write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration"
                  "\\InstallServer]\n\"DeviceGroup\"=\"DEFAULT\"\n")

SIGTERM_BIT = 1 << (signal.SIGTERM - 1)
SIGPIPE_BIT = 1 << (signal.SIGPIPE - 1)
log_path = os.path.join(work, "log")

# The main thread blocks the control signals before it starts any thread, so
# once some thread has them blocked a SIGTERM reaches the service host. (The
# main thread itself shows them unblocked while it waits for them, and the
# log's writer thread, which blocks nearly every signal, SIGPIPE included,
# does not count.)
def signals_blocked(pid):
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return False
    for task in tasks:
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith("SigBlk:"):
                        mask = int(line.split()[1], 16)
                        if mask & SIGTERM_BIT and not mask & SIGPIPE_BIT:
                            return True
        except OSError:
            pass
    return False

def start(registry):
    log = open(log_path, "wb")
    proc = subprocess.Popen([service, "--registry", registry], stderr=log,
                            stdout=subprocess.DEVNULL)
    log.close()
    deadline = time.monotonic() + 20
    while not signals_blocked(proc.pid):
        if proc.poll() is not None or time.monotonic() > deadline:
            fail(proc, "the service never blocked its control signals")
        time.sleep(0.0005)
    return proc

def read_log():
    with open(log_path, "rb") as f:
        return f.read().decode("latin-1")

def fail(proc, why):
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    print("FAIL: " + why)
    print("--- service log")
    print(read_log()[-6000:])
    sys.exit(1)

def startup_seconds(registry):
    proc = start(registry)
    began = time.monotonic()
    while "Server is listening for DeviceGroup" not in read_log():
        if proc.poll() is not None or time.monotonic() - began > 60:
            fail(proc, "the service did not start")
        time.sleep(0.002)
    took = time.monotonic() - began
    stop_and_check(proc, "after start-up")
    return took

def stop_and_check(proc, what):
    proc.send_signal(signal.SIGTERM)
    try:
        status = proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        fail(proc, "no exit within 10 s of SIGTERM " + what)
    log = read_log()
    if "Sanitizer" in log or "runtime error:" in log:
        fail(proc, "sanitizer report, SIGTERM " + what)
    if status == 1 and "VORN: Unable to start Control or Data channel" in log:
        return status
    if status != 0:
        fail(proc, "exit status %d after SIGTERM %s" % (status, what))
    return status

began = time.monotonic()
devices = 3000
write_large(devices)
spans = {small: startup_seconds(small) * 1.2, large: startup_seconds(large) * 1.2}
# Interleaved, so that a run cut short by the budget still covers both.
plan = [small] * runs_small + [large] * runs_large
random.shuffle(plan)
runs = 0
for registry in plan:
    if time.monotonic() - began > budget:
        break
    delay = random.uniform(0, spans[registry])
    proc = start(registry)
    time.sleep(delay)
    stop_and_check(proc, "%.3f s into the start-up (%s)" % (delay, os.path.basename(registry)))
    runs += 1
print("PASS (%d stops during start-up, %d devices in the large registry, %.0f s)"
      % (runs, devices, time.monotonic() - began))
PY
