#!/bin/sh
# Network check of the box, run by name by the concentrator before it reads or writes
# the PC's share: exits 0 only when the share is mounted (a mount point of its own in
# the mount table, not the bare directory) and a file can be created and removed in it.
# The probe is bounded to 5 s where timeout exists, so that a share whose server is
# gone does not hold the concentrator.
#   testNetwork.sh [share [mount table]]     (default: /mnt/GIEGLAN and /proc/mounts)
# Status: 0 usable; 1 not mounted; 2 no file can be created; 3 the file cannot be removed.
share=${1:-/mnt/GIEGLAN}
mounts=${2:-/proc/mounts}

awk -v d="$share" '$2 == d { found = 1 } END { exit !found }' "$mounts" 2>/dev/null || exit 1

probe="$share/.testNetwork.$$"
bounded() {
    if command -v timeout >/dev/null 2>&1; then timeout 5 "$@"; else "$@"; fi
}
# shellcheck disable=SC2016 # $1 is the inner shell's
bounded sh -c ': >"$1"' sh "$probe" 2>/dev/null || exit 2
bounded rm -f "$probe" 2>/dev/null || exit 3
exit 0
