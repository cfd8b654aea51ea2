#!/usr/bin/env bash
# One-command demo of the concentrator in the dev sandbox.
#
# Installs what is missing, builds the dev preset, lays out a fresh sandbox root
# (parameter file, the PC's share, testNetwork.sh answering 0), starts the equipment
# simulator as a hub with a gas analyser, an opacimeter and a headlamp tester on
# loopback, starts the concentrator, drops sample vehicle orders on the share, shows
# the traffic on the link as it happens and every result file as it appears, then
# stops everything and says where the files are.
#
#   bash scripts/demo.sh [--protocol gieglan|otclan|bnet] [--link tcp|serial]
#                        [--vehicles N] [--timeout SECONDS] [--quiet-link]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

protocol=gieglan link=tcp vehicles=2 timeout=150 quiet_link=0
while [ $# -gt 0 ]; do
  case "$1" in
    --protocol) protocol="${2,,}"; shift 2 ;;
    --link) link="${2,,}"; shift 2 ;;
    --vehicles) vehicles="$2"; shift 2 ;;
    --timeout) timeout="$2"; shift 2 ;;
    --quiet-link) quiet_link=1; shift ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option $1 (see --help)"; exit 2 ;;
  esac
done
case "$protocol" in gieglan|otclan|bnet) ;; *) echo "protocol: gieglan, otclan or bnet"; exit 2 ;; esac
case "$link" in tcp|serial) ;; *) echo "link: tcp or serial"; exit 2 ;; esac

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

say "Installing what is missing and building (dev preset)"
bash scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target concentrator equipsim_cli logdecode 2>&1 | tail -1

root="$top/build/dev/root"
work="$top/build/dev/demo"
data="$root/home/KELDRAN/DATA"
share="$root/mnt/GIEGLAN"
bnet="$root/bnet"
rm -rf "$root" "$work"
mkdir -p "$data/log" "$share"/{CG,CI,RES,ID,SYNC} "$root/dev" "$root/bin" "$root/etc" "$work" \
         "$bnet/DataExchange/Orderlisting" "$bnet/DataExchange/ImportResults"
: > "$root/dev/gpio"
printf '#!/bin/sh\n# network and share usable\nexit 0\n' > "$root/bin/testNetwork.sh"
chmod +x "$root/bin/testNetwork.sh"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap 'echo; echo "interrupted"; cleanup; exit 130' INT TERM
trap cleanup EXIT

say "Starting the equipment simulator: a hub with a gas analyser (G), an opacimeter (O), a headlamp tester (P)"
sim=("$top/build/dev/tools/equipsim" --hub --periph G,O,P --auto-results --result-delay 4000)
if [ "$link" = tcp ]; then
  "${sim[@]}" --tcp 0 > "$work/link.txt" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do grep -q 'listening on 127.0.0.1:' "$work/link.txt" && break; sleep 0.1; done
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/link.txt" | head -1)
  linkparams=$'#100#LAN\r\n#101#127.0.0.1\r\n#102#'"$port"$'\r\n'
  echo "simulator listening on 127.0.0.1:$port (link kind LAN)"
else
  "${sim[@]}" --pty "$root/dev/ttyS2" > "$work/link.txt" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$root/dev/ttyS2" ] && break; sleep 0.1; done
  linkparams=$'#100#RS232\r\n#102#9600\r\n'
  echo "simulator on a pseudo-terminal linked at $root/dev/ttyS2 (link kind RS232, 9600 bit/s)"
fi

say "Writing the parameter file ($data/PARAM_VARN.txt)"
{
  printf '#001#%s\r\n' "${protocol^^}"
  printf '#002#%s\r\n' "$bnet"
  printf '#003#\r\n#005#KELDRAN\r\n#020#1234\r\n'
  printf '%s' "$linkparams"
} > "$data/PARAM_VARN.txt"
sed 's/\r$//; s/^/    /' "$data/PARAM_VARN.txt"

say "Starting the concentrator (its console goes to $work/concentrator.txt)"
"$top/build/dev/concentrator" > "$work/concentrator.txt" 2>&1 &
pids+=($!)

if [ "$quiet_link" = 0 ]; then
  say "Link traffic as it happens (box --> sim: sent by the concentrator)"
  tail -n +1 -f "$work/link.txt" | sed -u 's/^/  link | /' &
  pids+=($!)
fi

sleep 3
say "Dropping $vehicles vehicle orders on the share"
plates=() keys=() orders=()
for i in $(seq 1 "$vehicles"); do
  plate=$(printf 'AB%03dCD' "$i")
  key=$(printf 'V%04d' "$i")
  plates+=("$plate") keys+=("$key")
  case "$protocol" in
    gieglan)
      f="$share/CG/$key.txt"
      printf '[VEHICULE]\r\n0200=%s\r\n0204=ES\r\n0203=06122026\r\n[CRC]\r\n0200=0\r\n' "$plate" > "$f" ;;
    otclan)
      f="$share/CI/$key.CI"
      # the fingerprint covers every line before it and the text "EMPREINTE="
      printf '[VEHICULE]\r\nC001=%s\r\nC002=06122026\r\nC003=ES\r\nC004=A\r\nC005=O\r\n[CRC]\r\nEMPREINTE=' \
        "$plate" > "$work/order.tmp"
      print=$(sha1sum < "$work/order.tmp" | cut -c1-40 | tr a-f A-F)
      printf '%s\r\n' "$print" >> "$work/order.tmp"
      mv "$work/order.tmp" "$f" ;;
    bnet)
      f="$bnet/DataExchange/Orderlisting/$key.txt"
      printf '[Vehicle1]\nPlate=%s\n' "$plate" > "$f" ;;
  esac
  orders+=("$f")
  echo "  order for plate $plate: ${f#$top/}"
done

case "$protocol" in
  gieglan|otclan) resdir="$share/RES" ;;
  bnet) resdir="$bnet/DataExchange/ImportResults" ;;
esac

say "Waiting for the result files in ${resdir#$top/} (at most ${timeout}s)"
declare -A seen=()
show_new() {
  for f in "$resdir"/* "$data/log/RES"/*.err; do
    [ -f "$f" ] || continue
    case "$f" in *.tmp) continue ;; esac   # a file on its way to the share
    [ -n "${seen[$f]:-}" ] && continue
    sleep 0.3
    seen[$f]=1
    printf '\n\033[1m>> result file %s\033[0m\n' "${f#$top/}"
    sed 's/\r$//; s/^/   | /' "$f"
  done
}
start=$(date +%s)
while :; do
  show_new
  done_count=0
  for i in "${!plates[@]}"; do
    if ls "$resdir" 2>/dev/null | grep -q -e "${keys[$i]}" -e "${plates[$i]}"; then
      done_count=$((done_count + 1))
    fi
  done
  # files that appeared since show_new looked are shown before the end
  [ "$done_count" -ge "$vehicles" ] && { sleep 2; show_new; break; }
  [ $(( $(date +%s) - start )) -ge "$timeout" ] && { echo "time is up"; break; }
  sleep 1
done

cleanup
trap - EXIT INT TERM

say "What happened to each vehicle"
log="$data/log/log.txt"
for i in "${!plates[@]}"; do
  p=${plates[$i]} k=${keys[$i]}
  key10=$(printf '%-10s' "$k")
  [ "$protocol" = gieglan ] || key10=$(printf '%-10.10s' "$p")
  sent=no; got=no
  grep -aq "0120$key10" "$log" 2>/dev/null && sent=yes
  grep -aq "0122$key10" "$log" 2>/dev/null && got=yes
  files=$(ls "$resdir" 2>/dev/null | grep -e "$k" -e "$p" | tr "\n" " " || true)
  echo "  vehicle $p (order ${orders[$i]##*/}):"
  echo "    handed to the equipment (0120):   $sent"
  echo "    results came back (0122):         $got"
  echo "    result files for the PC:          ${files:-none}"
done

say "Where the files are"
echo "  result files:         ${resdir#$top/}"
echo "  results not yet on the share: ${data#$top/}/outbox (count in log/outbox.txt)"
[ "$protocol" = otclan ] && echo "  local OTCLAN copies:   ${data#$top/}/log/RES"
[ "$protocol" = gieglan ] && echo "  identification files: ${share#$top/}/ID and ${data#$top/}/log"
echo "  link log:             ${log#$top/}  (readable: build/dev/tools/logdecode/logdecode $log)"
echo "  simulator's view:     ${work#$top/}/link.txt"
echo "  concentrator console: ${work#$top/}/concentrator.txt"
echo "  shell commands run:   build/dev/root/commands.log (date, hwclock, reboot only logged)"
