#!/usr/bin/env bash
# Checks that QUORVEL.pdb is the PDB of QUORVEL.DLL and describes its entry
# points: the module's debug directory carries a CodeView record naming the
# PDB with the GUID and age that the PDB carries, and the PDB places each
# exported function at the address the export table gives its ordinal, in a
# source file (relative to the source root) and at a line. No absolute path
# of the build machine's source root or of the PDB's folder remains in it.
# Usage: check-dll-pdb.sh QUORVEL.DLL [QUORVEL.pdb] (default: beside the DLL)
set -euo pipefail
dll="$1"
pdb="${2:-$(dirname "$dll")/QUORVEL.pdb}"
def="$(dirname "$0")/../src/api/quorvel.def"
fail() { echo "check-dll-pdb: $*" >&2; exit 1; }
[ -f "$pdb" ] || fail "no PDB at $pdb"

# The record's GUID bytes in the registry form that the PDB summary prints:
# the first three fields are little-endian.
record=$(llvm-readobj-14 --coff-debug-directory "$dll")
read -r -a b <<<"$(sed -n 's/^ *PDBGUID: (\(.*\))$/\1/p' <<<"$record")"
[ ${#b[@]} -eq 16 ] || fail "no CodeView record in the debug directory of $dll"
dll_guid="{${b[3]}${b[2]}${b[1]}${b[0]}-${b[5]}${b[4]}-${b[7]}${b[6]}-${b[8]}${b[9]}-${b[10]}${b[11]}${b[12]}${b[13]}${b[14]}${b[15]}}"
dll_age=$(sed -n 's/^ *PDBAge: //p' <<<"$record")
dll_name=$(sed -n 's/^ *PDBFileName: //p' <<<"$record")
summary=$(llvm-pdbutil-14 dump --summary "$pdb")
pdb_guid=$(sed -n 's/^ *GUID: //p' <<<"$summary")
pdb_age=$(sed -n 's/^ *Age: //p' <<<"$summary")
[ "$dll_name" = "$(basename "$pdb")" ] || fail "the module names '$dll_name', not $(basename "$pdb")"
[ "$dll_guid" = "$pdb_guid" ] || fail "GUID $dll_guid in the module, $pdb_guid in the PDB"
[ "$dll_age" = "$pdb_age" ] || fail "age $dll_age in the module, $pdb_age in the PDB"
root=$(cd "$(dirname "$0")/.." && pwd -P)
for path in "$root/" "$(cd "$(dirname "$pdb")" && pwd -P)/"; do
  ! grep -qaF "$path" "$pdb" || fail "$pdb names the build machine's $path"
done
echo "check-dll-pdb: $dll names $dll_name, GUID $dll_guid age $dll_age; $pdb: GUID $pdb_guid age $pdb_age"

exports=$(llvm-objdump-14 -p "$dll")
symbols=$(llvm-pdbutil-14 dump --symbols "$pdb")
lines=$(llvm-pdbutil-14 dump --l "$pdb")
sections=$(llvm-pdbutil-14 dump --section-headers "$pdb")
# section_rva N: the virtual address of section N (1-based), in hex.
section_rva() {
  awk -v n="SECTION HEADER #$1" '$0 ~ n"$" { s = 1 } s && /virtual address$/ { print $1; exit }' \
    <<<"$sections"
}
# source_line OFFSET: "file:line" of the line entry at OFFSET in the code
# section (a function's first entry is at its start).
source_line() {
  awk -v want="$(printf '%08X' "$1")" '
    /^[^ ].* \(MD5: / { file = $1 }
    /^   [0-9]/ { for (i = 1; i + 1 <= NF; i += 3)
                   if ($(i + 1) == want) { print file ":" $i; exit } }' <<<"$lines"
}
while read -r name ordinal; do
  rva=$(awk -v o="$ordinal" '$1 == o && NF == 2 { print $2 }' \
    <<<"$(sed -n '/^Export Table:/,/^$/p' <<<"$exports")")
  [ -n "$rva" ] || fail "ordinal $ordinal ($name) is not exported"
  addr=$(grep -A1 -E "S_GPROC32 \[size = [0-9]+\] \`$name\`$" <<<"$symbols" |
    sed -n 's/.*addr = \([0-9]*\):\([0-9]*\),.*/\1 \2/p' | head -n 1)
  [ -n "$addr" ] || fail "the PDB has no function $name"
  read -r section offset <<<"$addr"
  section=$((10#$section)) offset=$((10#$offset))
  [ $((0x$(section_rva "$section") + offset)) -eq $((rva)) ] ||
    fail "the PDB puts $name at $section:$offset, the module exports ordinal $ordinal at $rva"
  where=$(source_line "$offset")
  [ -n "$where" ] || fail "the PDB has no source line for $name"
  [[ $where == src\\* ]] || fail "the PDB places $name in $where, not relative to the source root"
  echo "check-dll-pdb: ordinal $ordinal at RVA $rva is $name, $where"
done < <(sed -n 's/^ *\([A-Za-z]*\)@[0-9]* @\([0-9]*\) NONAME$/\1 \2/p' "$def")
