#!/bin/sh
# Runs in the plain build only: it checks no C++ beyond what other tests run.
# ansible-test sanity over the collection in contrib/ansible, every test,
# without network: ansible-test wants to fill a virtual environment per test
# from the package index; each one it asks for is made here instead over the
# system's Python with Debian's ansible-core, voluptuous, pycodestyle, pylint
# and yamllint (scripts/setup.sh), and the test is run again.
set -eu
: "${VORN_SRC:?source directory}"
command -v ansible-test >/dev/null || { echo "FAIL: ansible-test is not installed (scripts/setup.sh)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
python=/usr/bin/python3
version=$($python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
collection="$work/ansible_collections/vorn/instruments"
mkdir -p "$(dirname "$collection")"
cp -r "$VORN_SRC/contrib/ansible" "$collection"
rm -rf "$collection/tests/output"
export HOME="$work/home"
mkdir -p "$HOME"

# A stand-in for the environment ansible-test would make at $1.
make_env() {
  $python -m venv --system-site-packages --without-pip "$1"
  echo '[]' >"$1/meta.install.json"
  # whether PyYAML has its C loader, as ansible-test records it
  $python -c 'import yaml; print("true" if hasattr(yaml, "CLoader") else "false")' >"$1/meta.yaml.json"
  touch "$1/marker.txt"
}

cd "$collection"
# One test at a time, so that a new environment re-runs only its own test.
: >"$work/all.log"
for test in $(ansible-test sanity --list-tests 2>/dev/null); do
  tries=0
  while :; do
    status=0
    ansible-test sanity --test "$test" --python "$version" --python-interpreter "$python" \
      >"$work/sanity.log" 2>&1 || status=$?
    env=$(sed -n 's|.*Python [0-9.]* at "\(.*\)/bin/python" does not have pip available.*|\1|p' \
      "$work/sanity.log" | head -n 1)
    [ -n "$env" ] && [ $tries -lt 5 ] || break
    tries=$((tries + 1))
    make_env "$env"
  done
  cat "$work/sanity.log" >>"$work/all.log"
  if [ "$status" -ne 0 ] || grep -q 'Skipping sanity test' "$work/sanity.log"; then
    echo "FAIL: ansible-test sanity --test $test"
    cat "$work/sanity.log"
    exit 1
  fi
done
echo "ok: ansible-test sanity, $(grep -c '^Running sanity test' "$work/all.log") tests"
