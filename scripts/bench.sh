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
# --device-cameras [COUNT [SECONDS]]: the camera benchmark on the virtual
# device (default 4 cameras, 30 s): the test camera server runs here, the
# device reaches it through qemu's user network and records it with dvrcore,
# with one libavformat copy program per camera (ffmpeg's copy; the ffmpeg
# program does not fit the device) and with the limit reader, in turn
# (scripts/device/bench-cameras). CPU under emulation: the ratios are the
# figures, not the seconds.
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
if [ "${1:-}" = --device-cameras ]; then
  count=${2:-4}
  seconds=${3:-30}
  ./scripts/install-deps.sh
  cmake --preset native >/dev/null
  cmake --build --preset native --target camera-server
  cmake --preset armhf >/dev/null
  cmake --build --preset armhf
  server_output=$(mktemp)
  build/native/camera-server --cameras "$count" --port 0 >"$server_output" 2>/dev/null &
  server=$!
  trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$server_output"' EXIT
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's/.*ready on port \([0-9]*\).*/\1/p' "$server_output")
    [ -n "$port" ] && break
    sleep 0.2
  done
  [ -n "$port" ] || { echo "bench: the test camera server did not start" >&2; exit 1; }
  bash scripts/device.sh --tests --net --timeout $((seconds * 3 + 600)) -- \
    sh /etc/device/bench-cameras "$port" "$count" "$seconds"
  exit
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
