#!/bin/sh
# vornctl, the relay and the scan of a real vornsvc, discovery and the
# Ansible collection's client against a table of scripted servers that
# misbehave (hostile_servers.py holds the table; its relay, scan and
# discovery rows build a namespace of their own inside the test's).
set -eu
: "${VORN_BIN:?build directory}" "${VORN_SRC:?source directory}"
command -v python3 >/dev/null || exit 77
exec python3 "$VORN_SRC/tests/e2e/posix/hostile_servers.py" "$@"
