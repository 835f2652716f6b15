#!/usr/bin/env bash
# Every test: the native suites in Debug, under ASan+UBSan and under TSan, a
# short run of the demo host, the QUORVEL.DLL cross-build with its export
# table check, and the Windows suite under Wine when it is present.
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

# --- fuzz targets: a bounded run of each (README: how to run them longer)
echo "=== fuzz targets"
bash scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j"$jobs" --target service_connection_fuzzer port_model_fuzzer
ctest --preset fuzz
# --- end of fuzz targets

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
fi
echo "all tests passed"
