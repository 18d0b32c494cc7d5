# netlab: a network of test computers built from network namespaces.
#
# Source this file from a shell test (dash or bash) that ctest runs through
# scripts/run-isolated.sh, as tests/e2e/*.sh are; VORN_BIN and VORN_SRC must
# be set. Every computer ("host") is a namespace of its own; every network is
# a bridge inside a namespace of its own, and hosts join it with veth pairs
# that are made directly between the two namespaces. Nothing is created in
# the namespace the test runs in, and there is no default route anywhere.
# Use addresses of 198.51.100.0/24 and 203.0.113.0/24 only.
#
#   netlab_init                      work directory ($NETLAB_WORK) and the exit
#                                    trap; call first, do not set an EXIT trap
#                                    of your own (set NETLAB_ON_EXIT instead)
#   netlab_net NET                   a network (a bridge in its own namespace)
#   netlab_host HOST NET ADDR/LEN [NET ADDR/LEN]...
#                                    a computer with one leg per network
#                                    (two legs: it joins two subnets, and
#                                    forwards nothing between them)
#   netlab_service HOST GROUP [REGLINE]...
#                                    starts vornsvc on HOST with its own
#                                    registry ($NETLAB_WORK/HOST.reg: the
#                                    default one with DeviceGroup GROUP, the
#                                    transfer directory $NETLAB_WORK/HOST.transfer,
#                                    a harmless reboot command, then the
#                                    REGLINEs: value lines go to the Trellane
#                                    key, a "[...]" line opens another key);
#                                    waits for "Server is listening"; log in
#                                    $NETLAB_WORK/HOST.log
#   netlab_stop HOST                 stops that service (and waits for it)
#   netlab_exec HOST CMD [ARG]...    runs CMD on HOST in the foreground
#   netlab_spawn HOST CMD [ARG]...   runs CMD on HOST in the background until
#                                    the end of the test
#   netlab_fail MESSAGE              prints MESSAGE and every host's log, exit 1
#
# Everything (processes, namespaces, files) is removed on every exit of the
# test, also when it fails or is interrupted.

NETLAB_TAG="nl$$"
NETLAB_WORK=
NETLAB_PIDS=
NETLAB_NAMESPACES=
NETLAB_LEGS=0
NETLAB_ON_EXIT=

netlab_teardown() {
  local p n ns
  set +e
  [ -z "$NETLAB_ON_EXIT" ] || eval "$NETLAB_ON_EXIT"
  for p in $NETLAB_PIDS; do kill "$p" 2>/dev/null; done
  # Services stop within a few seconds; anything still there is killed.
  n=0
  for p in $NETLAB_PIDS; do
    while kill -0 "$p" 2>/dev/null && [ $n -lt 50 ]; do n=$((n + 1)); sleep 0.1; done
    kill -9 "$p" 2>/dev/null
    wait "$p" 2>/dev/null
  done
  for ns in $NETLAB_NAMESPACES; do ip netns del "$ns" 2>/dev/null; done
  [ -z "$NETLAB_WORK" ] || rm -rf "$NETLAB_WORK"
}

netlab_init() {
  : "${VORN_BIN:?build directory}" "${VORN_SRC:?source directory}"
  NETLAB_WORK=$(mktemp -d)
  trap netlab_teardown EXIT
  trap 'exit 130' INT TERM
}

netlab_fail() {
  echo "FAIL: $*" >&2
  for log in "$NETLAB_WORK"/*.log; do
    [ -f "$log" ] || continue
    echo "--- $log" >&2
    tail -n 60 "$log" >&2
  done
  exit 1
}

netlab_ns() { echo "$NETLAB_TAG-$1"; }

netlab_net() {
  local ns
  ns=$(netlab_ns "net-$1")
  ip netns add "$ns" || netlab_fail "cannot create namespace $ns"
  NETLAB_NAMESPACES="$NETLAB_NAMESPACES $ns"
  ip -n "$ns" link set lo up
  ip -n "$ns" link add br0 type bridge
  ip -n "$ns" link set br0 up
}

netlab_host() {
  local host ns leg bridge_ns port
  host=$1
  shift
  ns=$(netlab_ns "$host")
  ip netns add "$ns" || netlab_fail "cannot create namespace $ns"
  NETLAB_NAMESPACES="$NETLAB_NAMESPACES $ns"
  ip -n "$ns" link set lo up
  leg=0
  while [ $# -ge 2 ]; do
    bridge_ns=$(netlab_ns "net-$1")
    NETLAB_LEGS=$((NETLAB_LEGS + 1))
    port="p$NETLAB_LEGS"
    ip -n "$bridge_ns" link add "$port" type veth peer name "eth$leg" netns "$ns" ||
      netlab_fail "cannot join $host to $1"
    ip -n "$bridge_ns" link set "$port" master br0
    ip -n "$bridge_ns" link set "$port" up
    ip -n "$ns" addr add "$2" dev "eth$leg"
    ip -n "$ns" link set "eth$leg" up
    leg=$((leg + 1))
    shift 2
  done
}

netlab_exec() {
  local ns
  ns=$(netlab_ns "$1")
  shift
  ip netns exec "$ns" "$@"
}

netlab_spawn() {
  local ns
  ns=$(netlab_ns "$1")
  shift
  ip netns exec "$ns" "$@" &
  NETLAB_PIDS="$NETLAB_PIDS $!"
}

netlab_service() {
  local host group reg log ns pid i line
  host=$1
  group=$2
  shift 2
  reg="$NETLAB_WORK/$host.reg"
  sed "s/\"DeviceGroup\"=\"DEFAULT\"/\"DeviceGroup\"=\"$group\"/" \
    "$VORN_SRC/config/default-registry.reg" >"$reg"
  {
    echo
    echo '[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane]'
    echo "\"SoftwareInstallationPath\"=\"$NETLAB_WORK/$host.transfer\""
    echo "\"RebootCommand\"=\"touch $NETLAB_WORK/$host.rebooted\""
    for line in "$@"; do echo "$line"; done
  } >>"$reg"
  log="$NETLAB_WORK/$host.log"
  : >"$log"
  ns=$(netlab_ns "$host")
  ip netns exec "$ns" "$VORN_BIN/vornsvc" --registry "$reg" 2>"$log" &
  pid=$!
  NETLAB_PIDS="$NETLAB_PIDS $pid"
  echo "$pid" >"$NETLAB_WORK/$host.pid"
  i=0
  until grep -q '^VORN: Server is listening for DeviceGroup: ' "$log"; do
    kill -0 "$pid" 2>/dev/null || netlab_fail "service on $host ended at start"
    i=$((i + 1))
    [ $i -le 200 ] || netlab_fail "service on $host did not start"
    sleep 0.05
  done
}

netlab_stop() {
  local pid
  pid=$(cat "$NETLAB_WORK/$1.pid")
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# netlab_vorn_id HOST: the VORN id of HOST's service, bare, as --to takes it.
netlab_vorn_id() {
  local out
  out="$NETLAB_WORK/vorn-id.json"
  netlab_exec "$1" "$VORN_BIN/tools/vornctl/vornctl" identify 127.0.0.1 --json >"$out" ||
    netlab_fail "identify on $1"
  /usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["vornId"])' "$out"
}

# netlab_scan HOST ID: HOST's service scans its networks and must find the
# server ID, which it may relay to from then on. Exits 77 (skip) in a build
# without the scan.
netlab_scan() {
  local out
  out="$NETLAB_WORK/scan.out"
  netlab_exec "$1" "$VORN_BIN/tools/vornctl/vornctl" send 127.0.0.1 --device __TRL_Tool__ \
    "DIAG:VORN:SCAN? 1000,ALL,0,'__TRL_Tool__'" >"$out" 2>&1 || true
  if ! grep -qF "$2" "$out"; then
    if grep -qF "invalid command 'DIAG:VORN:SCAN?'" "$NETLAB_WORK/$1.log"; then
      echo "SKIP: this build has no server scan to fill the table of known servers"
      exit 77
    fi
    netlab_fail "the scan on $1 did not find $2: $(cat "$out")"
  fi
}
