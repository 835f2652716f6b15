#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) over the library and the simulators,
# with the compile database of the debug preset. Exits non-zero on any
# finding. Usage: run-clang-tidy.sh [file...] (default: every source of
# src/ and sim/ in the database).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
db=build/debug/compile_commands.json
[ -f "$db" ] || cmake --preset debug >/dev/null
if [ $# -eq 0 ]; then
  mapfile -t files < <(grep -o '"file": *"[^"]*"' "$db" | sed 's/.*"\([^"]*\)"$/\1/' |
    grep -E "^$root/(src|sim)/" | sort -u)
  set -- "${files[@]}"
fi
tidy=$(command -v run-clang-tidy-14 || command -v run-clang-tidy)
"$tidy" -p build/debug -quiet -j "$(nproc)" "$@" 2>/dev/null |
  grep -v -E '^(clang-tidy|[0-9]+ warnings? generated|Suppressed|Use -header-filter|Enabled checks)' |
  sed 's/\x1b\[[0-9;]*m//g' >build/clang-tidy.log || true
if grep -q -E '(warning|error):' build/clang-tidy.log; then
  grep -A3 -E '(warning|error):' build/clang-tidy.log
  echo "clang-tidy: $(grep -c -E '(warning|error):' build/clang-tidy.log) findings (build/clang-tidy.log)"
  exit 1
fi
echo "clang-tidy: no findings in $# files"
