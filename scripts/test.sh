#!/usr/bin/env bash
# Every test: the native suites under ASan+UBSan and under TSan (with the
# exit, stress and cycle probes), the export table checks and a short demo
# run against the ASan build, bounded libFuzzer runs, the format, lint and
# thread-safety checks, the QUORVEL.DLL cross-build with its Windows suite
# under Wine (the exception scenarios again against the module built at
# -Os), and the installed SDKs, all through CTest. The plain Debug suite
# builds the same code as ASan+UBSan without the sanitizers and runs the
# same tests, so it runs only when asked for.
#
# Usage: test.sh [--with-debug] [--under-load] [--only SUITE]... [--repeat N]
#   --with-debug    also run the native suite in Debug (native-debug)
#   --only SUITE    run only this suite (repeatable); each builds what it needs
#   --under-load    run beside one busy loop per core (before landing a change
#                   to timing, threads or tests)
#   --repeat N      with one --only of native-debug, native-asan, native-tsan
#                   or windows: build once, run its tests N times in random
#                   order, print k/n for each test that failed at least once
#
# The suites run in three lanes side by side (ASan and what uses its build;
# TSan, the checks and Debug; everything Windows, then the fuzzers), so
# that one lane's tests, which mostly wait on timers and Wine, overlap
# another's build. Each suite's output goes to build/test-logs/<suite>.log; the
# terminal shows one line per suite as it ends and a closing summary whose
# last line is "N passed, M failed" (CI reads it). Exit status 0 only when
# nothing failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

suites=(native-debug native-asan native-tsan so-exports demo fuzz format clang-tidy
  thread-safety win32-build windows windows-minsize sdk)
usage() { sed -n '11,18p' "$0" | sed 's/^# \{0,1\}//'; echo "suites: ${suites[*]}"; }
with_debug=0
under_load=0
repeat=0
only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --with-debug) with_debug=1 ;;
    --under-load) under_load=1 ;;
    --repeat)
      [[ "${2:-}" =~ ^[1-9][0-9]*$ ]] || { usage >&2; exit 2; }
      repeat=$2
      shift ;;
    --only)
      [[ " ${suites[*]} " == *" ${2:-} "* ]] || { usage >&2; exit 2; }
      only+=("$2")
      shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
  shift
done
if [ "$repeat" -gt 0 ] && { [ ${#only[@]} -ne 1 ] ||
  [[ ! " native-debug native-asan native-tsan windows " == *" ${only[0]} "* ]]; }; then
  usage >&2
  exit 2
fi

jobs=$(nproc)
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs/rows"
# wine.sh lists here each test it reran after the Wine driver host died.
env_faults=build/win32/wine-logs/environment-faults.log
rm -f "$env_faults"

echo "installing what is missing (log: $logs/install-deps.log)"
bash scripts/install-deps.sh native win32 wine lint fuzz >"$logs/install-deps.log" 2>&1 || {
  tail -n 20 "$logs/install-deps.log"
  exit 2
}

now_ms() { date +%s%3N; }

selected() {
  if [ ${#only[@]} -gt 0 ]; then
    [[ " ${only[*]} " == *" $1 "* ]]
  else
    [ "$1" != native-debug ] || [ "$with_debug" -eq 1 ]
  fi
}

# suite NAME COMMAND...: runs COMMAND, if NAME is selected, with its output
# in $logs/NAME.log, and records its figures in $logs/rows/NAME. They are
# CTest's ("N% tests passed, F tests failed out of T", summed when it ran
# more than once); a command without them is one test that passed or failed
# by its exit status, and a command that fails although CTest saw no failing
# test (a build that broke) counts one failure more.
suite() {
  local name=$1 start status tests failed
  shift
  selected "$name" || return 0
  start=$(now_ms)
  "$@" >"$logs/$name.log" 2>&1
  status=$?
  local ms=$(($(now_ms) - start))
  read -r tests failed < <(awk '/tests passed, [0-9]+ tests? failed out of/ {
      f += $4; t += $NF } END { print t + 0, f + 0 }' "$logs/$name.log")
  if [ "$tests" -eq 0 ]; then
    tests=1
    failed=$((status != 0))
  elif [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
    tests=$((tests + 1))
    failed=1
  fi
  echo "$tests $((tests - failed)) $failed $ms" >"$logs/rows/$name"
  local row
  row=$(format_row "$name")
  if [ "$failed" -gt 0 ]; then
    echo "$row   FAILED, see $logs/$name.log"
  else
    echo "$row"
  fi
}

format_row() {
  awk -v n="$1" '{ printf "%-16s %6d %7d %7d %8.1f s\n", n, $1, $2, $3, $4 / 1000 }' \
    "$logs/rows/$1"
}

# Configures a preset's build folder the first time a lane uses it. Each
# folder belongs to one lane, so that no two builds run in it at once.
configure() {
  local done_var="configured_${1//-/_}"
  [ -n "${!done_var:-}" ] && return 0
  cmake --preset "$1" && printf -v "$done_var" 1
}

# Configure, build and run one native preset's CTest suite. The tests run
# two per core: most of their time is spent waiting on the library's timers
# and events, not computing (measured: Debug 44 s at -j2, 30 s at -j4; TSan
# 79 s and 47 s).
ctest_suite() {
  configure "$1" && cmake --build "build/$1" -j"$jobs" &&
    ctest --preset "$1" -j"$((jobs * 2))"
}

# The shared object and the demo from the ASan build: the same sources, and
# the demo's run is checked by the sanitizers as well.
so_exports() {
  configure asan && cmake --build build/asan -j"$jobs" --target quorvel &&
    bash scripts/check-so-exports.sh build/asan/src/libquorvel.so
}

demo_run() {
  configure asan && cmake --build build/asan -j"$jobs" --target quorvel_demo &&
    build/asan/tools/quorvel_demo --seconds 2 --heartbeat 1
}

# The libFuzzer targets, each for a bounded time (docs/testing.md: longer runs), side
# by side: each keeps its time, the suite takes one target's.
fuzz_suite() {
  configure fuzz &&
    cmake --build build/fuzz -j"$jobs" --target service_connection_fuzzer port_model_fuzzer &&
    ctest --preset fuzz -j"$jobs"
}

# The lint checks read the debug preset's compile database; configuring is
# enough.
lint() { configure debug && bash "$@"; }

win32_build() {
  configure win32 && cmake --build build/win32 -j"$jobs" &&
    bash scripts/check-dll-exports.sh build/win32/src/QUORVEL.DLL &&
    bash scripts/check-dll-pdb.sh build/win32/src/QUORVEL.DLL &&
    bash scripts/check-dll-seh.sh build/win32/src/QUORVEL.DLL
}

windows_suite() {
  configure win32 && cmake --build build/win32 -j"$jobs" && ctest --preset win32
}

# The exception scenarios again against QUORVEL.DLL built at -Os, whose
# register allocation differs from Release across the guard's unwinding:
# only the module is built; the Release test programs load it by path.
win32_minsize() {
  configure win32 && cmake --build build/win32 -j"$jobs" &&
    configure win32-minsize && cmake --build build/win32-minsize -j"$jobs" --target quorvel &&
    bash scripts/check-dll-exports.sh build/win32-minsize/src/QUORVEL.DLL &&
    bash scripts/check-dll-pdb.sh build/win32-minsize/src/QUORVEL.DLL &&
    ctest --preset win32-minsize
}

# check-sdk.sh builds the SDK presets itself, from empty folders; it runs
# the win32 build's sdk_test against what they install.
sdk_suite() {
  configure win32 && cmake --build build/win32 -j"$jobs" && bash scripts/check-sdk.sh
}

# The Windows lane builds the most, so the two native lanes yield the
# processors to it: their tests mostly wait, and their builds fill what its
# Wine scenarios leave. The fuzzers follow it and the checks follow TSan,
# which balanced the lanes best (measured on an idle 2-core machine; docs/testing.md).
# Under load every lane meets the busy loops at the same priority.
yield_to_windows() { [ "$under_load" -eq 1 ] || renice -n 10 -p "$BASHPID" >/dev/null; }

asan_lane() {
  yield_to_windows
  suite native-asan ctest_suite asan
  suite so-exports so_exports
  suite demo demo_run
}

# The checks and Debug share the debug build folder, so they share a lane.
tsan_and_checks_lane() {
  yield_to_windows
  suite native-tsan ctest_suite tsan
  suite format bash scripts/check-format.sh
  suite clang-tidy lint scripts/run-clang-tidy.sh
  suite thread-safety lint scripts/check-thread-safety.sh
  suite native-debug ctest_suite debug
}

# Windows first: its scenarios run one at a time, mostly waiting on Wine,
# while the other lanes build.
windows_and_fuzz_lane() {
  suite win32-build win32_build
  suite windows windows_suite
  suite windows-minsize win32_minsize
  suite sdk sdk_suite
  suite fuzz fuzz_suite
}

# --under-load: one busy loop per core, each a child of this shell, ended by
# its process id however the script ends.
busy_loops=()
end_busy_loops() {
  [ ${#busy_loops[@]} -gt 0 ] || return 0
  kill "${busy_loops[@]}" 2>/dev/null
  wait "${busy_loops[@]}" 2>/dev/null
  busy_loops=()
}
start_busy_loops() {
  trap end_busy_loops EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  local i
  for ((i = 0; i < jobs; i++)); do
    (while :; do :; done) &
    busy_loops+=($!)
  done
  echo "under load: ${#busy_loops[@]} busy loops beside the tests (pids ${busy_loops[*]})"
}

env_fault_count() { if [ -f "$env_faults" ]; then wc -l <"$env_faults"; else echo 0; fi; }

# The names of the tests a CTest log lists as failed, once each.
failed_tests() {
  awk '/The following tests FAILED:/ { listed = 1; next }
    listed && /^[[:space:]]+[0-9]+ - / {
      sub(/^[[:space:]]+[0-9]+ - /, ""); sub(/ \([^()]*\)$/, ""); sub(/ +# .*/, ""); print }' \
    "$1" | sort -u
}

# --repeat: the suite's preset built once, then its tests N times, each in a
# new random order (CTest's --schedule-random; GoogleTest's shuffle for a
# program that runs more than one test). A run that fails without naming a
# test (CTest itself) counts as the failure of "(the run)". Prints k/n for
# every test that failed in k of the n runs.
repeat_suite() {
  local name=$1 preset=${1#native-} run status tests failed ms faults
  local parallel=(-j"$((jobs * 2))")
  [ "$name" != windows ] || { preset=win32; parallel=(); }
  echo "building $preset (log: $logs/$name-build.log)"
  { configure "$preset" && cmake --build "build/$preset" -j"$jobs"; } >"$logs/$name-build.log" 2>&1 || {
    tail -n 20 "$logs/$name-build.log"
    return 2
  }
  local failures=$logs/repeat-failures total_tests=0 total_failed=0
  : >"$failures"
  for ((run = 1; run <= repeat; run++)); do
    local log=$logs/$name-$run.log start
    start=$(now_ms)
    faults=$(env_fault_count)
    GTEST_SHUFFLE=1 ctest --preset "$preset" "${parallel[@]}" --schedule-random >"$log" 2>&1
    status=$?
    ms=$(($(now_ms) - start))
    read -r tests failed < <(awk '/tests passed, [0-9]+ tests? failed out of/ {
        print $NF, $4 }' "$log")
    failed_tests "$log" >"$log.failed"
    [ "$status" -eq 0 ] || [ -s "$log.failed" ] || echo "(the run)" >"$log.failed"
    cat "$log.failed" >>"$failures"
    total_tests=$((total_tests + ${tests:-0}))
    total_failed=$((total_failed + $(wc -l <"$log.failed")))
    printf 'run %d/%d: %d tests, %d failed, %d environment faults, %.1f s (log: %s)\n' "$run" \
      "$repeat" "${tests:-0}" "$(wc -l <"$log.failed")" "$(($(env_fault_count) - faults))" \
      "$(awk -v ms="$ms" 'BEGIN { print ms / 1000 }')" "$log"
  done
  echo
  echo "tests of $name that failed at least once (k/n runs):"
  if [ -s "$failures" ]; then
    sort "$failures" | uniq -c | sort -rn | awk -v n="$repeat" '{ k = $1; sub(/^ *[0-9]+ /, "")
      printf "  %d/%d  %s\n", k, n, $0 }'
  else
    echo "  none"
  fi
  echo "environment faults: $(env_fault_count) (Wine driver host restarts; not test failures)"
  [ "$(env_fault_count)" -eq 0 ] || sed 's/^/  /' "$env_faults"
  echo "$((total_tests - total_failed)) passed, $total_failed failed"
  [ "$total_failed" -eq 0 ]
}

[ "$under_load" -eq 0 ] || start_busy_loops
if [ "$repeat" -gt 0 ]; then
  repeat_suite "${only[0]}"
  exit
fi

start=$(now_ms)
printf '%-16s %6s %7s %7s %10s\n' suite tests passed failed time
lanes=()
asan_lane &
lanes+=($!)
tsan_and_checks_lane &
lanes+=($!)
windows_and_fuzz_lane &
lanes+=($!)
wait "${lanes[@]}"

total_tests=0
total_passed=0
total_failed=0
echo
echo "summary (logs in $logs; lanes run side by side, so suite times overlap)"
printf '%-16s %6s %7s %7s %10s\n' suite tests passed failed time
for name in "${suites[@]}"; do
  [ -f "$logs/rows/$name" ] || continue
  format_row "$name"
  read -r tests passed failed _ <"$logs/rows/$name"
  total_tests=$((total_tests + tests))
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
done
printf '%-16s %6d %7d %7d %8.1f s\n' total "$total_tests" "$total_passed" "$total_failed" \
  "$(awk -v ms=$(($(now_ms) - start)) 'BEGIN { print ms / 1000 }')"
faults=$(env_fault_count)
[ "$under_load" -eq 0 ] || echo "under load: ${#busy_loops[@]} busy loops beside the tests"
echo "environment faults: $faults (programs rerun once in a new Wine session after the driver host died; not test failures)"
[ "$faults" -eq 0 ] || sed 's/^/  /' "$env_faults"
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
