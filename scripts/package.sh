#!/usr/bin/env bash
# The box's Debian packages (run by scripts/board.sh once the box builds are made and
# tested): dpkg-buildpackage makes one from each box build with debhelper (debian/rules;
# amd64 from the box preset, armhf and arm64 from the board's), into build/packages.
# Each is checked: its architecture, its files, its programs stripped and for the right
# processor; lintian on it prints nothing (its overrides are in
# debian/keldran-box.lintian-overrides); its manual pages show cleanly with man -l and
# have a name lexgrog can read. Then the package for this machine goes through
# install, upgrade, removal and purge in a clean Debian root (scripts/cleanroot.sh).
# The box builds' programs use the real paths of the box: they never run here.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/packages
logs=build/board-logs
mkdir -p "$out" "$logs"
rm -f "$out"/keldran-box_*
version=$(dpkg-parsechangelog -SVersion)
t0=$SECONDS

for arch in amd64:x86-64 armhf:"ARM, EABI5" arm64:"ARM aarch64"; do
  a=${arch%%:*}
  base=$out/keldran-box_${version}_$a
  # nocheck: the box's programs never run here (their tests are the presets' own); CC
  # names the cross compiler to dpkg-architecture
  CC=$(dpkg-architecture -a"$a" -qDEB_HOST_GNU_TYPE 2>/dev/null)-gcc DEB_BUILD_OPTIONS=nocheck \
    DEB_DIR=$out dpkg-buildpackage -b --no-sign -a"$a" \
      --buildinfo-option=-u"$out" --changes-option=-u"$out" \
      --buildinfo-file="$base.buildinfo" --changes-file="$base.changes" >"$logs/deb-$a.txt" 2>&1 ||
    { cat "$logs/deb-$a.txt"; exit 1; }
  deb=$base.deb
  echo "== $deb"
  dpkg-deb -I "$deb" | sed -n '/Package:/,$p'
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$a" ] || { echo "wrong architecture"; exit 1; }
  files=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for f in ./usr/bin/concentrator ./usr/bin/provisioning ./usr/bin/testNetwork.sh \
           ./usr/lib/systemd/system/concentrator.service ./etc/init.d/concentrator \
           ./usr/share/doc/keldran-box/PARAM_VARN.txt ./usr/share/doc/keldran-box/copyright \
           ./usr/share/man/man8/concentrator.8.gz; do
    grep -qx -- "$f" <<<"$files" || { echo "$deb lacks $f"; exit 1; }
  done
  x=$(mktemp -d)
  dpkg-deb -x "$deb" "$x"
  what=$(file -b "$x/usr/bin/concentrator")
  echo "usr/bin/concentrator: $what"
  [[ "$what" == *"${arch#*:}"* && "$what" == *", stripped"* ]] ||
    { rm -rf "$x"; echo "not a stripped ${arch#*:} program"; exit 1; }
  if [ "$a" = amd64 ]; then
    # the pages are the same in every package
    for page in "$x"/usr/share/man/man*/*; do
      warned=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
      [ -z "$warned" ] && lexgrog "$page" >/dev/null ||
        { rm -rf "$x"; echo "${page#"$x"}: $warned"; exit 1; }
      echo "${page#"$x"}: $(lexgrog "$page" | sed 's/^[^:]*: *//')"
    done
  fi
  rm -rf "$x"
  # lintian warns that it runs as root; that line is not about the package
  said=$(lintian --allow-root "$deb" 2>&1 || true)
  [ -z "$said" ] || { echo "lintian on $deb:"; echo "$said"; exit 1; }
  echo "lintian: nothing to say"
done
echo "three packages made and checked in $((SECONDS - t0)) s"

bash scripts/cleanroot.sh "$out/keldran-box_${version}_$(dpkg --print-architecture).deb"
