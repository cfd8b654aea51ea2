#!/usr/bin/env bash
# Acknowledgement of a result: the dev-build concentrator against the simulated hub
# (GIEGLAN station, LAN link on loopback, a gas analyser making a result for every vehicle
# sent), N vehicles (default 20). The box keeps a complete result on its disk (the journal
# of received results: written, flushed, renamed, directory flushed) before it sends the
# acknowledgement of the result's last frame; the other frames are acknowledged at once.
# From the simulator's own time stamps (milliseconds): the time from each result frame to
# its "0900", for the last frames and for the others, median and worst, and the delay the
# journal adds (last frames' median less the others'). The equipment waits about 4 s for
# an acknowledgement; the aim is under 100 ms. The run takes place in the build's sandbox
# root, on the disk it lies on (CI's, or the board's own when run there). Figures only.
#
#   bash bench/ack.sh [vehicles] [build-dir]
#
# build-dir defaults to build/dev, built first; any other dev-preset build of the project
# (an older revision, say) is run as it is, in its own sandbox root <build-dir>/root.
set -euo pipefail
cd "$(dirname "$0")/.."
n="${1:-20}"
. bench/lib.sh
bench_build "${2:-}"
bench_work
bench_road "$n"
deadline=$(($(date +%s) + n * 20 + 90))
while [ "$(ls "$share/RES" | wc -l)" -lt "$n" ] && [ "$(date +%s)" -lt "$deadline" ]; do
  sleep 0.2
done
stop_all

# each result frame from the simulator, then the box's next frame: its acknowledgement
awk -v n="$n" '
  function ms(t,    p) { split(t, p, ":"); return (p[1] * 3600 + p[2] * 60 + p[3]) * 1000 }
  function sort(a, m,    i, j, t) {
    for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
  }
  function median(a, m) { return m == 0 ? 0 : (m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2) }
  / sim --> box +<STX>0122/ { at = ms($1); last = /<ETB>0905<ETX>/; next }
  / box --> sim +<STX>0900<ETX>/ && at != "" {
    d = ms($1) - at
    if (d < 0) d += 86400000
    if (last) end[++ne] = d; else mid[++nm] = d
    at = ""
    next
  }
  / box --> sim / { at = "" }
  END {
    sort(end, ne); sort(mid, nm)
    printf "acknowledgement of a result frame (%d vehicles, simulator time stamps in ms)\n", n
    printf "  last frames (kept on the disk first): %d, median %.1f ms, worst %.1f ms\n", ne, median(end, ne), ne ? end[ne] : 0
    printf "  other frames (acknowledged at once):  %d, median %.1f ms, worst %.1f ms\n", nm, median(mid, nm), nm ? mid[nm] : 0
    printf "  added by the journal: median %.1f ms, worst %.1f ms (aim: under 100 ms)\n", median(end, ne) - median(mid, nm), (ne ? end[ne] : 0) - median(mid, nm)
  }' "$work/sim.txt"
echo "results on the share: $(ls "$share/RES" | wc -l) of $n; the box's disk: $(df -T "$root" | awk 'NR == 2 { print $2 }')"
echo "reproduce: bash bench/ack.sh $n${2:+ $2}"
