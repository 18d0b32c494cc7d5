#!/bin/sh
# Runs in the plain build only: it checks no C++ beyond what other tests run.
# A server on the lab network that reports Jinja expressions as its identity,
# model, device version, VORN id, host name and service version: the
# inventory (with keyed_groups on the device version, as documented) and a
# playbook that prints those texts as inventory variables, facts and a
# registered result show them as they are, and none of the expressions runs
# on the controller (each would create a marker file).
set -eu
. "$VORN_SRC/tests/netlab/netlab.sh"
netlab_init
command -v ansible-playbook >/dev/null || netlab_fail "ansible-core is not installed (scripts/setup.sh)"
work=$NETLAB_WORK
markers="$work/markers"
mkdir -p "$markers"

netlab_net lan
netlab_host ctl lan 198.51.100.1/24
netlab_host H lan 198.51.100.2/24
netlab_spawn H /usr/bin/python3 -u "$VORN_SRC/tests/e2e/posix/ansible/template_server.py" "$markers" \
  >"$work/H.log" 2>&1
i=0
until grep -q listening "$work/H.log"; do
  i=$((i + 1)); [ $i -le 100 ] || netlab_fail "the hostile server did not start: $(cat "$work/H.log")"; sleep 0.05
done

export HOME="$work/home" ANSIBLE_LOCAL_TEMP="$work/home/tmp" ANSIBLE_REMOTE_TEMP="$work/home/tmp"
export ANSIBLE_COLLECTIONS_PATH="$work/collections" ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0
export ANSIBLE_INVENTORY_UNPARSED_WARNING=False ANSIBLE_DEPRECATION_WARNINGS=False
export PATH="$VORN_BIN/tools/vornctl:$PATH"
mkdir -p "$HOME/tmp" "$work/collections"
ansible-galaxy collection build "$VORN_SRC/contrib/ansible" --output-path "$work" >"$work/galaxy.out" 2>&1 ||
  netlab_fail "collection build: $(cat "$work/galaxy.out")"
ansible-galaxy collection install "$work"/vorn-instruments-*.tar.gz -p "$work/collections" \
  >"$work/galaxy.out" 2>&1 || netlab_fail "collection install: $(cat "$work/galaxy.out")"

play="$work/play"
mkdir -p "$play"
cat >"$play/lab.vorn.yml" <<'YML'
plugin: vorn.instruments.vorn
timeout: 800
keyed_groups:
  - key: vorn_device_version
    prefix: version
  - key: vorn_host_name
    prefix: host
YML
cp "$VORN_SRC/tests/e2e/posix/ansible/hostile.yml" "$play/"
on_ctl() { (cd "$play" && netlab_exec ctl env "HOME=$HOME" "PATH=$PATH" "$@"); }
no_markers() { # after what
  [ -z "$(ls -A "$markers")" ] || netlab_fail "$1 ran the server's expressions: $(ls "$markers")"
}

on_ctl ansible-inventory -i lab.vorn.yml --graph >"$work/graph" 2>&1 ||
  netlab_fail "ansible-inventory --graph: $(cat "$work/graph")"
no_markers "ansible-inventory --graph"
grep -q '198\.51\.100\.2' "$work/graph" || netlab_fail "the server is not in the inventory: $(cat "$work/graph")"

on_ctl ansible-inventory -i lab.vorn.yml --list >"$work/list" 2>"$work/list.err" ||
  netlab_fail "ansible-inventory --list: $(cat "$work/list.err")"
no_markers "ansible-inventory --list"
/usr/bin/python3 - "$work/list" "$markers" <<'PY' || netlab_fail "the reported texts: $(cat "$work/list")"
import json, sys
v = json.load(open(sys.argv[1]))["_meta"]["hostvars"]["198.51.100.2"]
expression = "{{ lookup(*'pipe;touch %s/%%s'.split(';')) }}" % sys.argv[2]
for variable, field in (("vorn_host_name", "host_name"), ("vorn_device_version", "device_version"),
                        ("vorn_model", "model"), ("vorn_id", "vorn_id"),
                        ("vorn_identity", "identity"), ("vorn_server_version", "server_version")):
    value = v[variable]
    # ansible-inventory shows a value marked unsafe as {"__ansible_unsafe": text}.
    if isinstance(value, dict):
        value = value["__ansible_unsafe"]
    assert value == expression % field, (variable, v[variable])
PY

on_ctl ansible-playbook -i lab.vorn.yml hostile.yml >"$work/play.out" 2>&1 ||
  netlab_fail "ansible-playbook: $(cat "$work/play.out")"
no_markers "the playbook"
[ "$(grep -c "reported: {{ lookup" "$work/play.out")" -eq 2 ] ||
  netlab_fail "the playbook did not print the texts: $(cat "$work/play.out")"
echo "ok: what a hostile server reports stays text in the inventory, facts and results"
