#!/usr/bin/env bash
# run_repeatedly.sh PROGRAM COUNT: runs PROGRAM COUNT times; fails on the first
# run that exits non-zero or writes a sanitizer or heap-corruption report.
set -u
program=$1
count=$2
failed=0
for run in $(seq "$count"); do
  # A run that hangs at exit counts as failed, not as a stuck suite.
  log=$(timeout 60 "$program" 2>&1 >/dev/null)
  status=$?
  if [ "$status" -ne 0 ] || grep -qE 'Sanitizer|runtime error|double free|corrupt' <<<"$log"; then
    echo "run $run of $count: exit status $status"
    printf '%s\n' "$log" | head -40
    failed=$((failed + 1))
  fi
done
echo "$((count - failed)) of $count runs exited cleanly"
[ "$failed" -eq 0 ]
