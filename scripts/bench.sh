#!/usr/bin/env bash
# Builds the benchmarks and prints one table: dvrcore's event path beside the
# limit of one copy, a bare hand-off, ZeroMQ and GStreamer, plus the core's
# other figures. Installs what it needs first. Runner options pass through
# (--repeat N, --no-valgrind).
#
# --device: instead, the footprint figures (start-up with 50 plugins, idle
# resident size and PSS) of the native core here, beside those of the
# packaged armhf core on the virtual device (docs/device.md).
#
# --cameras [options]: the camera-count benchmark instead (scripts/bench-cameras.py,
# options --counts 4,16,32 --seconds 30 --repeat 2): dvrcore's camera and
# recorder plugins beside one ffmpeg and one GStreamer recorder per camera and
# the limit reader (raw RTSP to files), with system calls per camera-second.
# Every process it starts is stopped when it ends, on failure too.
#
# --archive: the archive benchmark instead (scripts/bench-archive.py): 16
# cameras recorded over an empty recordings directory and over an archive of
# 691,200 segments; start-up, memory, query latency, retention, index size
# and the cost of a rebuild.
#
# --viewers: the web plugin's benchmark instead (scripts/bench-viewers.sh):
# first live frame, live latency, playback's first frame, CPU per viewer and
# frames lost with 16 cameras, 32 live and 4 playback viewers.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --device ]; then
  shift
  ./scripts/install-deps.sh
  cmake --preset native -B build/bench >/dev/null
  cmake --build build/bench --target bench_runner
  cmake --preset armhf >/dev/null
  cmake --build --preset armhf
  echo "== native"
  build/bench/bench/bench_runner --footprint "$@"
  echo "== armhf, on the virtual device (timings emulated; sizes real)"
  exec bash scripts/device.sh --tests -- "$(pwd)/build/armhf/bench/bench_runner" --footprint \
    --core /usr/libexec/dvrcore/dvrcore "$@"
fi
if [ "${1:-}" = --cameras ]; then
  shift
  ./scripts/install-deps.sh
  cmake --preset native >/dev/null
  cmake --build --preset native --target dvrcore parent-standin dvrcore_recorder_plugins camera-server \
    bench_limit_rtsp_reader
  exec python3 scripts/bench-cameras.py --build build/native "$@"
fi
if [ "${1:-}" = --archive ]; then
  shift
  ./scripts/install-deps.sh
  cmake --preset native >/dev/null
  cmake --build --preset native --target dvrcore parent-standin dvrcore_recorder_plugins camera-server
  exec python3 scripts/bench-archive.py --build build/native "$@"
fi
if [ "${1:-}" = --viewers ]; then
  shift
  exec bash scripts/bench-viewers.sh "$@"
fi
./scripts/install-deps.sh valgrind

cmake --preset native -B build/bench >/dev/null
cmake --build build/bench --target bench_runner

# Stripped sizes come from the regular builds when they are there.
native=build/native/dvrcore
[ -x "$native" ] || native=build/bench/dvrcore
armhf=build/armhf/dvrcore
if [ ! -x "$armhf" ]; then
  cmake --preset armhf -B build/bench-armhf >/dev/null
  cmake --build build/bench-armhf --target dvrcore
  armhf=build/bench-armhf/dvrcore
fi

exec build/bench/bench/bench_runner --stripped-native "$native" --stripped-armhf "$armhf" "$@"
