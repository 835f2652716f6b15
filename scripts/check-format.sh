#!/usr/bin/env bash
# Fails when clang-format (the repository's .clang-format) would change any
# tracked C or C++ source; names each such file. Fix with clang-format -i.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h')
# One run over every file; each place it would change is a line
# "<file>:<line>:<column>: error: code should be clang-formatted".
mapfile -t unformatted < <(clang-format --dry-run --Werror "${files[@]}" 2>&1 |
  sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: .*/\1/p' | sort -u)
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'not formatted: %s\n' "${unformatted[@]}"
  echo "check-format: ${#unformatted[@]} of ${#files[@]} files need clang-format -i"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
