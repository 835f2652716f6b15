#!/usr/bin/env bash
# clang's thread-safety analysis over every source of src/: the lock
# requirements written as annotations (platform/thread_annotations.h) are
# checked, and any finding fails. Uses the flags of the debug preset's
# compile database. Usage: check-thread-safety.sh
set -euo pipefail
cd "$(dirname "$0")/.."
db=build/debug/compile_commands.json
[ -f "$db" ] || cmake --preset debug >/dev/null
clang=$(command -v clang++-14 || command -v clang++)
python3 - "$db" "$clang" "$(pwd)/src/" <<'PY'
import json, shlex, subprocess, sys
db, clang, src = sys.argv[1:4]
failed = checked = 0
for entry in json.load(open(db)):
    if not entry["file"].startswith(src):
        continue
    args = shlex.split(entry["command"])
    while not args[0].endswith(("c++", "g++", "clang++")):
        args.pop(0)  # the compiler launcher (ccache)
    keep = []
    skip = False
    for arg in args[1:]:
        if skip:
            skip = False
        elif arg in ("-o", "-c"):
            skip = True
        elif arg != entry["file"]:
            keep.append(arg)
    command = [clang, *keep, "-fsyntax-only", "-Wthread-safety", "-Wthread-safety-beta",
               "-Werror=thread-safety", "-Werror=thread-safety-beta", entry["file"]]
    result = subprocess.run(command, cwd=entry["directory"], capture_output=True, text=True)
    checked += 1
    if result.returncode != 0:
        failed += 1
        sys.stdout.write(result.stderr)
print(f"thread-safety: {checked} files, {failed} with findings")
sys.exit(1 if failed else 0)
PY
