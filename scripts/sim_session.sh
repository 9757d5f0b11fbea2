# shellcheck shell=bash
# Starting and stopping tarvik-sim in the scripts that run programs against
# it. Source this file: it makes the scratch folder $work and, on exit, stops
# every process in `pids` (each server started here is added) and removes
# $work.
#
#   start_sim NAME [--within SECONDS] COMMAND...
#       Runs COMMAND (tarvik-sim with its options, or a wrapper that runs it)
#       in the background with its output in $work/NAME.out and .err, and
#       waits up to SECONDS (20) for it to listen. Sets sim_pid and port.
#       When the server ends or stays silent, prints its error output and
#       exits with 1.
#   stop_pid PID
#       Stops the process and waits for it.

work=$(mktemp -d)
pids=()

stop_pid() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

sim_session_cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    stop_pid "$pid"
  done
  rm -rf "$work"
}
trap sim_session_cleanup EXIT

start_sim() {
  local name=$1 within=20
  shift
  if [ "$1" = "--within" ]; then
    within=$2
    shift 2
  fi
  "$@" >"$work/$name.out" 2>"$work/$name.err" &
  sim_pid=$!
  pids+=("$sim_pid")
  local deadline=$((SECONDS + within))
  until grep -qs '^listening on port ' "$work/$name.out"; do
    if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$sim_pid" 2>/dev/null; then
      echo "${0##*/}: tarvik-sim did not start:" >&2
      cat "$work/$name.err" >&2
      exit 1
    fi
    sleep 0.05
  done
  # shellcheck disable=SC2034  # read by the script that sources this file
  port=$(sed -n 's/^listening on port //p' "$work/$name.out" | tr -d '\r')
}
