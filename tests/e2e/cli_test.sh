#!/usr/bin/env bash
# End-to-end test of the tarvik tool: starts tarvik-sim on a free port and
# checks the output and exit code of every command, the error paths and the
# reconnection of watch.
#
# Usage: cli_test.sh PATH/TO/tarvik-sim PATH/TO/tarvik VERSION PATH/TO/libtarvik.so
set -u
sim=$1
cli=$2
version=$3
lib=$4
# shellcheck source=scripts/sim_session.sh
source "$(dirname "$0")/../../scripts/sim_session.sh"
failures=0
checks=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

# more_lines FILE N: the file has more than N lines.
more_lines() {
  [ "$(wc -l <"$1")" -gt "$2" ]
}

# run_program NAME PROGRAM RC ARGS...: runs PROGRAM (output in $work/out,
# $work/err) and checks its exit code.
run_program() {
  local name=$1 program=$2 want=$3
  shift 3
  checks=$((checks + 1))
  "$program" "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  if [ "$rc" -ne "$want" ]; then
    fail "$name $* exited with $rc, expected $want"
    sed 's/^/  | /' "$work/out" "$work/err" | head -20
    return 1
  fi
  return 0
}

# run RC ARGS...: the tool.
run() {
  run_program tarvik "$cli" "$@"
}

# expect FILE PATTERN: the file has a line matching the extended regex.
expect() {
  checks=$((checks + 1))
  if ! grep -Eq -- "$2" "$1"; then
    fail "no line /$2/ in the output of the last command"
    sed 's/^/  | /' "$1" | head -20
  fi
}

# expect_count FILE PATTERN N: exactly N lines match.
expect_count() {
  checks=$((checks + 1))
  local n
  n=$(grep -Ec -- "$2" "$1")
  [ "$n" -eq "$3" ] || fail "$n lines /$2/ instead of $3"
}

start_sim main "$sim" --simulate 100 --seed 7
main_pid=$sim_pid
P=(--port "$port")

# ---- help and usage errors -------------------------------------------------
run 0 --help && expect "$work/out" '^Usage:'
for cmd in points types fields read write watch history history-raw history-write; do
  run 0 "$cmd" --help && expect "$work/out" "^Usage: .* $cmd"
done
run 1                                     # no command
run 1 read TANK101                        # neither --port nor --local
run 1 "${P[@]}" bogus && expect "$work/err" "unknown command 'bogus'"
run 0 --version && expect "$work/out" "^tarvik $version\$"
checks=$((checks + 1))
grep -aq "@(#)tarvik $version" "$lib" || fail "$lib does not carry the version $version"
run 0 --help && expect_count "$work/out" '/' 0   # no build path in the usage
# Host and port from the environment when not given.
TARVIK_PORT=$port run 0 --csv types && expect "$work/out" '^1,5$'
TARVIK_HOST=127.0.0.1 TARVIK_PORT=$port run 0 --csv types
TARVIK_HOST=nosuchhost.invalid TARVIK_PORT=1 run 0 --csv --host 127.0.0.1 --port "$port" types
TARVIK_PORT=70000 run 1 types && expect "$work/err" 'TARVIK_PORT'
run 1 "${P[@]}" --bogus points
run 1 "${P[@]}" --local points
run 1 "${P[@]}" --csv --json points
run 1 "${P[@]}" read                      # no item
run 1 "${P[@]}" fields
run 1 "${P[@]}" write TANK101.SP
run 1 "${P[@]}" history TANK101 --from yesterday
run 1 "${P[@]}" history TANK101 --from "2024-02-30 10:00:00"
run 1 "${P[@]}" history TANK101 --from -1h --samples 0
run 1 "${P[@]}" watch TANK101 --for -1
run 1 "${P[@]}" history-write TANK101 --file "$work/missing.csv"
printf 'time,status,value\n2024-01-01 10:00:00,70000,1\n' >"$work/bad.csv"
run 1 "${P[@]}" history-write TANK101 --file "$work/bad.csv" && expect "$work/err" 'bad.csv:2:'

# ---- tarvik-sim: version and usage ------------------------------------------
sim_run() {
  run_program tarvik-sim "$sim" "$@"
}
sim_run 0 --version && expect "$work/out" "^tarvik-sim $version\$"
sim_run 1 --bogus && expect "$work/err" 'not expected: --bogus'
sim_run 1 --db "$work/missing.json" && expect "$work/err" 'missing.json: No such file'
sim_run 1 --no-tcp && expect "$work/err" 'nothing to serve'
printf '{\n  "types": [\n    {"id": 1,,}\n' >"$work/bad.json"
sim_run 1 --db "$work/bad.json" && expect "$work/err" 'bad.json: not valid JSON: line 3, column 14: '

# Tables pad by the columns a text takes, not by its bytes.
cat >"$work/utf8.json" <<'JSON'
{"types": [{"id": 1, "fields": [{"name": "STATE", "type": "text"}]}],
 "points": [{"name": "P1", "type": 1, "values": {"STATE": "Füllen"}},
            {"name": "P2", "type": 1, "values": {"STATE": "日本"}}]}
JSON
start_sim utf8 "$sim" --db "$work/utf8.json"
run 0 --port "$port" read P1.STATE P2.STATE && expect "$work/out" '^P1.STATE  Füllen  text$'
expect "$work/out" '^P2.STATE  日本    text$'
stop_pid "$sim_pid"

# ---- directory -------------------------------------------------------------
run 0 "${P[@]}" points && expect "$work/out" '^INDEX +NAME +TYPE +AUX$'
expect "$work/out" '^ +0 +TANK101 +1 +1$'
expect "$work/out" '^ +35 +TI104 +5 +3$'
run 0 "${P[@]}" --csv points && expect_count "$work/out" '.' 37
expect "$work/out" '^index,name,type,aux$'
expect "$work/out" '^16,VALVE101,3,2$'
run 0 "${P[@]}" --json points && expect "$work/out" '"name": "FIC106"'
expect_count "$work/out" '"index"' 36
run 0 "${P[@]}" --csv types && expect_count "$work/out" '^[0-9]+,[0-9]+$' 5
checks=$((checks + 1))
[ "$(sed 1d "$work/out" | cut -d, -f1 | tr '\n' ' ')" = "1 2 3 4 5 " ] || fail "types not in order of their ids"
expect "$work/out" '^5,3$'
run 0 "${P[@]}" --json write --yes TANK101.SP=50 && expect "$work/out" '"sent_as": "double"'
expect_count "$work/out" '"[a-z]+ [a-z]+":' 0   # JSON keys without blanks
run 0 "${P[@]}" --csv fields 5 && expect "$work/out" '^255,ALARM,long$'
expect "$work/out" '^10,UNIT,text$'
run 0 "${P[@]}" --csv fields tank101 && expect_count "$work/out" '^[0-4],' 5
expect "$work/out" '^4,STATE,text$'

# ---- read and write --------------------------------------------------------
run 0 "${P[@]}" --csv read tank101.state PUMP101.RUN TI101.UNIT TI101.ALARM TANK102 &&
  expect "$work/out" '^TANK101.STATE,NORMAL,text$'
expect "$work/out" '^PUMP101.RUN,1,long$'
expect "$work/out" '^TI101.UNIT,degC,text$'
expect "$work/out" '^TI101.ALARM,0,long$'
expect "$work/out" '^TANK102.PV,[0-9.e-]+,double$'
run 0 "${P[@]}" read TANK101 && expect "$work/out" '^TANK101.PV +[0-9.]+ +double$'
run 0 "${P[@]}" write TANK103.SP=62.5 PUMP103.RUN=0 "TANK103.STATE=HIGH LEVEL" TANK103.HI=95 &&
  expect "$work/out" '^TANK103.HI +95 +double +double$'
expect "$work/out" '^ITEM +VALUE +SENT AS +FIELD$'
expect "$work/out" '^TANK103.SP +62.5 +double +double$'
run 0 "${P[@]}" --json write --convert TI103.ALARM=3.7 && expect "$work/out" '"sent_as": "double"'
run 0 "${P[@]}" --csv read TANK103.SP PUMP103.RUN TANK103.STATE TI103.ALARM TANK103.HI &&
  expect "$work/out" '^TANK103.SP,62.5,double$'
expect "$work/out" '^PUMP103.RUN,0,long$'
expect "$work/out" '^TANK103.STATE,HIGH LEVEL,text$'
expect "$work/out" '^TI103.ALARM,4,long$'   # --convert: the library rounds a double for a long field
expect "$work/out" '^TANK103.HI,95,double$'
# Values that are not of the field's type are refused (7) and nothing is written.
for bad in TANK104.SP=abc TANK104.SP= TANK104.SP=nan TANK104.SP=-inf TANK104.SP=1e999 \
  PUMP104.RUN=99999999999 PUMP104.RUN=1.7 PUMP104.RUN=0x10 "TANK104.STATE=$(printf 'x%.0s' {1..64})"; do
  run 7 "${P[@]}" write TANK104.HI=1 "$bad" && expect "$work/err" "nothing was written"
done
expect "$work/err" "TANK104.STATE is a text field: 'x+' is longer than the 63 characters"
run 7 "${P[@]}" write PUMP104.RUN=1.7 && expect "$work/err" "PUMP104.RUN is a long field: '1.7' has a fraction"
run 0 "${P[@]}" --csv read TANK104.HI PUMP104.RUN && expect "$work/out" '^TANK104.HI,90,double$'
expect "$work/out" '^PUMP104.RUN,1,long$'
# On a terminal the tool asks first; "n" writes nothing (8), --yes does not ask.
if command -v script >/dev/null; then
  checks=$((checks + 1))
  printf 'n\n' | script -qec "'$cli' ${P[*]} write PUMP104.RUN=5" /dev/null >"$work/tty" 2>&1
  rc=$?
  [ "$rc" -eq 8 ] || fail "write answered 'n' exited with $rc, expected 8"
  expect "$work/tty" '^PUMP104.RUN +1 +5 +long'
  expect "$work/tty" 'Write 1 value\? \[y/N\]'
  printf 'y\n' | script -qec "'$cli' ${P[*]} write PUMP104.RUN=6" /dev/null >"$work/tty" 2>&1
  expect "$work/tty" '^PUMP104.RUN +6 +long +long'
  printf '' | script -qec "'$cli' ${P[*]} write -y PUMP104.RUN=8" /dev/null >"$work/tty" 2>&1
  expect_count "$work/tty" 'y/N' 0
  run 0 "${P[@]}" --csv read PUMP104.RUN && expect "$work/out" '^PUMP104.RUN,8,long$'
fi
run 0 "${P[@]}" --json read TANK103.STATE TANK103.SP &&
  expect "$work/out" '"value": "HIGH LEVEL"'
expect "$work/out" '"value": 62.5'

# ---- unknown items, types and points -> 2 ---------------------------------
run 2 "${P[@]}" read NOPE && expect "$work/err" "unknown item 'NOPE'"
run 2 "${P[@]}" read TANK101 TANK101.NOPE && expect "$work/err" "no field 'NOPE'"
[ -s "$work/out" ] && fail "read with an unknown item printed values"
run 2 "${P[@]}" read PUMP101              # a pump has no PV
run 2 "${P[@]}" read "TANK101."
run 2 "${P[@]}" read "$(printf 'T%.0s' {1..40})"
run 2 "${P[@]}" write NOPE.SP=1
run 2 "${P[@]}" watch TANK101 NOPE --for 1
run 2 "${P[@]}" history NOPE --from -1h
run 2 "${P[@]}" history-raw TANK101.NOPE --from -1h
run 2 "${P[@]}" fields 99
run 2 "${P[@]}" fields NOPE

# ---- history ----------------------------------------------------------------
cat >"$work/records.csv" <<'CSV'
time,status,value
# a comment, then a blank line

2024-03-10 08:00:00,0,1.5
2024-03-10T08:00:30,192,2.25
2024-03-10 08:01:00, 7 ,-3
CSV
run 0 "${P[@]}" history-write FIC102.TOTAL --file "$work/records.csv" &&
  expect "$work/out" '^FIC102.TOTAL +3$'
run 0 "${P[@]}" --csv history-raw FIC102.TOTAL --from "2024-03-10 07:00:00" --to "2024-03-10 09:00:00" &&
  expect_count "$work/out" '.' 4
expect "$work/out" '^2024-03-10 08:00:00,0,1.5$'
expect "$work/out" '^2024-03-10 08:00:30,192,2.25$'
expect "$work/out" '^2024-03-10 08:01:00,7,-3$'
run 0 "${P[@]}" --csv history-raw FIC102.TOTAL --from "2024-03-10 08:00:10" --to "2024-03-10 08:00:50" &&
  expect_count "$work/out" '.' 2
run 0 "${P[@]}" --csv history-raw FIC103.TOTAL --from -1h && expect_count "$work/out" '.' 1
run 0 "${P[@]}" --csv history FIC102.TOTAL TANK103.SP --from "2024-03-10 07:59:00" \
  --to "2024-03-10T08:01:00" --samples 5 && expect_count "$work/out" '.' 6
expect "$work/out" '^time,FIC102.TOTAL,TANK103.SP$'
expect "$work/out" '^2024-03-10 07:59:00,1.5,'
expect "$work/out" '^2024-03-10 08:00:30,2.25,'
expect "$work/out" '^2024-03-10 08:01:00,-3,'
# Relative times: the write above is in the history of now.
run 0 "${P[@]}" --csv history-raw TANK103.SP --from -10m --to +1m && expect "$work/out" ',62.5$'
run 0 "${P[@]}" --json history TANK101 --from -1m -n 2 && expect_count "$work/out" '"TANK101.PV"' 2
# Times in other zones, in seconds since 1970 and with fractions; a quoted CSV.
# The tool runs in a zone one hour east of UTC (no summer time).
cat >"$work/zones.csv" <<'CSV'
time,status,value
"2024-03-10T08:00:00Z","0","1.5"
@1710057630,1,2
2024-03-10 09:01:00+01:00,2,3
2024-03-10T03:02:00-05:00,3,4
2024-03-10 09:03:00.4,4,5
CSV
TZ=XYZ-1 run 0 "${P[@]}" history-write FIC104.TOTAL --file "$work/zones.csv" &&
  expect "$work/out" '^FIC104.TOTAL +5$'
TZ=UTC0 run 0 "${P[@]}" --csv history-raw FIC104.TOTAL --from 2024-03-10T07:59:00Z --to @1710057900 &&
  expect_count "$work/out" '^2024-03-10 08:0[0-3]:[03]0,[0-4],[1-5](\.5)?$' 5
TZ=XYZ-1 run 0 "${P[@]}" --json history-raw FIC104.TOTAL --from "2024-03-10 09:00" --to "2024-03-10 09:05" &&
  expect "$work/out" '"time": "2024-03-10T09:00:30\+01:00"'
expect_count "$work/out" '"time": "2024-03-10T09:0[0-3]:[03]0\+01:00"' 5
# What --csv writes, history-write reads back.
TZ=XYZ-1 run 0 "${P[@]}" --csv history-raw FIC104.TOTAL --from "2024-03-10 09:00" --to "2024-03-10 09:05" &&
  cp "$work/out" "$work/roundtrip.csv"
TZ=XYZ-1 run 0 "${P[@]}" history-write FIC105.TOTAL --file "$work/roundtrip.csv" &&
  expect "$work/out" '^FIC105.TOTAL +5$'
TZ=XYZ-1 run 0 "${P[@]}" --csv history-raw FIC105.TOTAL --from "2024-03-10 09:00" --to "2024-03-10 09:05" &&
  { checks=$((checks + 1)); cmp -s "$work/out" "$work/roundtrip.csv" || fail "history-write did not read back what --csv wrote"; }
# Samples between whole seconds print milliseconds; JSON carries the offset.
TZ=XYZ-1 run 0 "${P[@]}" --csv history FIC104.TOTAL --from "2024-03-10 09:00:00" --to "2024-03-10T08:00:01Z" -n 3 &&
  expect "$work/out" '^2024-03-10 09:00:00.500,1.5$'
expect "$work/out" '^2024-03-10 09:00:01.000,1.5$'
# A range that ends before it starts, and times that are none.
run 1 "${P[@]}" history TANK101 --from -1h --to -2h && expect "$work/err" 'ends before it starts'
run 1 "${P[@]}" history-raw TANK101 --from "2024-03-10T10:00:00+25:00"
run 1 "${P[@]}" history-raw TANK101 --from "@12x"
printf 'time,status,value\n"2024-03-10 10:00:00,0,1\n' >"$work/open.csv"
run 1 "${P[@]}" history-write TANK101 --file "$work/open.csv" && expect "$work/err" 'open.csv:2: a quoted field does not end'
# More values than the server answers: the request fails -> 5.
run 5 "${P[@]}" history TANK101 TANK102 TANK103 TANK104 TANK105 TANK106 TANK107 TANK108 \
  FIC101 FIC102 FIC103 --from -1h --samples 100000 && expect "$work/err" 'history read failed'

# ---- watch ----------------------------------------------------------------
run 0 "${P[@]}" watch TANK101 TANK101.STATE --for 1.5 && expect "$work/out" '^TIME +ITEM +VALUE$'
expect "$work/out" '^[0-9-]{10} [0-9:.]{12}  TANK101.STATE  NORMAL$'
checks=$((checks + 1))
[ "$(grep -c 'TANK101.PV' "$work/out")" -ge 3 ] || fail "watch saw fewer than 3 values of TANK101.PV"
run 0 "${P[@]}" --json watch FIC101 --for 1 && expect "$work/out" '^\{"time":"[^"]+","item":"FIC101.PV","value":[0-9.e-]+\}$'
run 0 "${P[@]}" --csv watch TANK104.SP --for 0.5 && expect "$work/out" '^time,item,value$'
expect "$work/out" ',TANK104.SP,50$'
# --count ends after so many value lines, the current values included.
run 0 "${P[@]}" --csv watch TANK101 FIC101 --count 5 && expect_count "$work/out" ',[A-Z0-9]+\.PV,' 5
run 0 "${P[@]}" --csv watch TANK101 FIC101 --count 1 && expect_count "$work/out" ',[A-Z0-9]+\.PV,' 1
run 1 "${P[@]}" watch TANK101 --count 0

# Ctrl-C ends a watch with exit code 0.
"$cli" "${P[@]}" watch TANK101 >"$work/watch.out" 2>&1 &
watch_pid=$!
pids+=("$watch_pid")
checks=$((checks + 1))
if wait_for 20 grep -qs 'TANK101.PV' "$work/watch.out"; then
  kill -INT "$watch_pid"
  wait "$watch_pid"
  rc=$?
  [ "$rc" -eq 0 ] || fail "watch ended by SIGINT exited with $rc"
else
  fail "watch printed nothing"
fi

# ---- no server -> 3 -----------------------------------------------------------
start_sim gone "$sim"
gone_port=$port
stop_pid "$sim_pid"
run 3 --port "$gone_port" --timeout 3000 read TANK101 && expect "$work/err" 'no server'
expect "$work/err" "no server found at 127.0.0.1:$gone_port \(CONN_NO_SERVER: [0-9]+ Connection refused\)"
run 3 --host "" --port "$gone_port" --timeout 3000 read TANK101 &&
  expect "$work/err" 'CONN_NO_SERVER: [0-9]+ Destination address required'
run 3 --port "$gone_port" --timeout 3000 points

# ---- watch reconnects when the server goes away and comes back ------------------
start_sim first "$sim" --simulate 100
first_pid=$sim_pid
same_port=$port
"$cli" --port "$same_port" watch TANK101 >"$work/rewatch.out" 2>"$work/rewatch.err" &
watch_pid=$!
pids+=("$watch_pid")
checks=$((checks + 1))
if wait_for 20 grep -qs 'TANK101.PV' "$work/rewatch.out"; then
  stop_pid "$first_pid"
  if wait_for 20 grep -qs 'connection lost' "$work/rewatch.err"; then
    start_sim second "$sim" --simulate 100 --port "$same_port"
    if wait_for 30 grep -qs 'connected again' "$work/rewatch.err"; then
      lines=$(wc -l <"$work/rewatch.out")
      wait_for 20 more_lines "$work/rewatch.out" "$lines" ||
        fail "watch printed no value after reconnecting"
    else
      fail "watch did not reconnect"
    fi
  else
    fail "watch did not report the lost connection"
  fi
  kill -INT "$watch_pid"
  wait "$watch_pid"
  rc=$?
  [ "$rc" -eq 0 ] || fail "watch exited with $rc"
else
  fail "watch printed nothing"
fi
sed 's/^/  watch stderr: /' "$work/rewatch.err"

echo "$checks checks, $failures failures"
[ "$failures" -eq 0 ]
