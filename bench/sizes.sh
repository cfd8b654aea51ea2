#!/usr/bin/env bash
# Sizes of the two programs for each architecture of the box: the box presets' builds
# (box: the build machine's, armhf, aarch64), stripped with the target's strip as the
# packages have them, beside their size as built; their sections (text and data in the
# file, bss in memory only: the fixed tables), as the file of a 64-bit ARM program is
# padded to its 64 KiB segment alignment; and what file says of each. Figures only;
# the goal for the concentrator on armhf is at most 300 KB.
#
#   bash bench/sizes.sh        (configures and builds the three box presets first)
set -euo pipefail
cd "$(dirname "$0")/.."
for p in box armhf aarch64; do
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" >/dev/null
done
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
echo "sizes in bytes"
printf '%-8s %-13s %10s %10s %8s %8s %8s\n' preset program built stripped text data bss
for p in box armhf aarch64; do
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "build/$p/CMakeCache.txt")
  for prog in concentrator provisioning/provisioning; do
    "$strip" -o "$tmp" "build/$p/$prog"
    read -r text data bss _ < <("${strip%strip}size" "$tmp" | tail -1)
    printf '%-8s %-13s %10s %10s %8s %8s %8s\n' "$p" "${prog##*/}" \
      "$(stat -c %s "build/$p/$prog")" "$(stat -c %s "$tmp")" "$text" "$data" "$bss"
  done
done
echo
for p in box armhf aarch64; do
  file "build/$p/concentrator" "build/$p/provisioning/provisioning" | sed 's/, BuildID\[[^]]*\]=[0-9a-f]*//'
done
echo "reproduce: bash bench/sizes.sh"
