#!/usr/bin/env bash
# Installs what is missing, builds the dev preset and runs every test (unit and
# end-to-end), then builds the box preset. With --asan the sanitizer build runs the
# same tests too.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset dev
cmake --build --preset dev
ctest --preset dev
bash scripts/fuzz.sh 10 # every fuzz target for 10 s
cmake --preset box
cmake --build --preset box
# The board: ARM builds, their tests under qemu-user, and the three Debian packages
# (lintian on each, the install test in a clean Debian root).
bash scripts/board.sh
if [ "${1:-}" = "--asan" ]; then
  cmake --preset asan
  cmake --build --preset asan
  ctest --preset asan
fi
