#!/bin/sh
# Runs in the plain build only: it checks no C++ beyond what other tests run.
# Fleet deployment with Ansible: the collection in contrib/ansible is built
# and installed with ansible-galaxy; on one subnet of test computers its
# inventory plugin finds four servers (groups DEFAULT and LAB2, one computer
# without the sample device), a playbook installs a versioned program and a
# data file on all of them, a second run changes only what the module cannot
# tell is already there, the computer without the device fails alone, check
# mode sends nothing, the task time-out stops a hanging installation, facts
# are read and a restart requested (not in check mode), and installer
# results that ask for a restart (3010, 1641) are no failure.
set -eu
. "$VORN_SRC/tests/netlab/netlab.sh"
netlab_init
command -v ansible-playbook >/dev/null || netlab_fail "ansible-core is not installed (scripts/setup.sh)"
work=$NETLAB_WORK
vornpkg="$VORN_BIN/tools/vornpkg/vornpkg"

netlab_net lan
netlab_host ctl lan 198.51.100.1/24
sample='[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\SampleAnalyzer]'
netlab_host A lan 198.51.100.11/24
netlab_service A DEFAULT "$sample" '"SerialNumber"="100011"'
netlab_host B lan 198.51.100.12/24
netlab_service B DEFAULT "$sample" '"SerialNumber"="100012"'
# C has another instrument than the one the playbook installs on.
netlab_host C lan 198.51.100.13/24
netlab_service C DEFAULT "$sample" '"SerialNumber"="100013"' '"MaterialNumber"="1234.5678.07"'
netlab_host D lan 198.51.100.14/24
netlab_service D LAB2 "$sample" '"SerialNumber"="100014"'

# The collection, built and installed as a user installs it.
export HOME="$work/home" ANSIBLE_LOCAL_TEMP="$work/home/tmp" ANSIBLE_REMOTE_TEMP="$work/home/tmp"
export ANSIBLE_COLLECTIONS_PATH="$work/collections" ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0
export ANSIBLE_INVENTORY_UNPARSED_WARNING=False ANSIBLE_DEPRECATION_WARNINGS=False
export PATH="$VORN_BIN/tools/vornctl:$VORN_BIN/tools/vornpkg:$PATH"
mkdir -p "$HOME/tmp" "$work/collections"
ansible-galaxy collection build "$VORN_SRC/contrib/ansible" --output-path "$work" >"$work/galaxy.out" 2>&1 ||
  netlab_fail "collection build: $(cat "$work/galaxy.out")"
ansible-galaxy collection install "$work"/vorn-instruments-*.tar.gz -p "$work/collections" \
  >"$work/galaxy.out" 2>&1 || netlab_fail "collection install: $(cat "$work/galaxy.out")"

play="$work/play"
mkdir -p "$play/files"
cat >"$play/fleet.vorn.yml" <<'YML'
plugin: vorn.instruments.vorn
device_groups: [DEFAULT, lab2]
timeout: 800
YML
cp "$VORN_SRC/tests/e2e/posix/ansible/"*.yml "$play/"

# The firmware program runs in the transfer directory and, as an instrument's
# installer does, sets the device's software version in its registry.
cat >"$play/files/firmware.sh" <<'SH'
#!/bin/sh
echo run >>firmware-ran.txt
sed -i 's/"SoftwareVersion"="1.20"/"SoftwareVersion"="2.0"/' "${PWD%.transfer}.reg"
SH
head -c 300000 /dev/urandom >"$play/files/calibration.dat"
printf '#!/bin/sh\ntouch tool-ran.txt\n' >"$play/files/tool.sh"
printf '#!/bin/sh\nsleep 8\n' >"$play/files/slow.sh"
(
  cd "$play/files"
  "$vornpkg" create --name Firmware --file firmware.sh --type exe firmware.sh.mki
  "$vornpkg" create --name Calibration --file calibration.dat --type none calibration.dat.mki
  "$vornpkg" create --name Tool --file tool.sh --type exe tool.sh.mki
  "$vornpkg" create --name Slow --file slow.sh --type exe slow.sh.mki
  head -c 40 firmware.sh.mki >broken.mki
) >/dev/null

on_ctl() { netlab_exec ctl env "HOME=$HOME" "PATH=$PATH" "$@"; }
# Results of a run as JSON through the test's own callback (ansible-core has
# no JSON output of its own).
export ANSIBLE_CALLBACK_PLUGINS="$VORN_SRC/tests/e2e/posix/ansible/callback_plugins"
export ANSIBLE_CALLBACKS_ENABLED=result_file
playbook() { # output file, arguments
  out=$1
  shift
  ( cd "$play" && RESULT_FILE="$out" on_ctl ansible-playbook -i fleet.vorn.yml "$@" ) \
    >"$out.err" 2>&1 || true
}
check() { # what, python over the json callback's output in $1 (variable "run")
  what=$1
  shift
  /usr/bin/python3 "$VORN_SRC/tests/e2e/posix/ansible/check_run.py" "$@" ||
    netlab_fail "$what: $(cat "$2.err")"
}

# The inventory: every server, its groups and its identity.
( cd "$play" && on_ctl ansible-inventory -i fleet.vorn.yml --list ) >"$work/inventory.json" \
  2>"$work/inventory.json.err" || netlab_fail "ansible-inventory: $(cat "$work/inventory.json.err")"
check "ansible-inventory" inventory "$work/inventory.json"

playbook "$work/run1.json" deploy.yml
check "first run" first "$work/run1.json"
for h in A B D; do
  cmp -s "$play/files/firmware.sh" "$work/$h.transfer/firmware.sh" || netlab_fail "firmware did not arrive on $h"
  cmp -s "$play/files/calibration.dat" "$work/$h.transfer/calibration.dat" || netlab_fail "calibration did not arrive on $h"
  [ "$(wc -l <"$work/$h.transfer/firmware-ran.txt")" -eq 1 ] || netlab_fail "firmware did not run once on $h"
done
[ ! -e "$work/C.transfer/firmware.sh" ] || netlab_fail "firmware arrived on C, which lacks the device"

playbook "$work/run2.json" deploy.yml
check "second run" second "$work/run2.json"
for h in A B D; do
  [ "$(wc -l <"$work/$h.transfer/firmware-ran.txt")" -eq 1 ] || netlab_fail "firmware ran again on $h"
done

playbook "$work/check.json" --check tool.yml
check "check mode" check "$work/check.json"
for h in A B C D; do
  [ ! -e "$work/$h.transfer/tool.sh" ] || netlab_fail "check mode sent the tool to $h"
done

playbook "$work/timeout.json" --limit 198.51.100.11 slow.yml
check "time-out" timeout "$work/timeout.json"

playbook "$work/facts.json" facts_reboot.yml
check "facts and restart" facts "$work/facts.json"
[ -e "$work/B.rebooted" ] || netlab_fail "B was not restarted"
[ ! -e "$work/A.rebooted" ] || netlab_fail "check mode restarted A"

cp "$VORN_SRC/tests/e2e/posix/ansible/fake-vornctl" "$play/"
playbook "$work/restart.json" restart.yml
check "installer results" restart "$work/restart.json"
echo "ok: inventory, installation on a fleet, second run, failure of one host, check mode, time-out, restart results"
