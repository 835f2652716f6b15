#!/usr/bin/env bash
# Checks the export and import tables of QUORVEL.DLL: four entries, ordinals
# 1 to 4, no names, and imports of system DLLs only.
set -euo pipefail
dll="$1"
table=$(i686-w64-mingw32-objdump -p "$dll")
fail() { echo "check-dll-exports: $*" >&2; exit 1; }

# llvm-objdump lists every slot of the export address table, empty ones too,
# with its name if it has one; binutils cannot read an export directory that
# lld places inside .rdata rather than in a section of its own.
exports=$(llvm-objdump-14 -p "$dll" | sed -n '/^Export Table:/,/^$/p')
slots=$(awk '/^ *Ordinal +RVA +Name$/ { listed = 1; next } listed && NF { print }' <<<"$exports")
grep -qx ' Ordinal base: 1' <<<"$exports" || fail "ordinal base is not 1"
[ "$(grep -c . <<<"$slots")" -eq 4 ] || fail "not exactly four exports"
awk 'NF != 2 { exit 1 }' <<<"$slots" || fail "names in the export table"
for ordinal in 1 2 3 4; do
  awk -v o="$ordinal" '$1 == o && $2 != "0" { found = 1 } END { exit !found }' <<<"$slots" ||
    fail "ordinal $ordinal missing"
done
while read -r name; do
  case "${name,,}" in
    kernel32.dll|msvcrt.dll|ntdll.dll|user32.dll|advapi32.dll) ;;
    *) fail "imports a non-system DLL: $name" ;;
  esac
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table")
echo "check-dll-exports: $dll exports ordinals 1-4 by ordinal only and imports system DLLs only"
