#!/usr/bin/env bash
# Installs what the fuzz build needs beyond scripts/setup.sh, on a Debian machine (run
# as root): clang with its sanitizer and fuzzer runtimes, and libcrypto's headers for
# the independent SHA-1 of the sealing checks.
set -euo pipefail
bash "$(dirname "$0")/setup.sh"
missing=$(for p in clang libclang-rt-14-dev libssl-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || echo "$p"
done)
[ -z "$missing" ] && exit 0
echo "installing:" $missing
apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
