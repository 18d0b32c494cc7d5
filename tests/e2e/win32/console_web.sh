#!/bin/sh
# vornctl.exe console under Wine, asked from Linux in the same network
# namespace: the page and the API answer with the Content-Security-Policy, a
# foreign Host or Origin is refused, the native service added by address is
# listed with its device, a program uploaded through the API is installed on
# it with progress to "succeeded" and kept in the history, an upload over the
# limit leaves nothing behind, and Ctrl-C stops the console cleanly. Needs the
# native build (build/linux) next to the Windows one.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  exec "$VORN_SRC/scripts/run-under-wine.sh" "$0" "$@"
fi
service="${VORN_NATIVE_BIN:-$VORN_SRC/build/linux}/vornsvc"
[ -x "$service" ] || { echo "FAIL: $service missing: build the linux preset first" >&2; exit 1; }
work=$(mktemp -d)
pid=
console=
trap '[ -n "$console" ] && kill "$console" 2>/dev/null; [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/transfer" "$work/pkg"
{
  cat "$VORN_SRC/config/default-registry.reg"
  echo '[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane]'
  echo "\"SoftwareInstallationPath\"=\"$work/transfer\""
} >"$work/registry.reg"
printf '#!/bin/sh\npwd > ran.txt\nexit 0\n' >"$work/pkg/setup.sh"
head -c 300000 /dev/urandom >>"$work/pkg/setup.sh"
ctl=$(printf 'Z:%s/tools/vornctl/vornctl.exe' "$VORN_BIN" | tr / '\\')

fail() {
  echo "FAIL: $*" >&2
  tr -d '\r' <"$work/console.log" >&2 2>/dev/null || true
  exit 1
}

"$service" --registry "$work/registry.reg" 2>"$work/service.log" &
pid=$!
i=0
until grep -q '^VORN: Server is listening for DeviceGroup: ' "$work/service.log"; do
  i=$((i + 1)); [ $i -le 100 ] || fail "service did not start"; sleep 0.1
done

wine64 "$ctl" console --port 0 --no-discovery --server 127.0.0.1 --max-upload 1 \
  --dir "Z:$work/console" </dev/null >"$work/console.log" 2>&1 &
console=$!
i=0
until url=$(tr -d '\r' <"$work/console.log" | sed -n 's|^vornctl console: \(http://127\.0\.0\.1:[0-9]*\)/$|\1|p') &&
  [ -n "$url" ]; do
  kill -0 "$console" 2>/dev/null || fail "console ended at start"
  i=$((i + 1)); [ $i -le 200 ] || fail "console did not start"; sleep 0.1
done

python3 - "$url" "$work" <<'PY' || fail "API check: see above"
import http.client, json, sys, time, urllib.parse

URL, WORK = sys.argv[1:3]
HOST = urllib.parse.urlsplit(URL).netloc
OWN = {"Origin": "http://" + HOST}


def call(method, path, headers=None, body=None, raw=None):
    connection = http.client.HTTPConnection(HOST, timeout=60)
    headers = dict(headers or {})
    if body is not None:
        raw = json.dumps(body).encode()
        headers["Content-Type"] = "application/json"
    connection.request(method, path, body=raw, headers=headers)
    response = connection.getresponse()
    text = response.read().decode("utf-8", "replace")
    connection.close()
    try:
        return response.status, response.headers, json.loads(text)
    except ValueError:
        return response.status, response.headers, text


def wait_for(what, check, seconds=60):
    deadline = time.time() + seconds
    while time.time() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.3)
    raise AssertionError("timed out waiting for " + what)


# The page and the API, each with the policy that allows only the console's files.
for path, kind in [("/", "text/html"), ("/app.js", "javascript"), ("/api/v1/servers", "json")]:
    status, headers, _ = call("GET", path)
    assert status == 200 and kind in headers["Content-Type"], (path, status, headers)
    csp = headers["Content-Security-Policy"]
    assert "default-src 'none'" in csp and "script-src 'self'" in csp, (path, csp)
    assert headers["X-Content-Type-Options"] == "nosniff", path
status, _, page = call("GET", "/")
assert "<title>vorn console</title>" in page, page[:200]

# Another name than the console's, or a change from another site: refused.
assert call("GET", "/api/v1/servers", {"Host": "evil.example"})[0] == 421
assert call("GET", "/", {"Host": "evil.example:" + HOST.split(":")[1]})[0] == 421
assert call("POST", "/api/v1/servers/refresh", {"Origin": "http://evil.example"})[0] == 403

# The native service, added by address, with its device.
def listed():
    servers = call("GET", "/api/v1/servers")[2]["servers"]
    found = [s for s in servers if s["address"] == "127.0.0.1:13217" and s["reachable"]
             and s["devices"]]
    return found[0] if found else None
server = wait_for("the service in the list", listed)
assert server["how"] == "address", server
assert [d["serialNumber"] for d in server["devices"]] == ["100042"], server
assert server["devices"][0]["materialNumber"] == "1234.5678.02", server

# The event stream opens with the jobs there are.
connection = http.client.HTTPConnection(HOST, timeout=30)
connection.request("GET", "/api/v1/events")
response = connection.getresponse()
assert response.getheader("Content-Type") == "text/event-stream", response.getheader("Content-Type")
assert response.fp.readline() == b"event: hello\n"
connection.close()

# Too large: refused, and nothing is kept.
status, _, answer = call("POST", "/api/v1/packages?kind=program&name=big.exe", OWN,
                         raw=b"\0" * (1024 * 1024 + 1))
assert status == 413, (status, answer)

# A program uploaded, installed on the service, and in the history.
setup = open(WORK + "/pkg/setup.sh", "rb").read()
status, _, package = call("POST", "/api/v1/packages?kind=program&name=setup.sh&type=exe", OWN,
                          raw=setup)
assert status == 201 and package["dataBytes"] == len(setup), (status, package)
status, _, job = call("POST", "/api/v1/jobs", OWN,
                      {"package": package["id"], "device": "1234.5678.02",
                       "servers": ["127.0.0.1:13217"], "parallel": 1, "user": "tester"})
assert status == 201, (status, job)
job = wait_for("the job's end", lambda: (lambda j: j if j["finished"] else None)(
    call("GET", "/api/v1/jobs/" + job["id"])[2]), 120)
target = job["targets"][0]
assert target["state"] == "succeeded" and target["percent"] == 100, target
history = call("GET", "/api/v1/history")[2]
assert [t["state"] for t in history[0]["targets"]] == ["succeeded"], history
assert history[0]["user"] == "tester", history
print("api check ok")
PY

cmp -s "$work/pkg/setup.sh" "$work/transfer/setup.sh" || fail "the installed program differs"
[ -f "$work/transfer/ran.txt" ] || fail "the installed program did not run"
[ -z "$(ls -A "$work/console/store/incoming")" ] || fail "an upload was left in incoming"
ls "$work/console/store/packages" | grep -qv '^p[0-9a-f]\{16\}$' &&
  fail "a stored name the console did not make: $(ls "$work/console/store/packages")"
grep -q '"user":"tester"' "$work/console/history.jsonl" || fail "no run in history.jsonl"

# Ctrl-C ends it cleanly.
kill -INT "$console"
status=0
wait "$console" || status=$?
console=
[ "$status" -eq 0 ] || fail "exit status $status after Ctrl-C"
tr -d '\r' <"$work/console.log" | grep -qx 'vornctl console: stopped' || fail "no stop line"
echo "ok: vornctl.exe console serves the page and the API under Wine"
