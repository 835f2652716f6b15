#!/usr/bin/env bash
# Installs, as root on Debian, what the build and the tests need; does
# nothing for what is already there.
# Usage: install-deps.sh [native] [win32] [wine] [lint] [fuzz]
set -euo pipefail

want=("$@")
[ ${#want[@]} -gt 0 ] || want=(native win32)

packages=()
need() { dpkg -s "$1" >/dev/null 2>&1 || packages+=("$1"); }

for part in "${want[@]}"; do
  case "$part" in
    native)
      for p in cmake ninja-build g++ libgtest-dev libbenchmark-dev; do need "$p"; done ;;
    win32)
      for p in cmake ninja-build g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest; do need "$p"; done
      # clang and LLVM 14: QUORVEL.DLL and the Windows tests (clang in MinGW
      # mode), the MSVC-ABI toolchain (clang-cl, lld-link), the short import
      # library quorvel.lib (llvm-dlltool), the DLL's load configuration and
      # PDB checks (llvm-readobj, llvm-pdbutil).
      for p in clang-14 lld-14 llvm-14; do need "$p"; done
      # lld 16 links QUORVEL.DLL with its PDB: lld 14 writes the ordinal-only
      # export table from ordinal base 0.
      need lld-16 ;;
    fuzz)
      # clang with libFuzzer and the sanitizer runtimes, for the fuzz preset.
      for p in clang libclang-rt-14-dev; do need "$p"; done ;;
    wine)
      dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
      for p in wine wine32:i386; do need "$p"; done ;;
    lint)
      for p in clang-format clang-tidy; do need "$p"; done ;;
    *) echo "install-deps: unknown part $part" >&2; exit 2 ;;
  esac
done

if [ ${#packages[@]} -gt 0 ]; then
  echo "installing: ${packages[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi
