#!/usr/bin/env bash
# Idle cost of the concentrator: runs the dev build for a while in three cases and
# prints, for each, its share of one core (its own, and with the shell commands it
# ran), its peak resident memory and its wake-ups per second (voluntary context
# switches over the run). Figures only.
#
#   none    no equipment answering: the network and share usable, the equipment's
#           loopback TCP port closed
#   hub     a simulated hub with a gas analyser answering every poll with nothing to
#           report (0188)
#   orders  the same hub, and 20 GIEGLAN orders waiting on the share
#
# The hub cases are measured once the hub has been found and identified, the orders
# case once every vehicle has been handed to the hub (one each 1.8 s).
#
#   bash bench/idle.sh [seconds] [case ...]   (default 30 s, every case; builds the
#                                             dev preset first)
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-30}"
shift || true
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(none hub orders)
warmup=12
cmake --preset dev >/dev/null
cmake --build --preset dev --target concentrator equipsim_cli >/dev/null
root="$PWD/build/dev/root"
data="$root/home/KELDRAN/DATA"
work="$PWD/build/dev/bench"
mkdir -p "$work"

sim_pid=
box_pid=
cleanup() {
  for p in $box_pid $sim_pid; do kill "$p" 2>/dev/null || true; done
  for p in $box_pid $sim_pid; do wait "$p" 2>/dev/null || true; done
  box_pid= sim_pid=
}
trap cleanup EXIT INT TERM

# A fresh sandbox for a GIEGLAN station on a LAN link to 127.0.0.1:port.
sandbox() {
  rm -rf "$root"
  mkdir -p "$data/log" "$root/mnt/GIEGLAN/ID" "$root/mnt/GIEGLAN/CG" "$root/mnt/GIEGLAN/RES" \
           "$root/dev" "$root/bin"
  : > "$root/dev/gpio"
  printf '#!/bin/sh\nexit 0\n' > "$root/bin/testNetwork.sh"
  chmod +x "$root/bin/testNetwork.sh"
  printf '#001#GIEGLAN\r\n#005#KELDRAN\r\n#020#1\r\n#100#LAN\r\n#101#127.0.0.1\r\n#102#%s\r\n' \
    "$1" > "$data/PARAM_VARN.txt"
}

start_hub() {
  "$PWD/build/dev/tools/equipsim" --tcp 0 --hub --periph G --quiet > "$work/sim.txt" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '127.0.0.1:[0-9]' "$work/sim.txt" && break; sleep 0.05; done
  sed -n 's/.*127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$work/sim.txt" | head -1
}

# A loopback port on which nothing listens (a free port that was just given back).
closed_port() {
  "$PWD/build/dev/tools/equipsim" --tcp 0 --quiet > "$work/free.txt" 2>&1 &
  local p=$!
  for _ in $(seq 100); do grep -q '127.0.0.1:[0-9]' "$work/free.txt" && break; sleep 0.05; done
  kill "$p"; wait "$p" 2>/dev/null || true
  sed -n 's/.*127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$work/free.txt" | head -1
}

measure() {
  local name="$1" pid="$2" lead="$3"
  sleep "$lead"
  local t0 c0 v0 start t1 c1 v1 end hwm
  t0=$(awk '{print $14+$15}' "/proc/$pid/stat")
  c0=$(awk '{print $16+$17}' "/proc/$pid/stat")
  v0=$(awk '/^voluntary_ctxt_switches/{print $2}' "/proc/$pid/status")
  start=$(date +%s.%N)
  sleep "$secs"
  t1=$(awk '{print $14+$15}' "/proc/$pid/stat")
  c1=$(awk '{print $16+$17}' "/proc/$pid/stat")
  v1=$(awk '/^voluntary_ctxt_switches/{print $2}' "/proc/$pid/status")
  end=$(date +%s.%N)
  hwm=$(awk '/VmHWM/{print $2}' "/proc/$pid/status")
  awk -v n="$name" -v a="$t0" -v b="$t1" -v ca="$c0" -v cb="$c1" -v va="$v0" -v vb="$v1" \
      -v s="$start" -v e="$end" -v t="$(getconf CLK_TCK)" -v h="$hwm" 'BEGIN {
    d = e - s
    printf "%-7s %6.1f s  CPU %6.2f %% of a core (%6.2f %% with its commands)  peak RSS %5d KiB  wake-ups %6.1f /s\n",
      n, d, 100 * (b - a) / t / d, 100 * ((b - a) + (cb - ca)) / t / d, h, (vb - va) / d
  }'
}

echo "load before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
for c in "${cases[@]}"; do
  case "$c" in
    none)
      sandbox "$(closed_port)"
      lead=1 ;;
    hub)
      sandbox "$(start_hub)"
      lead=$warmup ;;
    orders)
      sandbox "$(start_hub)"
      for i in $(seq 1 20); do
        printf '[VEHICULE]\r\n0200=AB%03dCD\r\n0204=ES\r\n0203=06122026\r\n[CRC]\r\n0200=0\r\n' "$i" \
          > "$root/mnt/GIEGLAN/CG/V$(printf '%04d' "$i").CG"
      done
      lead=$((warmup + 36)) ;;
    *) echo "unknown case $c (none, hub, orders)"; exit 2 ;;
  esac
  ./build/dev/concentrator > "$work/box-$c.txt" 2>&1 &
  box_pid=$!
  measure "$c" "$box_pid" "$lead"
  cleanup
done
echo "load after the run:  $(cut -d' ' -f1-3 /proc/loadavg)"
echo "reproduce: bash bench/idle.sh $secs ${cases[*]}"
