#!/usr/bin/env bash
# The board's part of the tests (run by scripts/test.sh after the box preset): builds
# the box for 32- and 64-bit ARM (presets armhf, aarch64) and checks what they are;
# builds the dev sandbox for both (armhf-test, aarch64-test) and runs their tests under
# qemu-user, the two side by side (they mostly wait on the protocol's timers); then
# makes the Debian package of each box build (amd64 from the box preset, armhf, arm64)
# and checks it (scripts/package.sh). The box builds' programs use the real paths of
# the box: they are never run here.
set -euo pipefail
cd "$(dirname "$0")/.."
logs=build/board-logs
mkdir -p "$logs"

for p in box armhf aarch64 armhf-test aarch64-test; do
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
done
for p in armhf:"ARM, EABI5" aarch64:"ARM aarch64"; do
  for prog in concentrator provisioning/provisioning; do
    what=$(file -b "build/${p%%:*}/$prog")
    echo "build/${p%%:*}/$prog: $what"
    [[ "$what" == *"${p#*:}"* ]] || { echo "not a ${p#*:} program"; exit 1; }
  done
done

pids=()
for p in armhf-test aarch64-test; do
  ctest --preset "$p" >"$logs/$p.txt" 2>&1 &
  pids+=($!)
done
failed=0
for i in 0 1; do
  wait "${pids[$i]}" || failed=1
done
for p in armhf-test aarch64-test; do
  echo "== ctest --preset $p"
  cat "$logs/$p.txt"
done
[ "$failed" = 0 ] || exit 1

# The three Debian packages, checked, and the one for this machine tried in a clean root.
bash scripts/package.sh
