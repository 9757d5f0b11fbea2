#!/usr/bin/env bash
# Builds Tarvik, starts the development server tarvik-sim on a free port and
# runs a short session of the tarvik tool against it: lists points, reads
# values, writes a setpoint and reads it back, watches changes for a few
# seconds and shows the history of a point.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh linux
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"

sim=build/tools/tarvik-sim
cli=build/tools/cli/tarvik
# shellcheck source=scripts/sim_session.sh
source scripts/sim_session.sh

start_sim sim --within 10 "$sim" --simulate 500
echo "tarvik-sim is listening on port $port"

# show [--lines N] ARGS...: runs the tool against the server, shows the command
# and its output (cut to N lines).
show() {
  local lines=0
  if [ "$1" = "--lines" ]; then
    lines=$2
    shift 2
  fi
  echo
  echo "\$ tarvik -p $port $*"
  "$cli" -p "$port" "$@" >"$work/out"
  if [ "$lines" -gt 0 ] && [ "$(wc -l <"$work/out")" -gt "$lines" ]; then
    head -n "$lines" "$work/out"
    echo "..."
  else
    cat "$work/out"
  fi
}

show --lines 6 points
show fields TANK101
show read TANK101 TANK101.SP TANK101.STATE PUMP101.RUN TI101.UNIT
show write --yes TANK101.SP=62.5 TANK101.STATE=FILLING
show read TANK101.SP TANK101.STATE
show watch TANK101 FIC101 --for 3
show history TANK101 --from -4s --samples 5
show history-raw TANK101.SP --from -1m
show --json read TANK101.SP
