#!/usr/bin/env bash
# Idle cost of the concentrator: runs the dev build for a while with no equipment
# answering (LAN link to a closed loopback port, network check answering 1) and prints
# its share of one core and its peak resident memory. Figures only.
#
#   bash bench/idle.sh [seconds]      (default 30; builds the dev preset first)
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-30}"
cmake --preset dev >/dev/null
cmake --build --preset dev --target concentrator >/dev/null
root="$PWD/build/dev/root"
rm -rf "$root"
mkdir -p "$root/home/KELDRAN/DATA/log" "$root/mnt/GIEGLAN" "$root/dev" "$root/bin"
: > "$root/dev/gpio"
printf '#!/bin/sh\nexit 1\n' > "$root/bin/testNetwork.sh"
chmod +x "$root/bin/testNetwork.sh"
printf '#001#GIEGLAN\r\n#005#KELDRAN\r\n#020#1\r\n#100#LAN\r\n#101#127.0.0.1\r\n#102#9\r\n' \
  > "$root/home/KELDRAN/DATA/PARAM_VARN.txt"
./build/dev/concentrator >/dev/null 2>&1 &
pid=$!
sleep 1
t0=$(awk '{print $14+$15}' "/proc/$pid/stat")
start=$(date +%s.%N)
sleep "$secs"
t1=$(awk '{print $14+$15}' "/proc/$pid/stat")
end=$(date +%s.%N)
hwm=$(awk '/VmHWM/{print $2}' "/proc/$pid/status")
kill "$pid"; wait "$pid" 2>/dev/null || true
tck=$(getconf CLK_TCK)
awk -v a="$t0" -v b="$t1" -v s="$start" -v e="$end" -v t="$tck" -v h="$hwm" 'BEGIN {
  printf "idle run:        %.1f s\n", e - s
  printf "CPU share:       %.2f %% of one core\n", 100 * (b - a) / t / (e - s)
  printf "peak RSS:        %d KiB\n", h
}'
echo "reproduce: bash bench/idle.sh $secs"
