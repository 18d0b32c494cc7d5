#!/bin/sh
# Runs in the plain build only: it checks no C++ beyond what other tests run.
# The console's page in a real browser (headless chromium) against three
# servers: the servers and their serial numbers are listed, a package is
# uploaded (description, data file and signature) and installed with live progress bars to 100% and "succeeded",
# the server whose installation fails shows its text, and a device name
# with markup is shown as text. The signature goes to each server beside
# the package. Screenshots of each step go to
# $VORN_BIN/console-screenshots.
set -eu
[ -x /usr/bin/chromedriver ] && /usr/bin/python3 -c 'import selenium' 2>/dev/null || {
  echo "chromium-driver or python3-selenium missing: skipped"
  exit 77
}
. "$VORN_SRC/tests/netlab/netlab.sh"
. "$VORN_SRC/tests/e2e/posix/console/lab.sh"

rmdir "$NETLAB_WORK/H3.transfer"
touch "$NETLAB_WORK/H3.transfer"
mkdir "$NETLAB_WORK/pkg"
printf '#!/bin/sh\npwd > ran.txt\nexit 0\n' >"$NETLAB_WORK/pkg/setup.sh"
head -c 2000000 /dev/urandom >>"$NETLAB_WORK/pkg/setup.sh"
"$VORN_BIN/tools/vornpkg/vornpkg" create --name setup.sh --file setup.sh --type exe \
  "$NETLAB_WORK/pkg/setup.sh.mki" >/dev/null
# These servers check no signatures: any bytes show that it travels.
head -c 70 /dev/urandom >"$NETLAB_WORK/pkg/setup.sh.sig"

console_start
shots="$VORN_BIN/console-screenshots"
rm -rf "$shots"
# chromium wants a home of its own.
HOME="$NETLAB_WORK/home" netlab_exec T /usr/bin/python3 \
  "$VORN_SRC/tests/e2e/posix/console/browser_check.py" "$console_url" "$token" "$NETLAB_WORK" \
  "$shots" || netlab_fail "browser check: see above"
for n in 1 2; do
  [ -f "$NETLAB_WORK/H$n.transfer/ran.txt" ] || netlab_fail "H$n: did not run"
  cmp -s "$NETLAB_WORK/pkg/setup.sh.sig" "$NETLAB_WORK/H$n.transfer/setup.sh.sig" ||
    netlab_fail "H$n: the signature did not arrive"
done
echo ok
