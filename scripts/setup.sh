#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (run as root).
set -euo pipefail
need=()
for pkg in cmake ninja-build g++ libgtest-dev libgmock-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
# The board's builds: Debian's cross compilers, qemu-user to run their tests, file to
# check what they made.
for pkg in g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user file; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
# The packages: debhelper and dpkg-dev make them, scdoc their manual pages, man-db
# shows the pages, lintian checks them, debootstrap makes the clean root they are
# installed into.
for pkg in debhelper dpkg-dev scdoc man-db lintian debootstrap; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
# The real share of the end-to-end tests and of bench/share.sh: Debian's Samba server
# (started by the tests on 127.0.0.1 only, never as the machine's service), the FUSE SMB
# client smbnetfs, libsmbclient to build the tests' file holder, strace for the bench.
for pkg in samba smbnetfs libsmbclient-dev pkg-config strace; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  apt-get update -qq
  # installing the server must not start it as a service of this machine
  deny=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    deny=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" || { [ -z "$deny" ] || rm -f /usr/sbin/policy-rc.d; exit 1; }
  [ -z "$deny" ] || rm -f /usr/sbin/policy-rc.d
fi
