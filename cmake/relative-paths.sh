#!/usr/bin/env bash
# Compiler and linker launcher of QUORVEL.DLL's debug build:
#   relative-paths.sh <absolute source root> <it, relative to the build folder> <command> [args...]
# runs the command with every occurrence of the absolute source root in its
# arguments written as the relative path. clang 14 records its whole command
# line in the CodeView build records and lld its own in the PDB; so written,
# neither names a path of the build machine. The build folder is the
# command's working folder (Ninja runs every command there).
root=$1 relative=$2
shift 2
exec "${@//"$root"/"$relative"}"
