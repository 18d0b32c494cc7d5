#!/bin/sh
# vornctl console's HTTP API against three real servers on a test network,
# asked from another host: the token is required on every request, changing
# requests must come from the console's own origin, uploads are bounded and
# stored under the console's names, an installation on three servers
# reports live progress (server-sent events) to success on two and the
# server's text on the one that fails, and the history survives a restart.
# A signature file uploaded with a package goes to each server before it:
# once H1 trusts only the lab's key, the signed package installs there and
# one without or with a bad signature is refused with the server's text.
set -eu
. "$VORN_SRC/tests/netlab/netlab.sh"
. "$VORN_SRC/tests/e2e/posix/console/lab.sh"

# H3's installations fail: its transfer directory is a file.
rmdir "$NETLAB_WORK/H3.transfer"
touch "$NETLAB_WORK/H3.transfer"
mkdir "$NETLAB_WORK/pkg"
printf '#!/bin/sh\npwd > ran.txt\nexit 0\n' >"$NETLAB_WORK/pkg/setup.sh"
head -c 200000 /dev/urandom >>"$NETLAB_WORK/pkg/setup.sh"

console_start --max-upload 1
netlab_exec T /usr/bin/python3 "$VORN_SRC/tests/e2e/posix/console/api_check.py" \
  "$console_url" "$token" "$NETLAB_WORK" first || netlab_fail "API check: see above"
for n in 1 2; do
  cmp -s "$NETLAB_WORK/pkg/setup.sh" "$NETLAB_WORK/H$n.transfer/setup.sh" || netlab_fail "H$n: data differs"
  [ -f "$NETLAB_WORK/H$n.transfer/ran.txt" ] || netlab_fail "H$n: did not run"
done
[ -z "$(ls -A "$NETLAB_WORK/console/store/incoming")" ] || netlab_fail "an upload was left in incoming"
ls "$NETLAB_WORK/console/store/packages" | grep -qv '^p[0-9a-f]\{16\}$' &&
  netlab_fail "a stored name the console did not make: $(ls "$NETLAB_WORK/console/store/packages")"

# The history and the packages survive a restart.
console_stop
console_start
netlab_exec T /usr/bin/python3 "$VORN_SRC/tests/e2e/posix/console/api_check.py" \
  "$console_url" "$token" "$NETLAB_WORK" restarted || netlab_fail "API check after restart"

openssl ecparam -name prime256v1 -genkey -noout -out "$NETLAB_WORK/lab.pem"
openssl ec -in "$NETLAB_WORK/lab.pem" -pubout -out "$NETLAB_WORK/lab.pub" 2>/dev/null
printf '#!/bin/sh\ntouch ran-signed.txt\n' >"$NETLAB_WORK/pkg/signed.sh"
"$VORN_BIN/tools/vornpkg/vornpkg" create --name signed --file signed.sh --type exe \
  "$NETLAB_WORK/pkg/signed.sh.mki" >/dev/null
cat "$NETLAB_WORK/pkg/signed.sh.mki" "$NETLAB_WORK/pkg/signed.sh" |
  openssl dgst -sha256 -sign "$NETLAB_WORK/lab.pem" -out "$NETLAB_WORK/pkg/signed.sh.sig"
netlab_stop H1
netlab_service H1 DEFAULT "$analyzer" '"SerialNumber"="100001"' \
  '[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\ServiceConfiguration\InstallServer]' \
  "\"TrustedPackageKeys\"=\"$NETLAB_WORK/lab.pub\""
netlab_exec T /usr/bin/python3 "$VORN_SRC/tests/e2e/posix/console/api_check.py" \
  "$console_url" "$token" "$NETLAB_WORK" signed || netlab_fail "API check of signed packages"
cmp -s "$NETLAB_WORK/pkg/signed.sh.sig" "$NETLAB_WORK/H1.transfer/signed.sh.sig" ||
  netlab_fail "the signature did not arrive on H1 byte-identical"
[ -f "$NETLAB_WORK/H1.transfer/ran-signed.txt" ] || netlab_fail "the signed package did not run on H1"
# The signatures are kept with their packages across a restart.
console_stop
console_start
netlab_exec T /usr/bin/python3 - "$console_url" "$token" <<'PY' || netlab_fail "signatures after a restart"
import json, sys, urllib.request
request = urllib.request.Request(sys.argv[1] + "/api/v1/packages",
                                 headers={"Authorization": "Bearer " + sys.argv[2]})
packages = json.load(urllib.request.urlopen(request, timeout=10))
signed = sorted((p["kind"], p["signed"]) for p in packages)
assert signed == [("description", True), ("description", True), ("program", False),
                  ("program", False)], signed
PY
console_stop

# Bound to loopback the console needs no token, but still its own name.
netlab_spawn T "$ctl" console --port 8081 --dir "$NETLAB_WORK/local" --no-discovery \
  >"$NETLAB_WORK/T.log" 2>&1
i=0
until grep -q '^vornctl console: http://127.0.0.1:8081/$' "$NETLAB_WORK/T.log"; do
  i=$((i + 1))
  [ $i -le 100 ] || netlab_fail "loopback console did not start: $(cat "$NETLAB_WORK/T.log")"
  sleep 0.1
done
netlab_exec T /usr/bin/python3 - <<'PY' || netlab_fail "loopback console"
import urllib.request, urllib.error
def status(url, headers={}):
    try:
        return urllib.request.urlopen(urllib.request.Request(url, headers=headers), timeout=10).status
    except urllib.error.HTTPError as e:
        return e.code
assert status("http://127.0.0.1:8081/api/v1/servers") == 200
assert status("http://127.0.0.1:8081/api/v1/servers", {"Host": "evil.example:8081"}) == 421
PY
echo ok
