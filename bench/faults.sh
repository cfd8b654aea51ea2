#!/usr/bin/env bash
# Faults together, on the road of every result: the dev-build concentrator against the
# simulated hub (GIEGLAN or OTCLAN station, LAN link on loopback, a gas analyser making
# one result for each vehicle, 2 s after it is sent), a PC that drops orders at random
# moments and takes every result file it sees (then ends the vehicle: removes its
# order), and, at random moments, all at once:
#   - the box killed (SIGKILL) and started again 0 to 2 s later; every other kill lands
#     right after the box acknowledged the last frame of a result;
#   - the share away for 2 to 8 s (the network check says no; with --smb, the PC's SMB
#     server switched off or hanging in turn);
#   - the share's result directory gone for 2 to 8 s (a plain file in its place);
#   - the equipment dropping its connection every 37 s, answering with bad checksums,
#     sending line noise and a result frame cut in the middle.
# Then the faults stop and the box has up to four minutes to finish. Figures only: vehicles
# ordered, results the box acknowledged, kills, files the PC took; lost (a result the box
# acknowledged that never reached the PC), delivered twice, misfiled (a file whose plate
# is not its order's), and what still waits in the box's journal and outbox.
#
#   bash bench/faults.sh [--smb] [--otclan] [vehicles] [seconds] [seed]
#
# --otclan: an OTCLAN station (sealed orders, sealed results named after the order)
# rather than a GIEGLAN one.
# --smb: the share is a real one, as in bench/share.sh (Samba on loopback mounted through
# smbnetfs, checked by the packaged testNetwork.sh); otherwise a directory.
# Vehicles default to 20, the faulty time to 180 s, the seed (of bash's RANDOM) to the
# time; the seed is printed, a run is reproduced with it (as far as timing allows).
set -euo pipefail
cd "$(dirname "$0")/.."
real=0 proto=GIEGLAN
while [ "${1:-}" = --smb ] || [ "${1:-}" = --otclan ]; do
  [ "$1" = --smb ] && real=1
  [ "$1" = --otclan ] && proto=OTCLAN
  shift
done
n="${1:-20}" span="${2:-180}" seed="${3:-$(date +%s)}"
RANDOM=$seed
. bench/lib.sh
. bench/smb.sh
[ $real = 1 ] && smb_need
bench_build
bench_work
umount -l "$share" 2> /dev/null || true # a share left mounted by a run cut short
bench_sandbox
taken="$work/taken" pcdir="$share" # what the PC took; the share as the PC sees it
mkdir -p "$taken"
if [ $real = 1 ]; then
  smb="$work/smb" pc="$work/pc" mnt="$work/mnt" pcdir="$work/pc"
  trap 'stop_all; umount -l "$share" 2> /dev/null || true; smb_down; rm -rf "$work"' EXIT
  smb_up
  smb_bind "$share"
  printf '#!/bin/sh\nexec sh %s/packaging/testNetwork.sh %s\n' "$PWD" "$share" > "$root/bin/testNetwork.sh"
fi
# share_away / share_back: the PC away (in turn switched off and hanging), and back
away_kind=""
share_away() {
  if [ $real = 0 ]; then network 1; return; fi
  if [ "$away_kind" = off ]; then away_kind=hang && smb_freeze; else away_kind=off && smb_server_stop; fi
}
share_back() {
  if [ $real = 0 ]; then network 0; return; fi
  if [ "$away_kind" = hang ]; then smb_thaw; else smb_server_start; fi
}
box_pid="" kills=0 ack_kills=0 box_runs=0 aways=0 res_gone=0

"$build/tools/equipsim" --tcp 0 --hub --periph G --auto-results --result-delay 2000 \
  --drop-every 37 --bad-checksum 3@25 --garbage 300@55 --cut-result 2@80 \
  > "$work/sim.txt" 2>&1 &
pids+=($!)
bench_param "$(bench_sim_port "$work/sim.txt")"
orders=CG ext=CG
if [ $proto = OTCLAN ]; then
  sed -i 's/#001#GIEGLAN/#001#OTCLAN/' "$data/PARAM_VARN.txt"
  orders=CI ext=CI
  mkdir -p "$pcdir/CI" "$pcdir/SYNC"
fi

box_start() {
  box_runs=$((box_runs + 1))
  "$build/concentrator" > "$work/box.$box_runs.txt" 2>&1 &
  box_pid=$!
  pids+=($box_pid)
}
box_kill() {
  kill -KILL "$box_pid" 2>/dev/null || true
  wait "$box_pid" 2>/dev/null || true
  kills=$((kills + 1))
}

# Each acknowledgement of a result's last frame, a line as it happens.
tail -n +1 -F "$work/sim.txt" 2>/dev/null | awk '
  /sim --> box +<STX>0122/ { last = /<ETB>0905<ETX>/; next }
  /box --> sim +<STX>0900/ { if (last) { print; fflush() } last = 0; next }
  /box --> sim/ { last = 0 }' > "$work/acks.txt" &
pids+=($!)
acks() { wc -l < "$work/acks.txt"; }

# The PC: takes each result file it sees (a second one of a name is kept as such) and
# removes its order.
(
  while :; do
    for f in "$pcdir"/RES/V*.G; do
      [ -f "$f" ] || continue
      b=$(basename "$f")
      t="$taken/$b"
      while [ -e "$t" ]; do t="$t.again"; done
      mv "$f" "$t" 2>/dev/null && rm -f "$pcdir/$orders/${b%.G}.$ext"
    done
    sleep 0.3
  done
) &
pids+=($!)

# order N: vehicle N's order, plate ABnnnCD, in the station's protocol (an OTCLAN order
# sealed with the fingerprint of its text).
order() {
  if [ $proto = OTCLAN ]; then
    printf '[VEHICULE]\r\nC001=AB%03dCD\r\nC002=01012020\r\nC003=ES\r\nC004=A\r\nC005=O\r\n[CRC]\r\nEMPREINTE=' \
      "$1" > "$work/order"
    printf '%s\r\n' "$(sha1sum < "$work/order" | cut -c1-40 | tr a-f A-F)" >> "$work/order"
  else
    printf '[VEHICULE]\r\n0200=AB%03dCD\r\n0204=ES\r\n[CRC]\r\n0200=0\r\n' "$1" > "$work/order"
  fi
  mv "$work/order" "$pcdir/$orders/$(printf 'V%04d' "$1").$ext"
}

box_start
start=$(date +%s)
ordered=0 next_order=$start next_kill=$((start + 5 + RANDOM % 15)) kill_armed=0 armed_at=0
away_until=0 res_back=0 next_share=$((start + 20 + RANDOM % 20))
next_res=$((start + 30 + RANDOM % 30))
while [ $(($(date +%s) - start)) -lt "$span" ]; do
  now=$(date +%s)
  if [ "$ordered" -lt "$n" ] && [ "$now" -ge "$next_order" ]; then
    ordered=$((ordered + 1))
    order "$ordered"
    next_order=$((now + RANDOM % (2 * span / n + 1)))
  fi
  if [ "$now" -ge "$next_kill" ] && [ "$kill_armed" = 0 ]; then
    if [ $((kills % 2)) = 1 ]; then
      kill_armed=1 armed_at=$(acks)
    else
      box_kill
      sleep "0.$((RANDOM % 10))$((RANDOM % 10))"
      box_start
      next_kill=$((now + 5 + RANDOM % 15))
    fi
  fi
  if [ "$kill_armed" = 1 ] && [ "$(acks)" -gt "$armed_at" ]; then
    box_kill
    ack_kills=$((ack_kills + 1))
    kill_armed=0
    sleep "$((RANDOM % 2)).$((RANDOM % 10))"
    box_start
    next_kill=$((now + 5 + RANDOM % 15))
  fi
  if [ "$now" -ge "$next_share" ] && [ "$away_until" = 0 ]; then
    share_away
    aways=$((aways + 1))
    away_until=$((now + 2 + RANDOM % 7))
  elif [ "$away_until" != 0 ] && [ "$now" -ge "$away_until" ]; then
    share_back
    away_until=0 next_share=$((now + 15 + RANDOM % 25))
  fi
  if [ "$now" -ge "$next_res" ] && [ "$res_back" = 0 ]; then
    mv "$pcdir/RES" "$work/RES.away" && : > "$pcdir/RES"
    res_gone=$((res_gone + 1))
    res_back=$((now + 2 + RANDOM % 7))
  elif [ "$res_back" != 0 ] && [ "$now" -ge "$res_back" ]; then
    rm -f "$pcdir/RES" && mv "$work/RES.away" "$pcdir/RES"
    res_back=0 next_res=$((now + 20 + RANDOM % 30))
  fi
  sleep 0.02
done

# The faults end: the share back, the box running, the last orders in.
[ "$res_back" != 0 ] && rm -f "$pcdir/RES" && mv "$work/RES.away" "$pcdir/RES"
[ "$away_until" != 0 ] && share_back
while [ "$ordered" -lt "$n" ]; do ordered=$((ordered + 1)) && order "$ordered"; done
if ! kill -0 "$box_pid" 2>/dev/null; then box_start; fi
deadline=$(($(date +%s) + 240))
while [ "$(ls "$taken" | grep -c '^V.*\.G$')" -lt "$n" ] && [ "$(date +%s)" -lt "$deadline" ]; do
  sleep 0.5
done
sleep 3
kill "$box_pid" 2>/dev/null || true
wait "$box_pid" 2>/dev/null || true

# The vehicles whose result the box acknowledged, as the name of their file (V0001): the
# key on the link is the order's name (GIEGLAN) or the plate AB001CD (OTCLAN).
acked=$(awk '/sim --> box +<STX>0122/ && /<ETB>0905<ETX>/ {
               k = substr($5, 10)
               k = k ~ /^V[0-9]+$/ ? substr(k, 2) : k ~ /^AB[0-9]+CD$/ ? substr(k, 3, length(k) - 4) : ""
             }
             /box --> sim +<STX>0900/ && k != "" { printf "V%04d\n", k; k = "" }
             /box --> sim/ && !/0900/ { k = "" }' "$work/sim.txt" | sort -u)
lost=0 twice=0 misfiled=0
for k in $acked; do
  [ -f "$taken/$k.G" ] || { lost=$((lost + 1)); echo "  lost: $k"; }
done
for f in "$taken"/V*.G.again*; do [ -f "$f" ] && twice=$((twice + 1)) && echo "  twice: $(basename "$f")"; done
for f in "$taken"/V*.G*; do
  [ -f "$f" ] || continue
  k=$(basename "$f"); k=${k%%.*}
  plate=$(printf 'AB%03dCD' "$((10#${k#V}))")
  grep -Eq "^(0200|PE08)=$plate *"$'\r'"\$" "$f" || { misfiled=$((misfiled + 1)); echo "  misfiled: $(basename "$f")"; }
done
# (a journal entry kept aside as "<n>.old" for 10 minutes after a start is no result waiting)
journal=$(ls "$data/journal" 2>/dev/null | grep -vc '\.old$' || true)
outbox=$(ls "$data/outbox" 2>/dev/null | grep -c . || true)
echo "faults together for ${span} s, then up to 4 min to finish (seed $seed, $proto, share: $([ $real = 1 ] && echo "real SMB" || echo directory))"
echo "  vehicles ordered:            $n"
echo "  results the box acknowledged: $(echo "$acked" | grep -c . || true)"
echo "  box killed:                  $kills ($ack_kills right after acknowledging a result)"
echo "  share away:                  $aways time(s); its result directory gone: $res_gone time(s)"
echo "  equipment connections:       $(grep -c 'connection accepted' "$work/sim.txt" || true)"
echo "  files the PC took:           $(ls "$taken" | grep -c . || true) (vehicles without a result yet: $((n - $(ls "$taken" | grep -c '^V[0-9]*\.G$' || true))), the equipment's pace)"
echo "  lost: $lost  delivered twice: $twice  misfiled: $misfiled"
echo "  left on the box: journal $journal file(s), outbox $outbox file(s)"
echo "reproduce: bash bench/faults.sh $([ $real = 1 ] && echo "--smb ")$([ $proto = OTCLAN ] && echo "--otclan ")$n $span $seed"
