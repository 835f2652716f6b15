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

stop_session() {
  if session_running; then
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    rm -f "$pidfile"
  fi
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

# Wine 8.0's driver host (winedevice.exe) can die when a request is
# cancelled just as the driver completes it: the server queues the
# cancellation, the driver completes the IRP first (which frees it), and
# the queued call (dispatch_cancel in dlls/ntoskrnl.exe/ntoskrnl.c) then
# runs IoCancelIrp on the freed IRP, which writes its Cancel flag. The
# library cancels only what a driver still holds a second into a stop, so
# only scenarios whose driver keeps requests can meet this. The sequence is
# legal, so this is a fault of the environment, not of the test; once the
# host is dead every later driver start in the session fails. A program
# that fails with the host's death in the session log, or with a driver
# that will not start, gets a new session and one more run, whose result
# is the test's. Each such rerun is recorded in environment-faults.log,
# which scripts/test.sh reports.
host_died_since() {
  local output=$1 mark=$2
  { tail -c +"$((mark + 1))" "$logs/wineboot-session.log" 2>/dev/null; cat "$output"; } |
    grep -q -E "Unhandled page fault|StartServiceW failed with error 6|ZwLoadDriver.*c0000024"
}

session_log_size() { stat -c %s "$logs/wineboot-session.log" 2>/dev/null || echo 0; }

run_once_more_after_host_death() {
  local output mark status
  output=$(mktemp)
  mark=$(session_log_size)
  wine "$@" 2>&1 | tee "$output"
  status=${PIPESTATUS[0]}
  if [ "$status" -ne 0 ] && host_died_since "$output" "$mark"; then
    echo "wine.sh: environment fault: the Wine driver host died; rerunning in a new session" >&2
    # The evidence: the failed run's output and the dead session's log.
    local kept
    kept=$logs/environment-fault-$(date -u +%Y%m%dT%H%M%S)-$$.log
    { cat "$output"; echo "--- session log"; tail -c +"$((mark + 1))" "$logs/wineboot-session.log"; } >"$kept"
    echo "$(date -u +%FT%TZ) $* (exit $status before the rerun; $kept)" >>"$logs/environment-faults.log"
    stop_session
    ensure_session || exit 2
    wine "$@"
    status=$?
  fi
  rm -f "$output"
  return "$status"
}

case "${1:-}" in
  --start)
    ensure_session
    ;;
  --stop)
    stop_session
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
      *) run_once_more_after_host_death "$@" ;;
    esac
    ;;
esac
