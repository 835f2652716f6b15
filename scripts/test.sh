#!/usr/bin/env bash
# Every test: the native suites in Debug, under ASan+UBSan and under TSan, a
# short run of the demo host, the QUORVEL.DLL cross-build with its export
# table check, the Windows suite under Wine when it is present, with its
# exception scenarios also against a MinSizeRel build, and the installed SDK
# with the consumer project built against it.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/install-deps.sh native win32

for preset in debug asan tsan; do
  echo "=== native suite: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build "build/$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
done

bash scripts/check-so-exports.sh build/debug/src/libquorvel.so

echo "=== demo host, short run"
build/debug/tools/quorvel_demo --seconds 2 --heartbeat 1

echo "=== QUORVEL.DLL"
cmake --preset win32 >/dev/null
cmake --build build/win32 -j"$jobs"
bash scripts/check-dll-exports.sh build/win32/src/QUORVEL.DLL

if [ -f tests/windows/run.sh ]; then
  echo "=== Windows suite under Wine"
  bash scripts/install-deps.sh wine
  bash tests/windows/run.sh build/win32

  # The exception scenarios again against a size-optimised build, whose
  # register allocation differs from Release across the guard's unwinding.
  echo "=== exception scenarios under Wine, MinSizeRel"
  cmake --preset win32-minsize >/dev/null
  cmake --build build/win32-minsize -j"$jobs" --target quorvel_sink_fault_test quorvel_service_test
  bash tests/windows/run.sh build/win32-minsize quorvel_sink_fault_test \
    quorvel_service_test:Service.RaisingCallbackEndsOnlyItsWorker
fi
bash scripts/check-sdk.sh
echo "all tests passed"
