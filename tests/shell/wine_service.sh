# Sourced by the Windows end-to-end scripts once they run inside the prefix
# of scripts/run-under-wine.sh. Each script defines its own fail().

# wine_service_init [LOG NAME]: $work is the run's directory, $log the
# service log there, and the build's vornsvc.exe is C:\vornsvc.exe. The service manager is started by the first command
# that needs it and the service by the manager; both inherit the debug
# channel and standard error, so the service's debugger output ends up in
# the log.
wine_service_init() {
  work="$WINEPREFIX/.."
  log="$work/${1:-service.log}"
  : >"$log"
  export WINEDEBUG=+debugstr
  cp "$VORN_BIN/vornsvc.exe" "$WINEPREFIX/drive_c/vornsvc.exe"
}

# A Wine program with its standard error in the log.
wine_quiet() {
  wine64 "$@" 2>>"$log" </dev/null
}

# wine_service_start: C:\vornsvc.exe registered with the service
# manager as MkVornService and started.
wine_service_start() {
  wine_quiet sc create MkVornService binPath= 'C:\vornsvc.exe' >/dev/null || fail "sc create"
  wine_quiet net start MkVornService >/dev/null || fail "net start"
}
