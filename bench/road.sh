# The road that bench/delivery.sh and bench/ack.sh measure, sourced by both: the dev-build
# concentrator against the simulated hub (GIEGLAN station, LAN link on loopback, a gas
# analyser making a result for every vehicle sent), in the sandbox root of a build.
#
#   road_build [build-dir]  the build (default build/dev, built first; any other dev-preset
#                           build is run as it is): sets build, root, data, share, and
#                           work (a temporary directory, removed at exit with every
#                           process started)
#   network STATUS          the box's network check answers STATUS from now on
#   road_start N            a fresh sandbox, the simulator (its frames in $work/sim.txt),
#                           the box (its console in $work/box.txt) and N order files
#   stop_all                stops the simulator and the box

road_build() {
  build="${1:-}"
  if [ -z "$build" ]; then
    build="$PWD/build/dev"
    cmake --preset dev >/dev/null
    cmake --build --preset dev --target concentrator equipsim_cli >/dev/null
  fi
  build=$(cd "$build" && pwd)
  root="$build/root"
  data="$root/home/KELDRAN/DATA" share="$root/mnt/GIEGLAN"
  work=$(mktemp -d)
  pids=()
  trap 'stop_all; rm -rf "$work"' EXIT
}

stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}

network() { # a running box never sees half a script
  printf '#!/bin/sh\nexit %s\n' "$1" > "$root/bin/testNetwork.sh.new"
  chmod +x "$root/bin/testNetwork.sh.new"
  mv -f "$root/bin/testNetwork.sh.new" "$root/bin/testNetwork.sh"
}

road_start() {
  local n="$1" port="" i
  rm -rf "$root"
  mkdir -p "$data/log" "$share/CG" "$share/RES" "$share/ID" "$root/bin" "$root/dev"
  : > "$root/dev/gpio"
  network 0
  "$build/tools/equipsim" --tcp 0 --hub --periph G --auto-results > "$work/sim.txt" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.txt" | head -1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  printf '#001#GIEGLAN\r\n#003#\r\n#005#KELDRAN\r\n#020#1234\r\n#100#LAN\r\n#101#127.0.0.1\r\n#102#%s\r\n' \
    "$port" > "$data/PARAM_VARN.txt"
  "$build/concentrator" > "$work/box.txt" 2>&1 &
  pids+=($!)
  for i in $(seq 1 "$n"); do
    printf '[VEHICULE]\r\n0200=AB%03dCD\r\n0204=ES\r\n[CRC]\r\n0200=0\r\n' "$i" > "$work/order"
    mv "$work/order" "$share/CG/$(printf 'V%04d' "$i").CG"
  done
}
