# Shared by the bench scripts that run a build against the simulator: which build, and
# its sandbox paths. Sourced, from the repository's top directory.

# bench_build [BUILD-DIR]: that build as it is, or build/dev with the concentrator and the
# simulator built first; sets build, root (the build's sandbox root, which the scripts
# empty), data (the box's data directory) and share (the PC's share) under it.
bench_build() {
  build="${1:-}"
  if [ -z "$build" ]; then
    build="$PWD/build/dev"
    cmake --preset dev >/dev/null
    cmake --build --preset dev --target concentrator equipsim_cli >/dev/null
  fi
  build=$(cd "$build" && pwd)
  root="$build/root"
  data="$root/home/KELDRAN/DATA"
  share="$root/mnt/GIEGLAN"
}

# bench_sandbox: an empty sandbox root with the box's data directory, the share's order,
# result and identification directories, the LED file and a network check answering 0.
bench_sandbox() {
  rm -rf "$root"
  mkdir -p "$data/log" "$share/CG" "$share/RES" "$share/ID" "$root/bin" "$root/dev"
  : > "$root/dev/gpio"
  printf '#!/bin/sh\nexit 0\n' > "$root/bin/testNetwork.sh"
  chmod +x "$root/bin/testNetwork.sh"
}

# bench_param PORT: the parameter file of a GIEGLAN station whose equipment is a hub on
# 127.0.0.1:PORT.
bench_param() {
  printf '#001#GIEGLAN\r\n#003#\r\n#005#KELDRAN\r\n#020#1234\r\n#100#LAN\r\n#101#127.0.0.1\r\n#102#%s\r\n' \
    "$1" > "$data/PARAM_VARN.txt"
}

# bench_sim_port LOG: the port that the simulator printing to LOG listens on, once it has
# said so; empty when it has not within 5 s.
bench_sim_port() {
  local p=""
  for _ in $(seq 100); do
    p=$(sed -n 's/.*on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$1" | head -1)
    [ -n "$p" ] && break
    sleep 0.05
  done
  echo "$p"
}

# bench_work: a temporary directory in work, removed at exit with every process whose id
# the script adds to pids (stop_all stops them earlier).
bench_work() {
  work=$(mktemp -d)
  pids=()
  trap 'stop_all; rm -rf "$work"' EXIT
}

stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}

# network STATUS: the box's network check answers STATUS from now on; a running box
# never sees half a script.
network() {
  printf '#!/bin/sh\nexit %s\n' "$1" > "$root/bin/testNetwork.sh.new"
  chmod +x "$root/bin/testNetwork.sh.new"
  mv -f "$root/bin/testNetwork.sh.new" "$root/bin/testNetwork.sh"
}

# bench_road N: the road that bench/delivery.sh and bench/ack.sh measure. A fresh
# sandbox, the simulated hub with a gas analyser making a result for every vehicle sent
# (its frames in $work/sim.txt), the box (its console in $work/box.txt), and N order
# files V0001.CG ... for plates AB001CD ...
bench_road() {
  local i
  bench_sandbox
  "$build/tools/equipsim" --tcp 0 --hub --periph G --auto-results > "$work/sim.txt" 2>&1 &
  pids+=($!)
  bench_param "$(bench_sim_port "$work/sim.txt")"
  "$build/concentrator" > "$work/box.txt" 2>&1 &
  pids+=($!)
  for i in $(seq 1 "$1"); do
    printf '[VEHICULE]\r\n0200=AB%03dCD\r\n0204=ES\r\n[CRC]\r\n0200=0\r\n' "$i" > "$work/order"
    mv "$work/order" "$share/CG/$(printf 'V%04d' "$i").CG"
  done
}
