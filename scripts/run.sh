#!/usr/bin/env bash
# Builds dvrcore and runs it in ./run until Ctrl-C. Installs what is missing
# first. The working directory keeps core.xml from one run to the next.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target dvrcore

mkdir -p run/plugins
cp build/native/dvrcore run/dvrcore
cd run
exec ./dvrcore
