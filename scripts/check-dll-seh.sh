#!/usr/bin/env bash
# Checks that QUORVEL.DLL lets Windows dispatch to the exception guard's
# handler, which the guard links into the thread's chain at run time: the
# DLL characteristics must not carry NO_SEH (0x0400), with which Windows
# refuses every handler of the image, and a SafeSEH table, if the image has
# one, must list the guard's handler, since Windows refuses any handler of a
# SafeSEH image that its table omits.
set -euo pipefail
dll="$1"
fail() { echo "check-dll-seh: $*" >&2; exit 1; }

characteristics=$(i686-w64-mingw32-objdump -p "$dll" | sed -n 's/^DllCharacteristics[[:space:]]*//p')
[[ -n "$characteristics" ]] || fail "no DllCharacteristics in $dll"
(( (16#$characteristics & 0x0400) == 0 )) || fail "DllCharacteristics $characteristics carries NO_SEH"

# The handler table as llvm-readobj lists it: one address a line between
# "SEHTable [" and "]"; absent when the image has no SafeSEH table.
table=$(llvm-readobj-14 --coff-load-config "$dll" | sed -n '/^SEHTable \[/,/^\]/{/^ *0x/p}')
if [[ -n "$table" ]]; then
  handler=$(i686-w64-mingw32-nm "$dll" | sed -n 's/^\([0-9a-f]*\) [tT] .*GuardHandler.*/\1/p')
  [[ -n "$handler" ]] || fail "$dll has a SafeSEH table but no symbol for the guard's handler"
  grep -qiE "^ *0x0*$handler$" <<<"$table" ||
    fail "the SafeSEH table of $dll omits the guard's handler (0x$handler)"
fi
echo "check-dll-seh: $dll has no NO_SEH flag and no SafeSEH table that omits the guard's handler"
