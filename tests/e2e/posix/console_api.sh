#!/bin/sh
# vornctl console's HTTP API against three real servers on a test network,
# asked from another host: the token is required on every request, changing
# requests must come from the console's own origin, uploads are bounded and
# stored under the console's names, an installation on three servers
# reports live progress (server-sent events) to success on two and the
# server's text on the one that fails, and the history survives a restart.
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
