#!/usr/bin/env bash
# The Win32 benchmark: QUORVEL.DLL under 32-bit Wine against the reference
# driver, beside bare clients of the same driver, in interleaved rounds (see
# tests/windows/bench/win32_bench.cc). Builds the win32 preset's benchmark,
# runs it once and prints its report between the machine's load at the
# start and at the end ("load at start: " and "load at end: " followed by
# /proc/loadavg), so that a loaded run shows as one. The report's last
# three lines are "1 service, throughput ratio R (min A, max B, N rounds)",
# the same for 15 services, and "round trip ratio R (...)". Not part of
# scripts/test.sh: its figures depend on the machine. Run no Windows test
# suite of the same build at the same time: both load the driver under one
# service name.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset win32 >/dev/null
cmake --build build/win32 -j"$(nproc)" --target quorvel_win32_bench >/dev/null
wine=tests/windows/wine.sh
bash "$wine" build/win32 --start
trap 'bash "$wine" build/win32 --stop' EXIT
echo "load at start: $(cat /proc/loadavg)"
status=0
bash "$wine" build/win32 build/win32/tests/windows/quorvel_win32_bench.exe || status=$?
echo "load at end: $(cat /proc/loadavg)"
exit "$status"
