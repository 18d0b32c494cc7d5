#!/bin/sh
# Runs a program of the Windows build under Wine, in a network namespace of
# its own, and exits with the program's exit status.
#
#   run-under-wine.sh PROGRAM.exe [ARGS...]   run the program with wine64
#   run-under-wine.sh COMMAND [ARGS...]       run a script or command inside the
#                                             prepared Wine environment (PATH has
#                                             wine64 and wineserver, WINEPREFIX set)
#
# Booting a Wine prefix takes seconds, so one prefix per build directory
# (<build>/wineprefix) is booted once, under a lock, and kept. Each run works on
# a clone of it (hard links for the read-only bulk, copies of the registry
# files) with a wineserver of its own: Wine creates sockets inside the
# wineserver, so a server shared between runs would bind ports in another
# run's network namespace, and registry changes of one test would leak into
# the next.
#
# When WINEPREFIX is already set (a script started by this one calling it
# again), that prefix is used as it is. A wineserver is started for the run
# and ended afterwards only when none was running for the prefix.
#
# Environment: VORN_BIN (build directory; otherwise found above PROGRAM),
# WINEDEBUG (default -all), VORN_WINE_PERSIST (seconds the wineserver waits
# after the last program ended, default 300).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${VORN_ISOLATED:-}" ]; then
  exec "$here/run-isolated.sh" "$0" "$@"
fi
if [ $# -eq 0 ]; then
  echo "usage: $0 PROGRAM.exe|COMMAND [ARGS...]" >&2
  exit 2
fi

wine_dir=/usr/lib/wine
export PATH="$wine_dir:$PATH"
export WINEDEBUG="${WINEDEBUG:--all}"

find_build_dir() {
  if [ -n "${VORN_BIN:-}" ]; then
    echo "$VORN_BIN"
    return
  fi
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ]; do
    if [ -f "$dir/CMakeCache.txt" ]; then
      echo "$dir"
      return
    fi
    dir=$(dirname "$dir")
  done
  cd "$(dirname "$1")" && pwd
}

# Boots <build>/wineprefix once; concurrent runs wait on the lock.
prepare_template() {
  template=$1
  exec 9>"$template.lock"
  flock 9
  if [ ! -f "$template/.vorn-ready" ]; then
    rm -rf "$template"
    # Without .NET and the HTML engine the boot does not try to install them.
    WINEPREFIX="$template" WINEDLLOVERRIDES="mscoree,mshtml=" wine64 wineboot -i \
      >/dev/null 2>&1 || true
    # The registry reaches the disk when the booting wineserver exits.
    WINEPREFIX="$template" wineserver -w
    if [ ! -f "$template/system.reg" ]; then
      echo "run-under-wine: cannot initialise the Wine prefix $template" >&2
      exit 1
    fi
    touch "$template/.vorn-ready"
  fi
  flock -u 9
  exec 9>&-
}

clone_prefix() {
  template=$1
  clone=$2
  mkdir -p "$clone"
  cp -al "$template/drive_c" "$clone/"
  cp -a "$template/dosdevices" "$template/.update-timestamp" "$clone/"
  cp "$template"/*.reg "$clone/"
}

run_dir=
started_server=0
cleanup() {
  if [ "$started_server" = 1 ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  if [ -n "$run_dir" ]; then
    rm -rf "$run_dir"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "${WINEPREFIX:-}" ]; then
  build_dir=$(find_build_dir "$1")
  prepare_template "$build_dir/wineprefix"
  mkdir -p "$build_dir/wineruns"
  run_dir=$(mktemp -d "$build_dir/wineruns/run.XXXXXX")
  clone_prefix "$build_dir/wineprefix" "$run_dir/prefix"
  export WINEPREFIX="$run_dir/prefix"
fi

# Persistent, so that the service manager and services outlive the command
# that started them, but only for a while: a run killed before its clean-up
# does not leave a server behind for good. Exit status 2: one is running.
if wineserver -p"${VORN_WINE_PERSIST:-300}"; then
  started_server=1
fi

status=0
case "$1" in
  *.exe | *.EXE) wine64 "$@" || status=$? ;;
  *) "$@" || status=$? ;;
esac
exit "$status"
