#!/usr/bin/env bash
# Builds and runs every test of both builds: native (x86_64) and armhf
# (32-bit ARM, under qemu-arm, then again on the virtual device: Debian's
# 32-bit ARM kernel under qemu-system-arm). Then the reliability steps: the
# whole suite under AddressSanitizer (with UndefinedBehaviorSanitizer and
# LeakSanitizer) and under ThreadSanitizer, each fuzz target for a bounded
# time, and the soak run. Installs what is missing first. Exits non-zero if
# any step failed.
#
# Environment: FUZZ_SECONDS (per fuzz target, default 60), SOAK_SECONDS
# (default 240).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

fuzz_seconds=${FUZZ_SECONDS:-60}
soak_seconds=${SOAK_SECONDS:-240}
status=0

# The two builds, then the sanitizers: the whole suite each time, process
# tests and test plugins included.
for preset in native armhf asan tsan; do
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== ${preset}: test"
  ctest --preset "$preset" -j2 || status=1
  if [ "$preset" = armhf ]; then
    # The same tests on a 32-bit ARM kernel (docs/device.md).
    echo "== armhf: test on the virtual device"
    bash scripts/device.sh --tests || status=1
  fi
done

# ---- Fuzzing: each target from its committed corpus for a bounded time.
# New inputs go to build/fuzz/corpus, crashes to build/fuzz/artifacts (to be
# committed under tests/fuzz/regressions/<target>/ once fixed).
echo "== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/artifacts
for target in ipc_reader configuration plugin_event rtsp_reader web_request; do
  echo "== fuzz: ${target} for ${fuzz_seconds} s"
  mkdir -p "build/fuzz/corpus/${target}"
  log="build/fuzz/${target}.log"
  if LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp" \
      "build/fuzz/fuzz/fuzz_${target}" "build/fuzz/corpus/${target}" "tests/fuzz/corpus/${target}" \
      -max_total_time="$fuzz_seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/${target}-" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' "$log" || true
  else
    tail -n 80 "$log"
    echo "== fuzz: ${target} FAILED; the input is in build/fuzz/artifacts/"
    status=1
  fi
done

# ---- Soak: the native build's core under load for minutes.
echo "== soak: ${soak_seconds} s"
build/native/dvrcore_soak --seconds "$soak_seconds" || status=1

exit $status
