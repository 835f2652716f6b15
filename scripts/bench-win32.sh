#!/usr/bin/env bash
# The Win32 benchmark: QUORVEL.DLL under 32-bit Wine against the reference
# driver, beside a bare client of the same driver (see
# tests/windows/bench/win32_bench.cc). Builds the win32 preset's benchmark,
# shows the machine's load, runs it once and prints its report, whose last
# two lines are "throughput ratio R" and "round trip ratio R". Not part of
# scripts/test.sh: its figures
# depend on the machine. Run no Windows test suite of the same build at the
# same time: both load the driver under one service name.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset win32 >/dev/null
cmake --build build/win32 -j"$(nproc)" --target quorvel_win32_bench >/dev/null
wine=tests/windows/wine.sh
bash "$wine" build/win32 --start
trap 'bash "$wine" build/win32 --stop' EXIT
uptime
bash "$wine" build/win32 build/win32/tests/windows/quorvel_win32_bench.exe
