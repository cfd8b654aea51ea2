#!/usr/bin/env bash
# How soon a vehicle ordered on the PC is at the equipment, how soon its result is on the
# share, and how many vehicles a hub passes a minute: the dev-build concentrator (GIEGLAN
# station, LAN link on loopback) against the equipment simulator playing a hub with a gas
# analyser, an opacimeter and a headlamp tester on 127.0.0.1. Figures only.
#
# Cases (all of them when none is named):
#   steady        order file on the share -> first "0120" of that vehicle on the link, the
#                 box long up and the table empty; each order dropped at a random moment
#   start         the same, the order dropped at a random moment of the first 10 s after
#                 the box starts (each run a fresh start, the table empty)
#   reconnect0    the same, the order dropped as the box's connection is made again to
#   reconnect1    equipment restarted on its port (TCP), with 0, 1 or 10 other vehicles
#   reconnect10   without results in the table, which the box sends again first
#   delivery      last frame of a result -> its file on the share (bench/delivery.sh)
#   throughput    vehicles a minute through the hub, each vehicle's result ready 2 s
#                 after it is sent; the PC takes each result and removes its order
# Each latency case prints the median and the worst of its runs. An order file is written
# under a hidden name and renamed, so the box never reads half a file; the times on the
# link are the simulator's stamps of the frames (milliseconds).
#
#   bash bench/latency.sh [-n RUNS] [-b BUILD-DIR] [CASE...]
#
# RUNS (default 3) is the number of orders timed per latency case, twice that many vehicles
# for delivery and throughput. BUILD-DIR defaults to build/dev, built first; any other
# dev-preset build of the project (an older revision, say) is run as it is, in its own
# sandbox root <build-dir>/root, which the script empties.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=3 build=""
while getopts "n:b:" opt; do
  case "$opt" in
    n) runs="$OPTARG" ;;
    b) build="$OPTARG" ;;
    *) echo "usage: bash bench/latency.sh [-n RUNS] [-b BUILD-DIR] [CASE...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
cases=("$@")
[ "${#cases[@]}" -gt 0 ] || cases=(steady start reconnect0 reconnect1 reconnect10 delivery throughput)
for c in "${cases[@]}"; do
  case "$c" in
    steady | start | reconnect0 | reconnect1 | reconnect10 | delivery | throughput) ;;
    *) echo "latency.sh: unknown case $c" >&2; exit 2 ;;
  esac
done
build_arg="${build:+ -b $build}"
. bench/lib.sh
bench_build "$build"
work=$(mktemp -d)
sim_pid="" box_pid="" port=0 simlog=""
stop_box() { [ -z "$box_pid" ] || { kill "$box_pid" 2>/dev/null || true; wait "$box_pid" 2>/dev/null || true; }; box_pid=""; }
stop_sim() { [ -z "$sim_pid" ] || { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }; sim_pid=""; }
trap 'stop_box; stop_sim; rm -rf "$work"' EXIT

# Seconds since midnight, to the millisecond, as the simulator stamps its frames.
now_tod() { date +%H:%M:%S.%N | awk -F: '{ printf "%.3f\n", $1 * 3600 + $2 * 60 + $3 }'; }

# start_sim [equipsim options]: the hub on $port (0 the first time: any free port), its
# frames in a fresh $simlog.
sims=0
start_sim() {
  sims=$((sims + 1))
  simlog="$work/sim$sims.txt"
  "$build/tools/equipsim" --tcp "$port" --hub --periph G,O,P "$@" > "$simlog" 2>&1 &
  sim_pid=$!
  local p
  p=$(bench_sim_port "$simlog")
  [ -n "$p" ] || { echo "latency.sh: the simulator did not start" >&2; cat "$simlog" >&2; exit 1; }
  port=$p
}
start_box() {
  "$build/concentrator" > "$work/box.txt" 2>&1 &
  box_pid=$!
}

# wait_line PATTERN SECONDS: 0 once a line of the simulator's output matches (grep -E).
wait_line() {
  local until=$((SECONDS + $2))
  while [ "$SECONDS" -lt "$until" ]; do
    grep -qE "$1" "$simlog" 2>/dev/null && return 0
    sleep 0.02
  done
  return 1
}
# The simulator's stamp (seconds since midnight) of the first line matching PATTERN.
stamp_of() {
  grep -m1 -E "$1" "$simlog" | awk '{ split($1, t, ":"); printf "%.3f\n", t[1] * 3600 + t[2] * 60 + t[3] }'
}
padkey() { printf '%-10s' "$1"; }
sent_re() { echo "box --> sim  <STX>0120$(padkey "$1")"; }
withdrawn_re() { echo "box --> sim  <STX>0150$(padkey "$1")"; }

# put_order KEY PLATE: a GIEGLAN order on the share; prints the moment it appeared.
put_order() {
  printf '[VEHICULE]\r\n0200=%s\r\n0203=06122026\r\n0204=ES\r\n[CRC]\r\n0200=0\r\n' "$2" \
    > "$share/CG/.$1.tmp"
  local t
  t=$(now_tod)
  mv "$share/CG/.$1.tmp" "$share/CG/$1.CG"
  echo "$t"
}
remove_order() { rm -f "$share/CG/$1.CG"; }

# time_order KEY PLATE: drops the order, waits for its first "0120" on the link and
# appends the delay (seconds) to $work/samples; the order is then removed and its
# withdrawal awaited, so the next run finds the table as this one did.
time_order() {
  local t0 t1
  t0=$(put_order "$1" "$2")
  if ! wait_line "$(sent_re "$1")" 120; then
    echo "  (no 0120 for $1 within 120 s)" >&2
    echo "timeout" >> "$work/samples"
    remove_order "$1"
    return
  fi
  t1=$(stamp_of "$(sent_re "$1")")
  awk -v a="$t0" -v b="$t1" 'BEGIN { d = b - a; if (d < -43200) d += 86400; printf "%.3f\n", d }' \
    >> "$work/samples"
  remove_order "$1"
  wait_line "$(withdrawn_re "$1")" 60 || echo "  (no 0150 for $1 within 60 s)" >&2
}

# report LABEL CASE: median and worst of $work/samples.
report() {
  awk -v label="$1" '
    $1 == "timeout" { lost++; next }
    { v[++n] = $1 }
    END {
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      med = n == 0 ? 0 : (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2)
      printf "%s\n  order -> 0120, median: %.2f s\n  order -> 0120, worst:  %.2f s   (%d runs", label, med, n ? v[n] : 0, n
      if (lost) printf ", %d without a 0120 in 120 s", lost
      printf ")\n"
    }' "$work/samples"
  echo "  reproduce: bash bench/latency.sh -n $runs$build_arg $2"
}

# A box up with the hub identified and polled.
box_up() {
  start_box
  wait_line "box --> sim  <STX>0121" 90 || { echo "latency.sh: the box never polled the hub" >&2; exit 1; }
}

case_steady() {
  : > "$work/samples"
  port=0; bench_sandbox; start_sim; bench_param "$port"; box_up
  for i in $(seq "$runs"); do
    sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.2f", r % 500 / 100 }')" # any moment of the 5 s reading
    time_order "$(printf 'S%03d' "$i")" "$(printf 'ST%03dAA' "$i")"
  done
  stop_box; stop_sim
  report "steady state, table empty" steady
}

case_start() {
  : > "$work/samples"
  port=0; bench_sandbox; start_sim; bench_param "$port"
  for i in $(seq "$runs"); do
    local key t0 t1
    key=$(printf 'B%03d' "$i")
    start_box
    sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.2f", r % 1000 / 100 }')"
    t0=$(put_order "$key" "$(printf 'BT%03dAA' "$i")")
    if wait_line "$(sent_re "$key")" 120; then
      t1=$(stamp_of "$(sent_re "$key")")
      awk -v a="$t0" -v b="$t1" 'BEGIN { d = b - a; if (d < -43200) d += 86400; printf "%.3f\n", d }' \
        >> "$work/samples"
    else
      echo "timeout" >> "$work/samples"
    fi
    stop_box
    remove_order "$key"
  done
  stop_sim
  report "right after the box starts (order within its first 10 s)" start
}

# case_reconnect N: N other vehicles in the table, all with the equipment, then for each
# run the equipment restarts on its port and the order is dropped as the box's first
# frame reaches it.
case_reconnect() {
  local others="$1"
  : > "$work/samples"
  port=0; bench_sandbox; start_sim; bench_param "$port"; box_up
  for k in $(seq "$others"); do put_order "$(printf 'O%03d' "$k")" "$(printf 'OT%03dAA' "$k")" > /dev/null; done
  for k in $(seq "$others"); do
    wait_line "$(sent_re "$(printf 'O%03d' "$k")")" 120 || { echo "latency.sh: vehicle O$k never sent" >&2; exit 1; }
  done
  for i in $(seq "$runs"); do
    stop_sim
    start_sim
    wait_line "box --> sim" 60 || { echo "latency.sh: the box did not connect again" >&2; exit 1; }
    time_order "$(printf 'R%03d' "$i")" "$(printf 'RT%03dAA' "$i")"
  done
  stop_box; stop_sim
  report "right after the equipment reconnects (TCP), $others other vehicle(s) in the table" "reconnect$others"
}

case_throughput() {
  local n=$((runs * 2))
  port=0; bench_sandbox; start_sim --auto-results --result-delay 2000; bench_param "$port"; box_up
  local t0 k
  t0=$(now_tod)
  for k in $(seq "$n"); do put_order "$(printf 'T%03d' "$k")" "$(printf 'TP%03dAA' "$k")" > /dev/null; done
  : > "$work/done"
  local left=$n until=$((SECONDS + n * 60 + 60))
  declare -A done=()
  while [ "$left" -gt 0 ] && [ "$SECONDS" -lt "$until" ]; do
    for k in $(seq "$n"); do
      local key
      key=$(printf 'T%03d' "$k")
      [ -n "${done[$key]:-}" ] && continue
      # one file per instrument: the gas, opacity and headlamp files
      [ -f "$share/RES/$key.G" ] && [ -f "$share/RES/$key.O" ] && [ -f "$share/RES/$key.P" ] || continue
      done[$key]=1
      left=$((left - 1))
      now_tod >> "$work/done"
      remove_order "$key" # the PC takes the result and clears the order
    done
    sleep 0.05
  done
  stop_box; stop_sim
  sort -n "$work/done" | awk -v t0="$t0" -v n="$n" -v runs="$runs" -v b="$build_arg" '
    { d = $1 - t0; if (d < 0) d += 86400; t[++m] = d }
    END {
      prev = 0
      for (i = 1; i <= m; i++) { g[i] = t[i] - prev; prev = t[i] }
      for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (g[j] < g[i]) { x = g[i]; g[i] = g[j]; g[j] = x }
      med = m == 0 ? 0 : (m % 2 ? g[(m + 1) / 2] : (g[m / 2] + g[m / 2 + 1]) / 2)
      printf "one hub with G, O and P, each result ready 2 s after the vehicle is sent\n"
      printf "  vehicles done:              %d of %d in %.1f s\n", m, n, m ? t[m] : 0
      printf "  vehicles per minute:        %.2f\n", (m && t[m] > 0) ? m * 60 / t[m] : 0
      printf "  time per vehicle, median:   %.2f s\n", med
      printf "  time per vehicle, worst:    %.2f s\n", m ? g[m] : 0
      printf "  reproduce: bash bench/latency.sh -n %d%s throughput\n", runs, b
    }'
}

case_delivery() {
  echo "last frame of a result -> its file on the share (bench/delivery.sh)"
  bash bench/delivery.sh "$((runs * 2))" 0 "$build" | sed -e '/^reproduce/d' -e 's/^/  /'
  echo "  reproduce: bash bench/delivery.sh $((runs * 2)) 0$( [ -n "$build_arg" ] && echo " $build")"
}

for c in "${cases[@]}"; do
  case "$c" in
    steady) case_steady ;;
    start) case_start ;;
    reconnect0) case_reconnect 0 ;;
    reconnect1) case_reconnect 1 ;;
    reconnect10) case_reconnect 10 ;;
    delivery) case_delivery ;;
    throughput) case_throughput ;;
  esac
done
