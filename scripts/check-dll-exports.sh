#!/usr/bin/env bash
# Checks the export and import tables of QUORVEL.DLL: four entries, ordinals
# 1 to 4, no names, and imports of system DLLs only.
set -euo pipefail
dll="$1"
table=$(i686-w64-mingw32-objdump -p "$dll")
fail() { echo "check-dll-exports: $*" >&2; exit 1; }

grep -qE 'Export Address Table[[:space:]]+00000004$' <<<"$table" || fail "not exactly four exports"
grep -qE '\[Name Pointer/Ordinal\] Table[[:space:]]+00000000$' <<<"$table" || fail "names in the export table"
grep -q 'Ordinal Base 1' <<<"$table" || fail "ordinal base is not 1"
for ordinal in 1 2 3 4; do
  grep -qE "\+base\[ +$ordinal\]" <<<"$table" || fail "ordinal $ordinal missing"
done
while read -r name; do
  case "${name,,}" in
    kernel32.dll|msvcrt.dll|ntdll.dll|user32.dll|advapi32.dll) ;;
    *) fail "imports a non-system DLL: $name" ;;
  esac
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table")
echo "check-dll-exports: $dll exports ordinals 1-4 by ordinal only and imports system DLLs only"
