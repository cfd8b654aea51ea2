#!/usr/bin/env bash
# Delivery time of the result files: the dev-build concentrator against the simulated hub
# (GIEGLAN station, LAN link on loopback, a gas analyser making a result for every
# vehicle), N vehicles (default 20). For each vehicle: the time from the last frame of its
# result, as the simulator stamps it, to its file under its real name on the share (the
# file's status-change time: its rename, or its last write when written in place). Two
# runs: the share usable throughout; then the share unusable (testNetwork.sh answering 1)
# for S seconds (default 30) from the clock synchronisation after the fifth file on, then
# back. The box asks the equipment for nothing while it cannot take the clock from the
# share, so the results taken while the share is down are those already on their way.
# For the second run it also prints how many were taken while the share was down and the
# time from the share's return to the last of them on the share (the time to drain the
# outbox); an offline time of 0 makes the first run only. A result whose file only
# came from a later result of the same vehicle (the order stays on the share, so the
# vehicle is tested again) counts as lost. Figures only.
#
#   bash bench/delivery.sh [vehicles] [offline-seconds] [build-dir]
#
# build-dir defaults to build/dev, built first; any other dev-preset build of the project
# (an older revision, say) is run as it is, in its own sandbox root <build-dir>/root.
set -euo pipefail
cd "$(dirname "$0")/.."
n="${1:-20}" off="${2:-30}"
. bench/lib.sh
bench_build "${3:-}"
bench_work
now() { date +%s.%N; }

# run LABEL OFFLINE-SECONDS: one run; prints its figures
run() {
  local label="$1" offline="$2"
  bench_road "$n"

  # watch the share: the first sight of each vehicle's file, with its status-change time
  : > "$work/files.txt"
  local count=0 started down_at="" back_at="" deadline clocks_at_five=""
  started=$(date +%s)
  deadline=$((started + n * 20 + offline + 90))
  declare -A seen=()
  while [ "$count" -lt "$n" ] && [ "$(date +%s)" -lt "$deadline" ]; do
    for f in "$share/RES"/V*.G; do
      [ -f "$f" ] || continue
      local k
      k=$(basename "$f" .G)
      [ -n "${seen[$k]:-}" ] && continue
      seen[$k]=1
      count=$((count + 1))
      echo "$k $(stat -c %.9Z "$f")" >> "$work/files.txt"
    done
    # the share goes down once the clock has been taken from it after the fifth file: the
    # box asks for no result while it cannot take the clock, so this is when a result can
    # reach it with the share down
    if [ "$offline" -gt 0 ] && [ -z "$down_at" ] && [ "$count" -ge 5 ]; then
      local clocks
      clocks=$(grep -c 'box --> sim  <STX>0130' "$work/sim.txt" || true)
      if [ -z "$clocks_at_five" ]; then
        clocks_at_five=$clocks
      elif [ "$clocks" -gt "$clocks_at_five" ]; then
        network 1
        down_at=$(now)
      fi
    fi
    if [ -n "$down_at" ] && [ -z "$back_at" ] &&
       awk -v a="$down_at" -v b="$(now)" -v s="$offline" 'BEGIN { exit !(b - a >= s) }'; then
      network 0
      back_at=$(now)
    fi
    sleep 0.05
  done
  stop_all

  # the simulator's time of day of the last frame of each result, first and second result
  local midnight
  midnight=$(date -d "$(date +%F) 00:00:00" +%s)
  awk -v m="$midnight" '
    /sim --> box +<STX>0122V/ && /<ETB>0905<ETX>/ {
      split($1, t, ":"); s = m + t[1] * 3600 + t[2] * 60 + t[3]
      k = substr($5, 10, 5); c = ++seen[k]
      if (c <= 2) printf "%s %d %.3f\n", k, c, s
    }' "$work/sim.txt" > "$work/frames.txt"
  awk -v label="$label" -v n="$n" -v down="${down_at:-0}" -v back="${back_at:-0}" '
    FILENAME ~ /frames/ { fr[$1, $2] = $3; if ($2 == 1) keys[$1] = 1; next }
    { file[$1] = $2 }
    END {
      m = 0; lost = 0; late = 0; drain = 0
      for (k in keys) {
        down_then = back > 0 && fr[k, 1] >= down && fr[k, 1] < back
        if (down_then) late++
        # no file, or one that only came from a later result: this result was lost
        if (!(k in file) || (((k, 2) in fr) && file[k] > fr[k, 2])) { lost++; continue }
        d = (file[k] - fr[k, 1]) * 1000; lat[++m] = d
        if (down_then && file[k] - back > drain) drain = file[k] - back
      }
      for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (lat[j] < lat[i]) { t = lat[i]; lat[i] = lat[j]; lat[j] = t }
      med = m == 0 ? 0 : (m % 2 ? lat[(m + 1) / 2] : (lat[m / 2] + lat[m / 2 + 1]) / 2)
      printf "%s\n", label
      printf "  files on the share:         %d of %d vehicles\n", m, n
      printf "  last frame to file, median: %.1f ms\n", med
      printf "  last frame to file, worst:  %.1f ms\n", m ? lat[m] : 0
      if (back > 0) {
        printf "  results taken while down:   %d\n", late
        printf "  drain after the share came back: %.2f s\n", drain
      }
      printf "  results lost:               %d\n", lost
    }' "$work/frames.txt" "$work/files.txt"
}

run "share usable throughout ($n vehicles)" 0
[ "$off" -gt 0 ] && run "share unusable for ${off} s after the fifth file, then back ($n vehicles)" "$off"
echo "reproduce: bash bench/delivery.sh $n $off${3:+ $3}"
