#!/usr/bin/env bash
# The main job: the demo host against the simulated driver. Arguments go to
# the demo (for example --seconds 10 --services 15; --help lists them).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh native
demo=build/debug/tools/quorvel_demo
log=build/demo-build.log
mkdir -p build
[ -x "$demo" ] || echo "building the demo host (the first build takes a few minutes; log in $log)..."
if ! { cmake --preset debug && cmake --build build/debug -j"$(nproc)" --target quorvel_demo; } \
    >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  echo "demo.sh: the build failed; the whole log is $log" >&2
  exit 1
fi
exec "$demo" "$@"
