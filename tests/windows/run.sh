#!/bin/sh
# Runs the Windows test programs of a win32 build under 32-bit Wine.
#
#   tests/windows/run.sh <win32-build-dir> [program...]
#
# Programs default to those listed in <build>/tests/windows/windows_tests.txt.
# Each runs in its own wine process under `timeout` (QRV_TEST_TIMEOUT
# seconds, default 120) and loads and unloads the reference driver itself.
# The Wine prefix lives in <build>/wineprefix and is created on first use.
# Output of each program goes to <build>/tests/windows/logs/<program>.out and
# .err. The last line is "N passed, M failed"; the exit status is non-zero
# when any program failed.
#
# Wine's stderr is never piped: services.exe and winedevice.exe inherit it
# and keep a pipe open long after the program has ended.
set -u

if [ $# -lt 1 ]; then
  echo "usage: $0 <win32-build-dir> [program...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
shift
bin=$build/tests/windows
logs=$bin/logs
mkdir -p "$logs"

export WINEARCH=win32
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: the tests need neither, and installing them is slow.
export WINEDLLOVERRIDES="mscoree,mshtml="
timeout_s=${QRV_TEST_TIMEOUT:-120}

now_ms() { date +%s%3N; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  start=$(now_ms)
  # wineboot returns while the new prefix's services still hold the service
  # database locked (StartService then fails with 1055 or 1053); waiting for
  # that wineserver to finish lets the prefix settle.
  if ! timeout 300 sh -c 'wineboot -i && wineserver -w' \
      >"$logs/wineboot.out" 2>"$logs/wineboot.err"; then
    echo "wineboot failed; see $logs/wineboot.err" >&2
    exit 2
  fi
  echo "created Wine prefix $WINEPREFIX in $(( $(now_ms) - start )) ms"
fi

# One wineserver for the whole run, ended on every way out. Its session
# (services.exe, winedevice.exe, ...) is started here rather than by the
# first test program: a program killed while that start is under way leaves
# the next one waiting for it forever.
wineserver -p >"$logs/wineserver.out" 2>&1
trap 'wineserver -k 2>/dev/null' EXIT
trap 'exit 130' INT TERM
start=$(now_ms)
if ! timeout 120 wineboot >"$logs/wineboot-session.out" 2>"$logs/wineboot-session.err"; then
  echo "wineboot failed; see $logs/wineboot-session.err" >&2
  exit 2
fi
echo "started the Wine session in $(( $(now_ms) - start )) ms"

if [ $# -eq 0 ]; then
  set -- $(cat "$bin/windows_tests.txt")
fi

passed=0
failed=0
for name in "$@"; do
  exe=$bin/$name.exe
  start=$(now_ms)
  if [ ! -f "$exe" ]; then
    rc=127
    echo "missing $exe" >"$logs/$name.err"
  else
    timeout "$timeout_s" wine "$exe" >"$logs/$name.out" 2>"$logs/$name.err"
    rc=$?
  fi
  ms=$(( $(now_ms) - start ))
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    echo "PASS $name ($ms ms)"
  else
    failed=$((failed + 1))
    [ $rc -eq 124 ] && why="timed out after ${timeout_s} s" || why="exit status $rc"
    echo "FAIL $name ($why, $ms ms); last output:"
    tail -n 30 "$logs/$name.out" | sed 's/^/    /'
    tail -n 10 "$logs/$name.err" | sed 's/^/    err: /'
  fi
done

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
