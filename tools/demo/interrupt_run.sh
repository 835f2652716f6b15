#!/usr/bin/env bash
# Ctrl-C in a running demo: starts it with long traffic, waits for its first
# traffic status line, sends one SIGINT and expects the run to wind down on
# its own: UnInit, a summary marked "interrupted after N s", every message
# accounted for, exit code 130. Every wait on the demo's output is bounded.
#   interrupt_run.sh <quorvel_demo>
set -uo pipefail
demo=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "interrupt_run: $*" >&2; cat "$dir/log" >&2; exit 1; }

mkfifo "$dir/out"
"$demo" --seconds 600 --heartbeat 0 --services 3 >"$dir/out" 2>&1 &
pid=$!
exec 3<"$dir/out"
: >"$dir/log"
# Reads lines into the log until one matches $1, for at most $2 seconds.
await() {
  local line end=$((SECONDS + $2))
  while [ $SECONDS -lt $end ] && IFS= read -r -t $((end - SECONDS)) -u 3 line; do
    echo "$line" >>"$dir/log"
    [[ $line == $1 ]] && return 0
  done
  return 1
}
await '\[traffic\]*' 30 || { kill -KILL $pid; fail "no traffic status line within 30 s"; }
kill -INT $pid
await '\[demo\] every reply verified*' 60 || { kill -KILL $pid; fail "no end of run within 60 s"; }
await 'never' 10  # the rest, up to end of file
wait $pid
status=$?
cat "$dir/log"
[ $status = 130 ] || fail "exit code $status, expected 130"
grep -q '^\[demo\] interrupted: stopping the traffic' "$dir/log" || fail "the interrupt was not acknowledged"
grep -q '^\[demo\] UnInit$' "$dir/log" || fail "no UnInit"
grep -qE '^summary \(interrupted after [0-9]+\.[0-9] s, heartbeat phase included\): ' "$dir/log" || fail "the summary is not marked"
! grep -q 'the driver now fails the next ping' "$dir/log" || fail "the heartbeat was still lost"
echo "interrupt_run: the demo wound down after one SIGINT"
