#!/usr/bin/env bash
# The main job: the demo host against the simulated driver. Arguments go to
# the demo (for example --seconds 10 --services 15).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh native
cmake --preset debug >/dev/null
cmake --build build/debug -j"$(nproc)" --target quorvel_demo >/dev/null
exec build/debug/tools/quorvel_demo "$@"
