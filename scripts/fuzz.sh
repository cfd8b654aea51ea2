#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for SECONDS each (default 60), one
# after the other (they share the sandbox root build/fuzz/root), from its seeds in
# tests/fuzz/corpus/<target> and its grown corpus in build/fuzz/corpus/<target>.
# Prints one line per target, "<target>: <N> execs, <C> crashes", and exits non-zero
# on any crash, leak, sanitizer report or time-out. A finding's input is kept as
# build/fuzz/findings/<target>/crash-* (or leak-, timeout-, oom-); replay it with
# build/fuzz/tests/fuzz/fuzz_<target> <file>.
#
#   bash scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case "$seconds" in '' | *[!0-9]*) echo "SECONDS: a whole number of seconds"; exit 2 ;; esac

bash scripts/setup-fuzz.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz | tail -1

out=build/fuzz
# The targets write files at every input: their sandbox root lives in memory when it
# can (a link at build/fuzz/root), so that file writes and fsync cost next to nothing.
shm=""
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  shm=$(mktemp -d /dev/shm/boxfuzz.XXXXXX)
  rm -rf "$out/root"
  ln -s "$shm" "$out/root"
fi
trap 'if [ -n "$shm" ]; then rm -rf "$shm" "$out/root"; fi' EXIT

targets=$(cd tests/fuzz/corpus && ls)
failed=0
for t in $targets; do
  bin=$out/tests/fuzz/fuzz_$t
  [ -x "$bin" ] || { echo "$t: no fuzz target built"; failed=1; continue; }
  mkdir -p "$out/corpus/$t" "$out/findings/$t"
  rm -f "$out/findings/$t"/*
  log=$out/findings/$t.log
  # the product prints a lot: its output is closed, the fuzzer's own reports stay
  status=0
  timeout --kill-after=10 $((seconds * 2 + 60)) "$bin" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 -dict=tests/fuzz/fuzz.dict \
    -artifact_prefix="$out/findings/$t/" "$out/corpus/$t" "tests/fuzz/corpus/$t" \
    >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -n "$execs" ] || execs=$(sed -n 's/^#\([0-9]*\).*/\1/p' "$log" | tail -1)
  crashes=$(find "$out/findings/$t" -type f | wc -l)
  echo "$t: ${execs:-0} execs, $crashes crashes"
  reports=$(grep -c -E 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|fuzz check failed' "$log" || true)
  if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ] || [ "$reports" -ne 0 ]; then
    failed=1
    [ "$status" -eq 124 ] && echo "$t: time-out of the whole run"
    grep -m 3 -E 'ERROR:|runtime error:|fuzz check failed|SUMMARY' "$log" | sed "s/^/$t: /" || true
  fi
done
exit $failed
