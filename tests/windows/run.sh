#!/bin/sh
# Runs the Windows test programs of a win32 build under 32-bit Wine.
#
#   tests/windows/run.sh <win32-build-dir> [program[:Suite.Test]...]
#
# Programs default to those listed in <build>/tests/windows/windows_tests.txt,
# one per line, each followed by "per-test" when every test of it must run
# in a process of its own (the QUORVEL.DLL scenarios: the library's
# process-wide state must start fresh). Such a program is asked for its tests
# with --gtest_list_tests and then run once per test with --gtest_filter;
# "program:Suite.Test" on the command line runs that one test alone.
#
# Each run is one wine process under `timeout` (QRV_TEST_TIMEOUT seconds,
# default 120) and loads and unloads the reference driver itself. The Wine
# prefix lives in <build>/wineprefix and is created on first use. Output of
# each run goes to <build>/tests/windows/logs/<program>[.<Suite.Test>].out
# and .err. The last line is "N passed, M failed", counting runs; the exit
# status is non-zero when any run failed.
#
# Wine's stderr is never piped: services.exe and winedevice.exe inherit it
# and keep a pipe open long after the program has ended.
set -u

if [ $# -lt 1 ]; then
  echo "usage: $0 <win32-build-dir> [program[:Suite.Test]...]" >&2
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
suite_start=$(now_ms)

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

# The mode of a listed program: "per-test" or empty.
mode_of() {
  [ -f "$bin/windows_tests.txt" ] || return 0
  awk -v name="$1" '$1 == name { print $2 }' "$bin/windows_tests.txt"
}

# The tests of a program as Suite.Test, one per line. Through a file, as
# every wine output is.
list_tests() {
  timeout "$timeout_s" wine "$bin/$1.exe" --gtest_list_tests \
    >"$logs/$1.list.out" 2>"$logs/$1.list.err" || return 0
  tr -d '\r' <"$logs/$1.list.out" | awk '
    /^[^ ]/ { suite = $1; next }
    /^  [^ ]/ { print suite $1 }'
}

passed=0
failed=0
# Runs one program, or one test of it when $2 is set, and reports it.
run_one() {
  name=$1
  filter=${2:-}
  exe=$bin/$name.exe
  label=$name
  log=$logs/$name
  if [ -n "$filter" ]; then
    label="$name $filter"
    # Value-parameterised tests carry a "/" in their names.
    log="$logs/$name.$(printf '%s' "$filter" | tr / _)"
  fi
  start=$(now_ms)
  if [ ! -f "$exe" ]; then
    rc=127
    echo "missing $exe" >"$log.err"
    : >"$log.out"
  elif [ -n "$filter" ]; then
    timeout "$timeout_s" wine "$exe" --gtest_filter="$filter" >"$log.out" 2>"$log.err"
    rc=$?
  else
    timeout "$timeout_s" wine "$exe" >"$log.out" 2>"$log.err"
    rc=$?
  fi
  ms=$(( $(now_ms) - start ))
  # A filter that matches nothing passes without running anything.
  if [ $rc -eq 0 ] && [ -n "$filter" ] && ! grep -q '^\[  PASSED  \] 1 test' "$log.out"; then
    rc=125
  fi
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    echo "PASS $label ($ms ms)"
  else
    failed=$((failed + 1))
    case $rc in
      124) why="timed out after ${timeout_s} s" ;;
      125) why="the test did not run" ;;
      *) why="exit status $rc" ;;
    esac
    echo "FAIL $label ($why, $ms ms); last output:"
    tail -n 30 "$log.out" | sed 's/^/    /'
    tail -n 10 "$log.err" | sed 's/^/    err: /'
  fi
}

if [ $# -eq 0 ]; then
  set -- $(awk '{ print $1 }' "$bin/windows_tests.txt")
fi

for unit in "$@"; do
  name=${unit%%:*}
  if [ "$name" != "$unit" ]; then
    run_one "$name" "${unit#*:}"
  elif [ "$(mode_of "$name")" = "per-test" ]; then
    tests=$(list_tests "$name")
    if [ -z "$tests" ]; then
      failed=$((failed + 1))
      echo "FAIL $name (lists no tests; see $logs/$name.list.err)"
      continue
    fi
    for test in $tests; do run_one "$name" "$test"; done
  else
    run_one "$name"
  fi
done

echo "Windows suite: $(( $(now_ms) - suite_start )) ms"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
