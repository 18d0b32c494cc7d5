# The console's test network: three servers (serial numbers 100001 to
# 100003; the third's device name holds markup), the console on its own
# host C at 198.51.100.100:8080 with a token, and the tester's host T.
# Source after netlab.sh; sets ctl, console_url, token.
ctl="$VORN_BIN/tools/vornctl/vornctl"
netlab_init
netlab_net lan
netlab_host C lan 198.51.100.100/24
netlab_host T lan 198.51.100.200/24
analyzer='[HKEY_LOCAL_MACHINE\SOFTWARE\Marrow&Keplin\Trellane\SampleAnalyzer]'
for n in 1 2 3; do
  netlab_host "H$n" lan "198.51.100.$n/24"
  mkdir -p "$NETLAB_WORK/H$n.transfer"
done
netlab_service H1 DEFAULT "$analyzer" '"SerialNumber"="100001"'
netlab_service H2 DEFAULT "$analyzer" '"SerialNumber"="100002"'
netlab_service H3 DEFAULT "$analyzer" '"SerialNumber"="100003"' \
  '"DeviceName"="<img src=x id=injected><script>window.injected=1</script>"'

token=0123456789abcdef0123456789abcdef
printf '%s\n' "$token" >"$NETLAB_WORK/token"
console_url=http://198.51.100.100:8080

# console_start [OPTION]...: the console on C, waiting for its address line.
console_start() {
  : >"$NETLAB_WORK/C.log"
  netlab_spawn C "$ctl" console --listen 198.51.100.100 --port 8080 \
    --token-file "$NETLAB_WORK/token" --dir "$NETLAB_WORK/console" --discovery-timeout 500 \
    --refresh 5 "$@" >"$NETLAB_WORK/C.log" 2>&1
  console_pid=$!
  i=0
  until grep -q '^vornctl console: http://198.51.100.100:8080/?token=' "$NETLAB_WORK/C.log"; do
    kill -0 "$console_pid" 2>/dev/null || netlab_fail "console ended at start"
    i=$((i + 1))
    [ $i -le 100 ] || netlab_fail "console did not start"
    sleep 0.1
  done
}

console_stop() {
  kill "$console_pid" 2>/dev/null || true
  wait "$console_pid" 2>/dev/null || true
}
