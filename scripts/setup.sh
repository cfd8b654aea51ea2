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
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
