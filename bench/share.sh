#!/usr/bin/env bash
# The concentrator over a real share: a Samba server on 127.0.0.1 (a free port, a
# private configuration under the build tree) mounted on the dev sandbox's /mnt/GIEGLAN
# through the FUSE SMB client smbnetfs, checked by the packaged testNetwork.sh; the
# simulated hub (GIEGLAN station, LAN link on loopback) makes a result for every vehicle.
# Figures only.
#
# Run 1, the PC up: N vehicles (default 10); the time from the last frame of each result,
# as the simulator stamps it, to its file on the PC (the file's status-change time in the
# PC's own directory: its rename), median and worst.
#
# Run 2, the PC away: N vehicles, results arriving all along; the PC switched off (server
# stopped) for S seconds (default 40), back, then hanging (server frozen) for S seconds,
# back. Printed: the longest stall of the liveness file; the longest silence towards the
# equipment (the box asks the equipment for nothing while it cannot take the clock from
# the PC, as designed, so this one follows the outages); the time from each return of
# the PC to the outbox empty; results lost or delivered twice; and, from strace -T on the
# concentrator's own process (not its workers), its longest system call on the share and
# its longest call of any kind other than its sleeps and waits.
#
#   bash bench/share.sh [vehicles] [outage-seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
n="${1:-10}" hold="${2:-40}"
. bench/lib.sh
. bench/smb.sh
smb_need strace
bench_build
work="$build/bench-share"
smb="$work/smb" pc="$work/pc" mnt="$work/mnt"
sim_pid="" box_pid="" trace_pid="" live_pid=""

cleanup() {
  for p in $live_pid $trace_pid $box_pid $sim_pid; do kill "$p" 2>/dev/null || true; done
  for p in $live_pid $trace_pid $box_pid $sim_pid; do wait "$p" 2>/dev/null || true; done
  live_pid="" trace_pid="" box_pid="" sim_pid=""
  umount -l "$share" 2>/dev/null || true
  smb_down
}
trap cleanup EXIT INT TERM
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# A fresh sandbox whose share is the PC's, the hub, the box.
start() {
  rm -rf "$root"
  mkdir -p "$data/log" "$share" "$root/bin" "$root/dev"
  : >"$root/dev/gpio"
  smb_bind "$share"
  printf '#!/bin/sh\nexec sh %s/packaging/testNetwork.sh %s\n' "$PWD" "$share" >"$root/bin/testNetwork.sh"
  chmod +x "$root/bin/testNetwork.sh"
  rm -f "$pc"/CG/* "$pc"/RES/* "$pc"/ID/*
  "$build/tools/equipsim" --tcp 0 --hub --periph G --auto-results >"$work/sim.txt" 2>&1 &
  sim_pid=$!
  bench_param "$(bench_sim_port "$work/sim.txt")"
  for i in $(seq 1 "$n"); do
    printf '[VEHICULE]\r\n0200=AB%03dCD\r\n0204=ES\r\n[CRC]\r\n0200=0\r\n' "$i" >"$pc/.order"
    mv "$pc/.order" "$pc/CG/$(printf 'V%04d' "$i").CG"
  done
  "$build/concentrator" >"$work/box.txt" 2>&1 &
  box_pid=$!
}

files() { ls "$pc/RES" 2>/dev/null | grep -c '^V.*\.G$' || true; }

# Latency of every first result: its last frame (simulator's clock) to its file's rename.
latencies() {
  local midnight
  midnight=$(date -d "$(date +%F) 00:00:00" +%s)
  for f in "$pc"/RES/V*.G; do [ -f "$f" ] && echo "$(basename "$f" .G) $(stat -c %.9Z "$f")"; done \
    >"$work/files.txt"
  awk -v m="$midnight" '
    /sim --> box +<STX>0122V/ && /<ETB>0905<ETX>/ {
      split($1, t, ":"); s = m + t[1] * 3600 + t[2] * 60 + t[3]
      k = substr($5, 10, 5); if (!(k in fr)) fr[k] = s
    }
    END { for (k in fr) printf "%s %.3f\n", k, fr[k] }' "$work/sim.txt" >"$work/frames.txt"
  awk 'FILENAME ~ /frames/ { fr[$1] = $2; next }
       ($1 in fr) { d = ($2 - fr[$1]) * 1000; if (d >= 0) print d }' \
    "$work/frames.txt" "$work/files.txt" | sort -n >"$work/lat.txt"
  awk '{ v[NR] = $1 } END {
         if (NR == 0) { print "  no file"; exit }
         med = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
         printf "  files on the PC:            %d\n", NR
         printf "  last frame to file, median: %.1f ms\n", med
         printf "  last frame to file, worst:  %.1f ms\n", v[NR] }' "$work/lat.txt"
}

# ---- Run 1: the PC up -----------------------------------------------------------------
cleanup
rm -rf "$work"
smb_up
start
deadline=$(($(date +%s) + n * 15 + 60))
while [ "$(files)" -lt "$n" ] && [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.2; done
kill "$box_pid" "$sim_pid" 2>/dev/null || true
wait "$box_pid" "$sim_pid" 2>/dev/null || true
box_pid="" sim_pid=""
echo "the PC up ($n vehicles over the real share)"
latencies
umount -l "$share"

# ---- Run 2: the PC away ---------------------------------------------------------------
start
for _ in $(seq 600); do [ "$(files)" -ge 2 ] && break; sleep 0.1; done
strace -T -y -p "$box_pid" -o "$work/strace.txt" 2>/dev/null &
trace_pid=$!
# the liveness file: one line at each change of its value, with the time
(
  last=""
  while :; do
    v=$(cat "$data/watch_dog" 2>/dev/null || true)
    [ "$v" != "$last" ] && { echo "$(now) $v"; last=$v; }
    sleep 0.05
  done
) >"$work/live.txt" &
live_pid=$!
sleep 3
wait_empty() { # the outbox empty: seconds since $1
  local t0="$1"
  for _ in $(seq 1200); do
    grep -q '^en_attente=0$' "$data/log/outbox.txt" 2>/dev/null && { since "$t0"; return; }
    sleep 0.1
  done
  echo "more than 120"
}
clocks() { grep -c 'box --> sim  <STX>0130' "$work/sim.txt" || true; }
# each outage starts once the box has taken the clock from the PC again (after a result
# it asks the equipment for nothing before), so that a result comes in during it
new_clock() {
  local c0
  c0=$(clocks)
  for _ in $(seq 600); do [ "$(clocks)" -gt "$c0" ] && return; sleep 0.1; done
}
waiting() { sed -n 's/^en_attente=//p' "$data/log/outbox.txt" 2>/dev/null || echo 0; }
before_off=$(files)
new_clock
smb_server_stop
sleep "$hold"
off_waiting=$(waiting)
back=$(now)
smb_server_start
off_drain=$(wait_empty "$back")
new_clock
smb_freeze
sleep "$hold"
hang_waiting=$(waiting)
back2=$(now)
smb_thaw
hang_drain=$(wait_empty "$back2")
deadline=$(($(date +%s) + n * 15 + 60))
while [ "$(files)" -lt "$n" ] && [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.2; done
sleep 1
kill "$trace_pid" "$live_pid" 2>/dev/null || true
wait "$trace_pid" "$live_pid" 2>/dev/null || true
trace_pid="" live_pid=""
kill "$box_pid" "$sim_pid" 2>/dev/null || true
wait "$box_pid" "$sim_pid" 2>/dev/null || true
box_pid="" sim_pid=""

echo "the PC switched off for ${hold} s, back, then hanging for ${hold} s, back ($n vehicles)"
awk 'NR > 1 { d = $1 - p; if (d > m) m = d } { p = $1 }
     END { printf "  longest liveness stall:     %.2f s\n", m }' "$work/live.txt"
midnight=$(date -d "$(date +%F) 00:00:00" +%s)
awk -v m="$midnight" '/box --> sim/ { split($1, t, ":"); s = m + t[1] * 3600 + t[2] * 60 + t[3]
       if (p && s - p > g) g = s - p; p = s }
     END { printf "  longest silence towards the equipment: %.2f s (nothing is asked while the clock cannot be taken from the PC)\n", g }' \
  "$work/sim.txt"
echo "  PC back after switched off: ${off_waiting} result(s) waiting, outbox empty after ${off_drain} s"
echo "  PC back after hanging:      ${hang_waiting} result(s) waiting, outbox empty after ${hang_drain} s"
echo "  result files on the PC:     $(files) of $n vehicles ($before_off before the outages)"
results=$(grep -c 'sim --> box  <STX>0122V.*<ETB>0905<ETX>' "$work/sim.txt" || true)
twice=$(grep -o 'Ecriture du fichier [^ ]*' "$data/log/log.txt" | sort | uniq -d | wc -l)
echo "  results taken by the box:   $results; files delivered twice: $twice"
echo "  vehicles withdrawn (0150):  $(grep -c 'box --> sim  <STX>0150' "$work/sim.txt" || true) (every order stays on the PC)"
# strace -T: "<name>(args) = result <seconds>"; -y shows the file behind each descriptor
awk '/mnt\/GIEGLAN/ && match($0, /<[0-9.]+>$/) {
       t = substr($0, RSTART + 1, RLENGTH - 2) + 0; if (t > m) { m = t; l = $0 } }
     END { if (l == "") { print "  longest system call of the box on the share: none (it made none)"; exit }
           printf "  longest system call of the box on the share: %.1f ms\n    %s\n", m * 1000, substr(l, 1, 150) }' \
  "$work/strace.txt"
echo "  system calls of the box traced: $(wc -l <"$work/strace.txt")"
awk '!/^(clock_nanosleep|nanosleep|select|pselect6|poll|ppoll|wait4|restart_syscall)\(/ && match($0, /<[0-9.]+>$/) {
       t = substr($0, RSTART + 1, RLENGTH - 2) + 0; if (t > m) { m = t; l = $0 } }
     END { printf "  longest system call of the box but its sleeps and waits: %.1f ms\n", m * 1000
           if (l != "") printf "    %s\n", substr(l, 1, 150) }' "$work/strace.txt"
echo "reproduce: bash bench/share.sh $n $hold"
