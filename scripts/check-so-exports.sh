#!/usr/bin/env bash
# Checks that libquorvel.so exports the four entry points and nothing else.
set -euo pipefail
exported=$(nm -D --defined-only "$1" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort | tr '\n' ' ')
if [ "$exported" != "Init Register UnInit Unregister " ]; then
  echo "check-so-exports: $1 exports: $exported" >&2
  exit 1
fi
echo "check-so-exports: $1 exports exactly Init, UnInit, Register, Unregister"
