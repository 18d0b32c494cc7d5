#!/bin/sh
# Fleet figures on a test network of many hosts (default 50; not run by ctest):
#   - vornctl rollout to every host at once (--parallel N) against the same
#     rollout one host at a time (--parallel 1);
#   - a server's scan of all the others with one silent host among them
#     (answers discovery, never identifies itself).
# Usage, from a build directory's parent or anywhere:
#   VORN_BIN=build/linux VORN_SRC=. scripts/run-isolated.sh bench/posix/netlab_fleet_bench.sh [HOSTS] [MB]
set -eu
: "${VORN_BIN:?build directory}" "${VORN_SRC:?source directory}"
VORN_BIN=$(cd "$VORN_BIN" && pwd)
VORN_SRC=$(cd "$VORN_SRC" && pwd)
. "$VORN_SRC/tests/netlab/netlab.sh"
netlab_init
count=${1:-50}
megabytes=${2:-2}
[ "$count" -ge 3 ] && [ "$count" -le 200 ] || { echo "HOSTS: 3 to 200" >&2; exit 2; }
ctl="$VORN_BIN/tools/vornctl/vornctl"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }

netlab_net lan
netlab_host T lan 198.51.100.250/24
n=1
while [ $n -le "$count" ]; do
  netlab_host "H$n" lan "198.51.100.$n/24"
  n=$((n + 1))
done
start=$(now)
n=1
while [ $n -le "$count" ]; do
  netlab_service "H$n" DEFAULT
  mkdir -p "$NETLAB_WORK/H$n.transfer"
  n=$((n + 1))
done
echo "network of $count hosts, services started in $(elapsed "$start" "$(now)") s"

mkdir "$NETLAB_WORK/pkg"
printf '#!/bin/sh\nexit 0\n' >"$NETLAB_WORK/pkg/setup.sh"
head -c $((megabytes * 1048576)) /dev/urandom >>"$NETLAB_WORK/pkg/setup.sh"
"$VORN_BIN/tools/vornpkg/vornpkg" create --name Setup --file setup.sh --type exe \
  "$NETLAB_WORK/pkg/setup.sh.mki" >/dev/null

rollout() { # parallel
  netlab_exec T "$ctl" rollout --parallel "$1" --json --device 1234.5678.02 \
    "$NETLAB_WORK/pkg/setup.sh.mki" "$NETLAB_WORK/pkg/setup.sh" >"$NETLAB_WORK/out" 2>/dev/null ||
    { echo "rollout --parallel $1 failed: $(cat "$NETLAB_WORK/out")" >&2; exit 1; }
  ok=$(grep -c '"ok": true' "$NETLAB_WORK/out")
  [ "$ok" -eq "$count" ] || { echo "rollout --parallel $1: $ok of $count" >&2; exit 1; }
}
start=$(now); rollout "$count"; parallel=$(elapsed "$start" "$(now)")
start=$(now); rollout 1; serial=$(elapsed "$start" "$(now)")
echo "rollout of $megabytes MiB to $count hosts: parallel ($count) ${parallel} s, one at a time ${serial} s, speed-up $(echo "scale=1; $serial / $parallel" | bc)x"

# One host turns silent: its service is replaced by a responder that never
# identifies. H1 scans; the others, the silent one among them, are found.
netlab_stop "H$((count / 2))"
netlab_spawn "H$((count / 2))" /usr/bin/python3 -u "$VORN_SRC/tests/netlab/silent_server.py" >/dev/null 2>&1
sleep 0.5
start=$(now)
netlab_exec T "$ctl" scan 198.51.100.1 --timeout 1000 >"$NETLAB_WORK/out" 2>&1 || true
scan=$(elapsed "$start" "$(now)")
found=$(wc -l <"$NETLAB_WORK/out")
echo "scan of $count hosts with one silent (discovery quiet time 1000 ms): ${scan} s, $found identified (expected $((count - 2)))"
