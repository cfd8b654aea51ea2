#!/usr/bin/env bash
# Draws which unit of the concentrator calls which (functions called and globals used,
# read from the symbols of the built library) and fails when the units form a circle:
# every unit calls downwards only, the loop at the top, the tables and the platform
# layer at the bottom.
#
#   bash scripts/layers.sh [library]     (default build/dev/libconc.a; NM names the
#                                        nm of the library's toolchain, default nm)
#
# A unit is a source file of concentrator/, except the validators, which belong to the
# OTCLAN writer's unit. Each line of the drawing is "unit -> the units it calls".
set -euo pipefail
cd "$(dirname "$0")/.."
lib="${1:-build/dev/libconc.a}"
[ -f "$lib" ] || { echo "no library $lib: build the dev preset first" >&2; exit 2; }

"${NM:-nm}" -A "$lib" | awk '
  # "lib.a:unit.cpp.o: address type symbol" or "lib.a:unit.cpp.o:          U symbol"
  {
    n = split($1, part, ":")
    unit = part[n - 1]
    sub(/\.cpp\.o$/, "", unit)
    sub(/\.o$/, "", unit)
    if (unit == "fcfotclan_check") unit = "fcfotclan"
    type = $(NF - 1); sym = $NF
    units[unit] = 1
    if (type == "U") { uses[unit, sym] = 1; used[++nused] = unit SUBSEP sym }
    else if (type ~ /^[TDBRC]$/) owner[sym] = unit
  }
  # 1 when unit `to` can be reached from `from`; path[] then leads from one to the other
  function reach(from, to, seen,    k, f) {
    if (from == to) return 1
    seen[from] = 1
    for (k in calls) {
      split(k, f, SUBSEP)
      if (f[1] != from || (f[2] in seen)) continue
      if (reach(f[2], to, seen)) { path[from] = f[2]; return 1 }
    }
    return 0
  }
  END {
    for (i = 1; i <= nused; i++) {
      split(used[i], e, SUBSEP)
      if (!(e[2] in owner) || owner[e[2]] == e[1]) continue
      calls[e[1], owner[e[2]]] = 1
    }
    nu = 0
    for (u in units) list[++nu] = u
    # units in name order, for a drawing that reads the same at every run
    for (i = 2; i <= nu; i++)
      for (j = i; j > 1 && list[j - 1] > list[j]; j--) { t = list[j]; list[j] = list[j - 1]; list[j - 1] = t }
    for (i = 1; i <= nu; i++) {
      line = ""
      for (j = 1; j <= nu; j++) if ((list[i], list[j]) in calls) line = line " " list[j]
      printf "%-16s ->%s\n", list[i], line
    }
    bad = 0
    for (i = 1; i <= nu; i++) {
      u = list[i]
      for (k in calls) {
        split(k, e, SUBSEP)
        if (e[1] != u) continue
        split("", seen); split("", path)
        first = e[2]
        if (!reach(first, u, seen)) continue
        circle = u " -> " first
        for (v = first; v != u; v = path[v]) circle = circle " -> " path[v]
        print "circle: " circle
        bad = 1
        break
      }
    }
    if (bad) exit 1
    print "no circle among " nu " units"
  }'
