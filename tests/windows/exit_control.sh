#!/usr/bin/env bash
# Runs the control program exit_control.exe (seven threads holding receives
# at the reference driver as main returns; no QUORVEL.DLL in the process)
# RUNS times under 32-bit Wine and counts how each run ended: clean, hung
# (still running LIMIT seconds after it started) or crashed (any other exit
# status, or Wine's report of an unhandled exception). A hung run's threads
# are shown by gdb, when it is installed, in
# build/win32/wine-logs/exit-control-<run>.log, and then killed.
#
#   bash tests/windows/exit_control.sh [RUNS [LIMIT [PROGRAM]]]   (40, 20 s)
#
# PROGRAM (a Unix path) runs instead of the control program, to compare a
# host's exit with it the same way; its exit statuses 10 to 12 must mean,
# as the control program's do, that it failed before its exit.
# Builds what it needs in build/win32 (the win32 preset). Run no Windows
# suite of that build at the same time: both load the driver under one
# service name. Exits with 0 when every run was clean, 1 when some hung or
# crashed, 2 when the set-up failed.
set -uo pipefail
cd "$(dirname "$0")/../.."
runs=${1:-40}
limit=${2:-20}
build=build/win32
program=${3:-$build/tests/windows/exit_control.exe}
logs=$build/wine-logs
{ cmake --preset win32 && cmake --build $build --target exit_control qrvctl qrvdrv; } >/dev/null ||
  exit 2
bash tests/windows/wine.sh $build --start || exit 2
export WINEARCH=win32 WINEPREFIX=$PWD/$build/wineprefix WINEDEBUG=-all
qrvctl() { wine $build/tools/qrvctl/qrvctl.exe "$@" >>"$logs/exit-control-driver.log" 2>&1; }
stop() {
  qrvctl stop
  qrvctl remove
  bash tests/windows/wine.sh $build --stop
}
trap stop EXIT
: >"$logs/exit-control-driver.log"
qrvctl install "$(winepath -w $build/sim/kernel/qrvdrv.sys)" && qrvctl start || {
  echo "exit_control: cannot load the driver; see $logs/exit-control-driver.log" >&2
  exit 2
}

clean=0 hung=0 crashed=0
for run in $(seq "$runs"); do
  log=$logs/exit-control-$run.log
  wine "$program" >"$log" 2>&1 &
  pid=$!  # wine execs the loader: this is the Windows process itself
  if ! timeout "$limit" tail --pid="$pid" -f /dev/null; then
    hung=$((hung + 1))
    echo "run $run: hung (still running after $limit s)"
    if command -v gdb >/dev/null; then
      gdb -p "$pid" -batch -ex 'thread apply all bt' >>"$log" 2>&1
    fi
    kill -KILL "$pid"
    wait "$pid"
    continue
  fi
  wait "$pid"
  status=$?
  if [ "$status" -ge 10 ] && [ "$status" -le 12 ]; then
    echo "exit_control: run $run could not set up: $(cat "$log")" >&2
    exit 2
  fi
  if [ "$status" -ne 0 ] || grep -q 'Unhandled' "$log"; then
    crashed=$((crashed + 1))
    echo "run $run: crashed (exit status $status; see $log)"
  else
    clean=$((clean + 1))
    rm -f "$log"
  fi
done
echo "exit_control: $(basename "$program"), $runs runs: $clean clean, $hung hung, $crashed crashed"
[ "$clean" -eq "$runs" ]
