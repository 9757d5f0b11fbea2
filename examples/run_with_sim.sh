#!/usr/bin/env bash
# Runs an example program against tarvik-sim, as the test suite does.
#
#   run_with_sim.sh [--expect REGEX]... [--failover] SIM EXAMPLE [ARGS...]
#
# Starts tarvik-sim on a free port and runs EXAMPLE 127.0.0.1 PORT ARGS...;
# with --failover it starts two servers, runs EXAMPLE 127.0.0.1 PORT1
# 127.0.0.1 PORT2 ARGS..., and stops the first once the example prints a line
# with "stop the primary". Passes when the example exits with 0 within 60 s
# and its output has a line matching every --expect.
set -u
expects=()
failover=""
while [ $# -gt 0 ]; do
  case "$1" in
    --expect) expects+=("$2"); shift 2 ;;
    --failover) failover=1; shift ;;
    *) break ;;
  esac
done
sim=$1
example=$2
shift 2
# shellcheck source=scripts/sim_session.sh
source "$(dirname "$0")/../scripts/sim_session.sh"

# A server with moving values; sets port.
start_sim primary "$sim" --simulate 100 --seed 3
primary_pid=$sim_pid
args=(127.0.0.1 "$port")
if [ -n "$failover" ]; then
  start_sim backup "$sim" --simulate 100 --seed 3
  args+=(127.0.0.1 "$port")
fi

"$example" "${args[@]}" "$@" >"$work/out" 2>"$work/err" &
example_pid=$!
deadline=$((SECONDS + 60))
stopped=""
while kill -0 "$example_pid" 2>/dev/null; do
  if [ -n "$failover" ] && [ -z "$stopped" ] && grep -qs 'stop the primary' "$work/out"; then
    kill "$primary_pid"
    stopped=1
  fi
  if [ "$SECONDS" -ge "$deadline" ]; then
    kill "$example_pid"
    echo "FAIL: $(basename "$example") did not end within 60 s"
    cat "$work/out" "$work/err"
    exit 1
  fi
  sleep 0.05
done
wait "$example_pid"
rc=$?
cat "$work/out"
sed 's/^/stderr: /' "$work/err"
if [ "$rc" -ne 0 ]; then
  echo "FAIL: $(basename "$example") exited with $rc"
  exit 1
fi
for pattern in "${expects[@]}"; do
  if ! grep -Eq -- "$pattern" "$work/out"; then
    echo "FAIL: no line /$pattern/ in the output"
    exit 1
  fi
done
echo "PASS: $(basename "$example")"
