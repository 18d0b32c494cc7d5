# Sourced by the end-to-end scripts that run vornsvc on Linux. Each script
# defines its own fail().

# service_launch REGISTRY LOG [COMMAND...]: vornsvc with the registry file in
# the background (behind COMMAND, e.g. "ip netns exec NS"), its log in LOG.
# $service_pid is its process id.
service_launch() {
  local registry log
  registry=$1
  log=$2
  shift 2
  : >"$log"
  "$@" "$VORN_BIN/vornsvc" --registry "$registry" 2>"$log" &
  service_pid=$!
}

# service_start REGISTRY LOG [COMMAND...]: launched, and listening.
service_start() {
  service_launch "$@"
  service_wait_listening "$2" "$service_pid"
}

# service_wait_listening LOG [PID]: until the service of LOG listens; a
# service that ends first, or takes more than 10 s, fails the test.
service_wait_listening() {
  local i
  i=0
  until grep -q '^VORN: Server is listening for DeviceGroup: ' "$1"; do
    if [ -n "${2:-}" ] && ! kill -0 "$2" 2>/dev/null; then
      fail "the service ended at start: $(tail -n 5 "$1")"
    fi
    i=$((i + 1))
    [ $i -le 200 ] || fail "the service did not start within 10 s"
    sleep 0.05
  done
}
