#!/usr/bin/env bash
# The box's package installed, upgraded, removed and purged in a clean Debian root, as an
# integrator builds a box's root file system: a minimal bookworm root (debootstrap,
# variant minbase, the build machine's architecture, from the Debian mirror that apt
# already uses) entered with chroot. Nothing of the package may ever run here (the box
# build really sets the clock and reboots), so in that root:
#   - policy-rc.d refuses every service action (status 101) and notes each request;
#   - the package's programs are diverted to a guard before the package comes in, and so
#     are date, hwclock and reboot: whatever a maintainer script does, no program of the
#     package runs and nothing sets this machine's clock; a guard notes each call;
#   - nothing is mounted;
# and before and after every step no process runs from the root, and none from the box's
# paths on this machine. The steps and their checks:
#   install   the files, the concentrator's unit and init links enabled (the factory
#             program's not), the box's data directory made, nothing started;
#   upgrade   to a newer version, while results wait in the outbox (the OB2 fixture of
#             the tests) beside a parameter file and logs: the box's data stays byte for
#             byte; the concentrator is asked to restart;
#   remove    the programs gone, both services asked to stop, the data kept;
#   purge     nothing of the package left, the box's data kept byte for byte.
# policy-rc.d must have been asked exactly: start, restart, then stop of both.
#
# The made root is kept as a tarball in build/cleanroot and in the machine's cache
# (BOX_ROOT_CACHE, default /var/cache/keldran-box; empty: none), so that a second run on
# the same machine, from any clone, downloads nothing.
#   scripts/cleanroot.sh PACKAGE.deb      (as root)
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "cleanroot: $*" >&2
  exit 1
}
[ $# = 1 ] && [ -f "$1" ] || fail "usage: $0 PACKAGE.deb"
[ "$(id -u)" = 0 ] || fail "chroot needs root"
deb=$(realpath "$1")
arch=$(dpkg --print-architecture)
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch, this machine"
package=$(dpkg-deb -f "$deb" Package)
version=$(dpkg-deb -f "$deb" Version)
suite=bookworm
work=$PWD/build/cleanroot
root=$work/root
tarball=$work/$suite-minbase-$arch.tar.gz
machine_cache=${BOX_ROOT_CACHE-/var/cache/keldran-box}
data=/home/KELDRAN/DATA
mkdir -p "$work"

# ---- Safety: mounts and processes of the root ---------------------------------------------

# Mount points at or under a directory, deepest first.
mounts_under() {
  awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
unmount_under() {
  local m
  for m in $(mounts_under "$1"); do
    umount "$m" 2>/dev/null || umount -l "$m"
  done
}
# Processes whose root or program lies in the clean root; and programs of the box's
# real paths on this machine.
stray_processes() {
  local p r e
  for p in /proc/[0-9]*; do
    r=$(readlink "$p/root" 2>/dev/null) || continue
    e=$(readlink "$p/exe" 2>/dev/null) || e=
    case "$r/|$e" in
      "$root/"* | *"|$root/"* | *"|/usr/bin/concentrator"* | *"|/usr/bin/provisioning"*)
        echo "${p#/proc/}" ;;
    esac
  done
}
# Only what this script may have started from the root is ended, by its id, until none
# is left (a supervisor may start another between two looks).
end_rooted() {
  local p r left
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    left=0
    for p in $(stray_processes); do
      r=$(readlink "/proc/$p/root" 2>/dev/null) || continue
      case "$r/" in "$root/"*) kill -KILL "$p" 2>/dev/null && left=1 ;; esac
    done
    [ "$left" = 1 ] || return 0
    sleep 0.2
  done
}
cleanup() {
  end_rooted
  unmount_under "$work"
}
trap cleanup EXIT

nothing_runs() {
  local p
  p=$(stray_processes)
  [ -z "$p" ] || { ps -o pid,args -p "$(echo "$p" | tr ' ' ,)" >&2 || true; fail "$1: a program of the package runs"; }
  [ ! -s "$root/cleanroot-guard.log" ] || { cat "$root/cleanroot-guard.log" >&2; fail "$1: a guarded program was run"; }
}

# ---- The clean root ---------------------------------------------------------------------

# The mirror apt uses for the suite (deb822 sources, then one-line sources).
mirror() {
  local m=""
  if compgen -G "/etc/apt/sources.list.d/*.sources" >/dev/null; then
    m=$(awk -v s="$suite" 'BEGIN { RS = ""; FS = "\n" }
      { t = u = x = ""
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^Types:/) t = $i; else if ($i ~ /^URIs:/) u = $i; else if ($i ~ /^Suites:/) x = $i
        }
        if ((t " ") ~ /[ :]deb / && (x " ") ~ (" " s " ")) {
          sub(/^URIs:[ \t]*/, "", u); split(u, a, /[ \t]+/); print a[1]; exit
        } }' /etc/apt/sources.list.d/*.sources)
  fi
  if [ -z "$m" ] && [ -f /etc/apt/sources.list ]; then
    m=$(awk -v s="$suite" '$1 == "deb" { i = 2
        if ($2 ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == s) { print $i; exit } }' /etc/apt/sources.list)
  fi
  echo "${m:-http://deb.debian.org/debian}"
}

made_root() {
  if [ -s "$tarball" ]; then
    echo "clean root: $tarball"
    return
  fi
  if [ -n "$machine_cache" ] && [ -s "$machine_cache/${tarball##*/}" ]; then
    echo "clean root: $machine_cache/${tarball##*/}"
    cp "$machine_cache/${tarball##*/}" "$tarball.tmp" && mv "$tarball.tmp" "$tarball"
    return
  fi
  local m boot=$work/debootstrap
  m=$(mirror)
  echo "clean root: debootstrap --variant=minbase --arch=$arch $suite from $m"
  [ -z "$(mounts_under "$boot")" ] || fail "$boot has mounts"
  rm -rf "$boot"
  local t0=$SECONDS
  debootstrap --variant=minbase --arch="$arch" "$suite" "$boot" "$m" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; fail "debootstrap failed"; }
  unmount_under "$boot"
  rm -f "$boot"/var/cache/apt/archives/*.deb
  tar --numeric-owner -C "$boot" -czf "$tarball.tmp" . && mv "$tarball.tmp" "$tarball"
  rm -rf "$boot"
  echo "clean root made in $((SECONDS - t0)) s"
  if [ -n "$machine_cache" ] && mkdir -p "$machine_cache"; then
    cp "$tarball" "$machine_cache/${tarball##*/}.$$" && mv "$machine_cache/${tarball##*/}.$$" "$machine_cache/${tarball##*/}"
  fi
}

in_root() {
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 \
    chroot "$root" "$@"
}

made_root
[ -z "$(mounts_under "$root")" ] || fail "$root has mounts"
rm -rf "$root"
mkdir -p "$root"
tar --numeric-owner -C "$root" -xzf "$tarball"

cat >"$root/usr/sbin/policy-rc.d" <<'EOF'
#!/bin/sh
# Every service action is refused, and noted.
echo "$*" >>/cleanroot-policy.log
exit 101
EOF
chmod 755 "$root/usr/sbin/policy-rc.d"
guard='#!/bin/sh
# Stands where a program that must never run here would be.
echo "$0 $*" >>/cleanroot-guard.log
exit 1'
for prog in /usr/bin/concentrator /usr/bin/provisioning date hwclock reboot; do
  case $prog in
    /*) path=$prog ;;
    *) path=$(in_root sh -c "command -v $prog") || path=/usr/sbin/$prog ;;
  esac
  if [ -e "$root$path" ] || [ "${prog#/}" != "$prog" ]; then
    in_root dpkg-divert --quiet --local --rename --divert "$path.real" --add "$path"
  fi
  printf '%s\n' "$guard" >"$root$path"
  chmod 755 "$root$path"
done

# The root's tree, without what dpkg and the system keep for themselves.
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o \
    -path ./tmp -o -path ./var/lib/dpkg -o -path ./var/log -o -path ./var/cache -o \
    -path ./home/KELDRAN -o -name 'cleanroot-*.log' \) -prune -o -printf '%p %y %m %l\n' | sort)
}
# The box's data: every entry, its kind, mode and size, and every file's bytes.
data_state() {
  (cd "$root$data" && find . -printf '%p %y %m %s\n' | sort && find . -type f -exec sha256sum {} + | sort)
}
policy_asked=()
expect_policy() {
  local got want
  # "(start)": asked while the runlevel is unknown, as in a chroot
  got=$(sed -n 's/^\(--quiet \)*//p' "$root/cleanroot-policy.log" 2>/dev/null | tr -d '()' |
    awk '{ print $1, $2 }')
  want=$(printf '%s\n' "${policy_asked[@]}")
  [ "$got" = "$want" ] || fail "$1: policy-rc.d was asked [$got], not [$want]"
}
package_has() {
  local f
  for f in "$@"; do
    [ -e "$root$f" ] || fail "the package's $f is missing"
  done
}
package_lacks() {
  local f
  for f in "$@"; do
    [ ! -e "$root$f" ] && [ ! -L "$root$f" ] || fail "$f is still there"
  done
}
# Runs level links of an init script: "S" or "K" with the runlevel, one a line.
rc_links() {
  (cd "$root/etc" && ls -d rc?.d/[SK][0-9][0-9]"$1" 2>/dev/null | sed 's/^rc\(.\)\.d\/\(.\).*/\2\1/' | sort | tr '\n' ' ')
}

before=$(snapshot)
nothing_runs "before"
cp "$deb" "$root/tmp/$package.deb"
t0=$SECONDS

# ---- Install ----------------------------------------------------------------------------------
in_root dpkg -i "/tmp/$package.deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "install failed"; }
nothing_runs "install"
policy_asked+=("concentrator start")
expect_policy "install"
[ "$(in_root dpkg-query -W -f '${Status} ${Version}' "$package")" = "install ok installed $version" ] ||
  fail "not installed"
package_has /usr/bin/concentrator.real /usr/bin/provisioning.real /usr/bin/testNetwork.sh \
  /usr/lib/systemd/system/concentrator.service /usr/lib/systemd/system/provisioning.service \
  /etc/init.d/concentrator /etc/init.d/provisioning /usr/share/doc/"$package"/copyright \
  /usr/share/doc/"$package"/changelog.gz /usr/share/doc/"$package"/PARAM_VARN.txt \
  /usr/share/man/man8/concentrator.8.gz /usr/share/man/man8/provisioning.8.gz \
  /usr/share/man/man8/testNetwork.sh.8.gz /usr/share/man/man5/PARAM_VARN.txt.5.gz \
  /usr/share/man/man7/keldran-box.7.gz
for prog in concentrator provisioning; do
  dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/bin/$prog" | cmp -s - "$root/usr/bin/$prog.real" ||
    fail "/usr/bin/$prog is not the package's"
done
[ -d "$root$data/log" ] || fail "$data/log was not made"
# A unit is enabled by its link in the target's wants (to /lib or /usr/lib, one place
# on a merged /usr).
enabled() {
  case $(readlink "$root/etc/systemd/system/multi-user.target.wants/$1") in
    /lib/systemd/system/"$1" | /usr/lib/systemd/system/"$1") return 0 ;;
  esac
  return 1
}
enabled concentrator.service || fail "concentrator.service is not enabled"
! enabled provisioning.service || fail "provisioning.service is enabled"
[ "$(rc_links concentrator)" = "K0 K1 K6 S2 S3 S4 S5 " ] || fail "init links of concentrator: $(rc_links concentrator)"
[ "$(rc_links provisioning)" = "K0 K1 K2 K3 K4 K5 K6 " ] || fail "init links of provisioning: $(rc_links provisioning)"
echo "installed: files, the concentrator's unit and init links enabled, nothing started"

# ---- Upgrade with results waiting -------------------------------------------------------------
mkdir -p "$root$data/outbox"
cp tests/fixtures/outbox-ob2/* "$root$data/outbox/"
printf '#001#GIEGLAN\r\n#005#KELDRAN\r\n#020#1234\r\n#100#LAN\r\n#101#127.0.0.1\r\n#102#5000\r\n' \
  >"$root$data/PARAM_VARN.txt"
printf 'en_attente=6\nage_plus_ancien=340\n' >"$root$data/log/outbox.txt"
printf 'INFO: 07/12/26 - 05:20:47:  ERREUR ecriture du fichier //mnt/GIEGLAN/RES/K0001.G\r\n' \
  >"$root$data/log/log.txt"
printf '1234' >"$root$data/watch_dog"
kept=$(data_state)
newer=$work/newer
rm -rf "$newer"
dpkg-deb -R "$deb" "$newer"
sed -i "s/^Version: .*/Version: $version+cleanroot1/" "$newer/DEBIAN/control"
dpkg-deb --root-owner-group -b "$newer" "$root/tmp/$package-newer.deb" >/dev/null
rm -rf "$newer"
in_root dpkg -i "/tmp/$package-newer.deb" >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log"; fail "upgrade failed"; }
nothing_runs "upgrade"
policy_asked+=("concentrator restart")
expect_policy "upgrade"
[ "$(in_root dpkg-query -W -f '${Version}' "$package")" = "$version+cleanroot1" ] || fail "not upgraded"
[ "$(data_state)" = "$kept" ] || fail "the upgrade changed the box's data"
package_has /usr/bin/concentrator.real
enabled concentrator.service || fail "concentrator.service is no longer enabled"
echo "upgraded: the outbox's $(ls "$root$data/outbox" | wc -l) results and the box's data kept byte for byte"

# ---- Remove, then purge -----------------------------------------------------------------------
in_root dpkg -r "$package" >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "remove failed"; }
nothing_runs "remove"
policy_asked+=("provisioning stop" "concentrator stop")
expect_policy "remove"
package_lacks /usr/bin/concentrator.real /usr/bin/provisioning.real /usr/bin/testNetwork.sh \
  /usr/lib/systemd/system/concentrator.service
[ "$(data_state)" = "$kept" ] || fail "the removal changed the box's data"
in_root dpkg -P "$package" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "purge failed"; }
nothing_runs "purge"
expect_policy "purge"
in_root dpkg-query -W "$package" >/dev/null 2>&1 && fail "dpkg still knows $package"
[ "$(data_state)" = "$kept" ] || fail "the purge changed the box's data"
after=$(snapshot)
[ "$after" = "$before" ] || { diff <(echo "$before") <(echo "$after") >&2 || true; fail "the purge left files"; }
echo "removed and purged: nothing of the package left, the box's data kept"
echo "clean-root test passed: $((SECONDS - t0)) s for the steps, $SECONDS s in all"
# a failed run leaves the root for a look; a passed one, nothing
[ -z "$(mounts_under "$root")" ] && rm -rf "$root"
