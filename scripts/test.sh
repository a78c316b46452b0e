#!/usr/bin/env bash
# Builds and runs every test of both builds: native (x86_64) and armhf
# (32-bit ARM, under qemu-arm). Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

status=0
for preset in native armhf; do
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== ${preset}: test"
  ctest --preset "$preset" -j2 || status=1
done
exit $status
