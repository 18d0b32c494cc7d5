"""Checks of the console's HTTP API, run from the tester's host.

api_check.py URL TOKEN WORKDIR first|restarted
"""
import http.client
import json
import socket
import sys
import threading
import time
import urllib.parse

URL, TOKEN, WORK, PHASE = sys.argv[1:5]
HOST = urllib.parse.urlsplit(URL).netloc
AUTH = {"Authorization": "Bearer " + TOKEN}


def call(method, path, body=None, headers=None, raw=None):
    """(status, parsed JSON or text) of one request on a new connection."""
    connection = http.client.HTTPConnection(HOST, timeout=60)
    all_headers = dict(headers if headers is not None else AUTH)
    data = raw
    if body is not None:
        data = json.dumps(body).encode()
        all_headers["Content-Type"] = "application/json"
    connection.request(method, path, body=data, headers=all_headers)
    response = connection.getresponse()
    text = response.read().decode("utf-8", "replace")
    connection.close()
    try:
        return response.status, json.loads(text)
    except ValueError:
        return response.status, text


def wait_for(what, check, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        result = check()
        if result:
            return result
        time.sleep(0.3)
    raise AssertionError("timed out waiting for " + what)


def servers():
    status, answer = call("GET", "/api/v1/servers")
    assert status == 200, (status, answer)
    return answer["servers"]


def three_servers():
    found = {s["address"]: s for s in servers() if s["reachable"] and s["devices"]}
    wanted = ["198.51.100.%d:13217" % n for n in (1, 2, 3)]
    return found if all(w in found for w in wanted) else None


if PHASE == "first":
    # Without the token (or with a wrong one) every request is refused.
    for method, path in [("GET", "/"), ("GET", "/app.js"), ("GET", "/api/v1/servers"),
                         ("GET", "/api/v1/events"), ("POST", "/api/v1/servers/refresh"),
                         ("POST", "/api/v1/packages?kind=program&name=a.exe")]:
        for headers in [{}, {"Authorization": "Bearer " + "0" * 32},
                        {"Cookie": "vorn_console_token=wrong"}]:
            status, _ = call(method, path, headers=headers)
            assert status == 401, (method, path, headers, status)

    # The page's address with the token hands it over as a cookie.
    status, _ = call("GET", "/?token=" + TOKEN, headers={})
    assert status == 303, status
    connection = http.client.HTTPConnection(HOST, timeout=10)
    connection.request("GET", "/?token=" + TOKEN)
    response = connection.getresponse()
    cookie = response.getheader("Set-Cookie")
    assert cookie.startswith("vorn_console_token=" + TOKEN + ";") and "HttpOnly" in cookie, cookie
    status, page = call("GET", "/", headers={"Cookie": cookie.split(";")[0]})
    assert status == 200 and "<title>vorn console</title>" in page, status

    # Every answer forbids anything but the console's own files.
    connection = http.client.HTTPConnection(HOST, timeout=10)
    connection.request("GET", "/api/v1/servers", headers=AUTH)
    response = connection.getresponse()
    csp = response.getheader("Content-Security-Policy")
    assert "default-src 'none'" in csp and "script-src 'self'" in csp, csp
    assert response.getheader("X-Content-Type-Options") == "nosniff"

    # A name that is not the console's, and a change from another origin.
    assert call("GET", "/api/v1/servers", headers=dict(AUTH, Host="evil.example"))[0] == 421
    status, answer = call("POST", "/api/v1/servers/refresh",
                          headers=dict(AUTH, Origin="http://evil.example"))
    assert status == 403, (status, answer)
    assert call("POST", "/api/v1/servers/refresh", headers=dict(AUTH, Origin="http://" + HOST))[0] == 202

    # The fleet: three servers with their devices; the markup is just text.
    fleet = wait_for("three servers", three_servers)
    serials = sorted(s["devices"][0]["serialNumber"] for s in fleet.values())
    assert serials == ["100001", "100002", "100003"], serials
    h3 = fleet["198.51.100.3:13217"]
    assert "<script>window.injected=1</script>" in h3["devices"][0]["model"], h3
    assert all(s["how"] == "discovery" and s["name"] and s["version"] for s in fleet.values()), fleet

    # Uploads: a name with a path, a kind that does not exist, one too large.
    for query in ["kind=program&name=../evil.exe", "kind=program&name=a%5Cb.exe",
                  "kind=nothing&name=a.exe", "kind=container&name=a.ctr"]:
        status, answer = call("POST", "/api/v1/packages?" + query, raw=b"x")
        assert status == 400, (query, status, answer)
    # Too large: refused as soon as the announced length is known, before
    # anything is stored (the console closes; a sender that goes on breaks off).
    probe = socket.create_connection((HOST.split(":")[0], int(HOST.split(":")[1])), timeout=10)
    probe.sendall(("POST /api/v1/packages?kind=program&name=big.exe HTTP/1.1\r\nHost: %s\r\n"
                   "Authorization: Bearer %s\r\nContent-Length: %d\r\n\r\n"
                   % (HOST, TOKEN, 1024 * 1024 + 1)).encode() + b"\0" * 1000)
    reply = probe.recv(4096).decode()
    probe.close()
    assert reply.startswith("HTTP/1.1 413 "), reply
    status, answer = call("POST", "/api/v1/packages?kind=description", raw=b"not a description")
    assert status == 400 and "Package Description" in answer["error"], (status, answer)

    setup = open(WORK + "/pkg/setup.sh", "rb").read()
    status, package = call("POST", "/api/v1/packages?kind=program&name=setup.sh&type=exe", raw=setup)
    assert status == 201, (status, package)
    assert package["description"]["FileName"] == "setup.sh", package
    assert package["description"]["PackageTypeName"] == "exe" and package["dataBytes"] == len(setup)

    # Live progress: the event stream, read while the job runs.
    events = []
    stream = http.client.HTTPConnection(HOST, timeout=60)
    stream.request("GET", "/api/v1/events", headers=AUTH)
    answer = stream.getresponse()
    assert answer.getheader("Content-Type") == "text/event-stream", answer.getheader("Content-Type")

    def read_events():
        name = None
        while True:
            line = answer.fp.readline().decode()
            if not line:
                return
            if line.startswith("event: "):
                name = line[7:].strip()
            elif line.startswith("data: "):
                events.append((name, json.loads(line[6:])))
                if name == "job" and events[-1][1].get("finished"):
                    return

    reader = threading.Thread(target=read_events, daemon=True)
    reader.start()
    targets = ["198.51.100.1:13217", "198.51.100.2:13217", "198.51.100.3:13217"]
    status, job = call("POST", "/api/v1/jobs", {"package": package["id"], "device": "1234.5678.02",
                                                "servers": targets, "parallel": 3, "user": "tester"},
                       headers=dict(AUTH, Origin="http://" + HOST))
    assert status == 201, (status, job)
    job = wait_for("the job's end",
                   lambda: (lambda j: j if j["finished"] else None)(call("GET", "/api/v1/jobs/" + job["id"])[1]),
                   120)
    results = {t["server"]: t for t in job["targets"]}
    for ok in targets[:2]:
        assert results[ok]["state"] == "succeeded" and results[ok]["percent"] == 100, results[ok]
    failed = results[targets[2]]
    assert failed["state"] == "failed" and failed["text"], failed
    reader.join(30)
    pushed = [e for name, e in events if name == "target"]
    for ok in targets[:2]:
        states = [(e["target"]["state"], e["target"]["percent"]) for e in pushed if e["target"]["server"] == ok]
        assert ("succeeded", 100) in states, states
        assert any(s == "running" and 0 < p < 100 for s, p in states), states
    assert any(e["target"]["state"] == "failed" and e["target"]["text"] == failed["text"] for e in pushed)

    # A started target cannot be cancelled; an unknown package or server is refused.
    assert call("POST", "/api/v1/jobs/%s/targets/0/cancel" % job["id"])[0] == 409
    assert call("POST", "/api/v1/jobs", {"package": "p0", "device": "1", "servers": targets})[0] == 400
    assert call("POST", "/api/v1/jobs", {"package": package["id"], "device": "1234.5678.02",
                                         "servers": ["198.51.100.9:13217"]})[0] == 400

if PHASE == "signed":
    # H1 was restarted just now: the console knows it again once a refresh
    # has found it.
    call("POST", "/api/v1/servers/refresh", headers=dict(AUTH, Origin="http://" + HOST))
    wait_for("H1 back in the console", lambda: any(
        s["address"] == "198.51.100.1:13217" and s["reachable"] and s["devices"]
        for s in servers()), 60)
    # H1 trusts only the lab's key now. A signature goes with a package
    # of any kind; it is bounded and needs a package to belong to.
    ORIGIN = dict(AUTH, Origin="http://" + HOST)
    signature = open(WORK + "/pkg/signed.sh.sig", "rb").read()
    status, answer = call("PUT", "/api/v1/packages/p0123456789abcdef/signature", raw=signature)
    assert status == 404, (status, answer)
    status, signed = call("POST", "/api/v1/packages?kind=description",
                          raw=open(WORK + "/pkg/signed.sh.mki", "rb").read())
    assert status == 201 and not signed["ready"] and not signed["signed"], (status, signed)
    status, signed = call("PUT", "/api/v1/packages/%s/data" % signed["id"],
                          raw=open(WORK + "/pkg/signed.sh", "rb").read())
    assert status == 200 and signed["ready"], (status, signed)
    for raw, expected in [(b"", 400), (b"\0" * 4097, 413)]:
        status, answer = call("PUT", "/api/v1/packages/%s/signature" % signed["id"], raw=raw)
        assert status == expected, (len(raw), status, answer)
    status, signed = call("PUT", "/api/v1/packages/%s/signature" % signed["id"], raw=signature)
    assert status == 200 and signed["signed"], (status, signed)
    assert call("GET", "/api/v1/packages/" + signed["id"])[1]["signed"] is True

    setup = open(WORK + "/pkg/setup.sh", "rb").read()
    status, unsigned = call("POST", "/api/v1/packages?kind=program&name=setup.sh&type=exe", raw=setup)
    assert status == 201, (status, unsigned)
    # A program's description is made by the console: no signature covers it.
    status, answer = call("PUT", "/api/v1/packages/%s/signature" % unsigned["id"], raw=signature)
    assert status == 400 and "description" in answer["error"], (status, answer)
    status, garbage = call("POST", "/api/v1/packages?kind=description",
                           raw=open(WORK + "/pkg/signed.sh.mki", "rb").read())
    assert status == 201, (status, garbage)
    status, garbage = call("PUT", "/api/v1/packages/%s/data" % garbage["id"],
                           raw=open(WORK + "/pkg/signed.sh", "rb").read())
    assert status == 200, (status, garbage)
    status, garbage = call("PUT", "/api/v1/packages/%s/signature" % garbage["id"], raw=b"\x30" * 70)
    assert status == 200 and garbage["signed"], (status, garbage)

    # The good one last: its signature is the one left on H1.
    for package, state, text in [(garbage, "failed", "package not signed by a trusted key"),
                                 (unsigned, "failed", "package signature missing"),
                                 (signed, "succeeded", None)]:
        status, job = call("POST", "/api/v1/jobs",
                           {"package": package["id"], "device": "1234.5678.02",
                            "servers": ["198.51.100.1:13217"], "user": "tester"}, headers=ORIGIN)
        assert status == 201, (status, job)
        job = wait_for("the job's end", lambda: (lambda j: j if j["finished"] else None)(
            call("GET", "/api/v1/jobs/" + job["id"])[1]), 120)
        target = job["targets"][0]
        assert target["state"] == state, (package["id"], target)
        assert text is None or text in target["text"], (package["id"], target)
    print("api check", PHASE, "ok")
    sys.exit(0)

status, history = call("GET", "/api/v1/history")
assert status == 200 and len(history) == 1, history
run = history[0]
assert run["user"] == "tester" and run["packageName"] == "setup.sh" and run["kind"] == "install", run
assert [t["state"] for t in run["targets"]] == ["succeeded", "succeeded", "failed"], run
status, packages = call("GET", "/api/v1/packages")
assert status == 200 and [p["fileName"] for p in packages] == ["setup.sh"], packages
print("api check", PHASE, "ok")
