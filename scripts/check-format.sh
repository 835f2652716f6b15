#!/usr/bin/env bash
# Fails when clang-format (the repository's .clang-format) would change any
# tracked C or C++ source; names each such file. Fix with clang-format -i.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h')
unformatted=()
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'not formatted: %s\n' "${unformatted[@]}"
  echo "check-format: ${#unformatted[@]} of ${#files[@]} files need clang-format -i"
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
