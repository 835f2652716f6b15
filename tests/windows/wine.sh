#!/usr/bin/env bash
# CTest's emulator for the Windows test programs: runs one under 32-bit Wine
# in the build's own prefix, inside a Wine session that outlives it.
#
#   wine.sh <build-dir> --start      create the prefix if needed, start the session
#   wine.sh <build-dir> --stop       end the session
#   wine.sh <build-dir> <program.exe> [args...]
#
# The session (wineserver, services.exe, winedevice.exe) is started here
# with its output going to log files, never by a test program: a process of
# it would inherit the program's stdout and stderr, which CTest reads to
# their end, and keep them open long after the program has ended. A program
# run finds the session running, or starts it first. The server lingers
# 60 s after its last client, so a session nobody stops ends by itself.
set -u
build=$(cd "$1" && pwd) || exit 2
shift
export WINEARCH=win32
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: the tests need neither, and installing them is slow.
export WINEDLLOVERRIDES="mscoree,mshtml="
logs=$build/wine-logs
pidfile=$build/wineserver.pid
mkdir -p "$logs"

session_running() {
  [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null
}

start_session() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix $WINEPREFIX (about 15 s)" >&2
    # wineboot returns while the new prefix's services still hold the
    # service database locked (StartService then fails with 1055 or 1053);
    # waiting for that wineserver to finish lets the prefix settle.
    timeout 300 sh -c 'wineboot -i && wineserver -w' >"$logs/wineboot-init.log" 2>&1 || {
      echo "wineboot -i failed; see $logs/wineboot-init.log" >&2
      return 1
    }
  fi
  setsid wineserver -f -p60 </dev/null >"$logs/wineserver.log" 2>&1 &
  echo $! >"$pidfile"
  timeout 120 wineboot </dev/null >"$logs/wineboot-session.log" 2>&1 || {
    echo "wineboot failed; see $logs/wineboot-session.log" >&2
    return 1
  }
}

# One caller at a time decides whether to start the session.
ensure_session() {
  exec 9>"$build/wineprefix.lock"
  flock 9
  session_running || start_session
  local status=$?
  flock -u 9
  exec 9>&-
  return $status
}

case "${1:-}" in
  --start)
    ensure_session
    ;;
  --stop)
    if session_running; then
      wineserver -k 2>/dev/null
      rm -f "$pidfile"
    fi
    ;;
  "")
    echo "usage: $0 <build-dir> --start | --stop | <program.exe> [args...]" >&2
    exit 2
    ;;
  *)
    ensure_session || exit 2
    case " $* " in
      # CTest parses the list by lines; Windows ends them with CR LF.
      *" --gtest_list_tests "*)
        set -o pipefail
        wine "$@" 2>"$logs/list.err" | tr -d '\r'
        ;;
      *) exec wine "$@" ;;
    esac
    ;;
esac
