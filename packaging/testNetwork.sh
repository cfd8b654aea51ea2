#!/bin/sh
# Network check of the box, run by name by the concentrator before it reads or writes
# the PC's share: exits 0 only when the share is mounted (a mount point of its own in
# the mount table, not the bare directory) and a file can be created and removed in it.
# The probe runs in the background and the check stops waiting for it after 4 s, so
# that it answers even when the probe is held inside the network file system (a PC
# that hangs): a probe still held then is killed and left behind.
#   testNetwork.sh [share [mount table]]     (default: /mnt/GIEGLAN and /proc/mounts)
# Status: 0 usable; 1 not mounted; 2 no file can be created; 3 the file cannot be
# removed; 4 the share did not answer in time.
share=${1:-/mnt/GIEGLAN}
mounts=${2:-/proc/mounts}
bound=400 # hundredths of a second

awk -v d="$share" '$2 == d { found = 1 } END { exit !found }' "$mounts" 2>/dev/null || exit 1

probe="$share/.testNetwork.$$"
status="${TMPDIR:-/tmp}/testNetwork.$$"
rm -f "$status" "$status.new"
# The probe's status goes to a file of the box's own disk: the check never waits for
# the probe itself, only looks whether that file has come.
(
    # "true", not ":": a failed redirection of a special built-in would end the subshell
    if true 2>/dev/null >"$probe"; then
        if rm -f "$probe" 2>/dev/null; then s=0; else s=3; fi
    else
        s=2
    fi
    echo "$s" >"$status.new" && mv -f "$status.new" "$status"
) &
pid=$!

waited=0
while [ ! -s "$status" ]; do
    if [ "$waited" -ge "$bound" ]; then
        kill -9 "$pid" 2>/dev/null
        rm -f "$status" "$status.new"
        exit 4
    fi
    # short naps first (a share that answers answers at once), where sleep takes
    # fractions; else whole seconds
    if [ "$waited" -lt 20 ] && sleep 0.01 2>/dev/null; then
        waited=$((waited + 1))
    elif sleep 0.1 2>/dev/null; then
        waited=$((waited + 10))
    else
        sleep 1
        waited=$((waited + 100))
    fi
done
read -r s <"$status"
rm -f "$status"
exit "$s"
