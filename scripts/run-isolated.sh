#!/bin/sh
# Runs a command in a private network namespace with only loopback up, so a
# test can bind the service's fixed ports and broadcast without touching the
# host's real interfaces. Already inside one (VORN_ISOLATED set): run as is.
set -e
if [ -n "${VORN_ISOLATED:-}" ]; then
  exec "$@"
fi
export VORN_ISOLATED=1
exec unshare --net --mount --propagation private sh -c 'ip link set lo up && exec "$@"' isolated "$@"
