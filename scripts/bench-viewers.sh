#!/usr/bin/env bash
# The web plugin's figures (docs/viewing.md): time to the first live frame
# and live latency in Debian's headless chromium, playback's time to its
# first frame, the core's CPU and memory per live viewer as a ratio to
# recording (a camera's first viewer, and a second one sharing its
# fragments), and frames lost by the recorder and by each viewer with 16
# cameras recording, 32 live and 4 playback viewers. Prints figures; no
# pass or fail. Uses the native build (builds what is missing).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cameras=${CAMERAS:-16}
"$repo/scripts/install-deps.sh"
(cd "$repo" && cmake --preset native >/dev/null &&
  cmake --build --preset native --target dvrcore parent-standin dvrcore_recorder_plugins camera-server >/dev/null)
build="$repo/build/native"
(cd "$repo/tests/web" && { [ -d node_modules/puppeteer-core ] || timeout 300 npm ci --no-audit --no-fund --loglevel=error; })

work=$(mktemp -d /tmp/dvrcore-bench-viewers.XXXXXX)
source "$repo/tests/web/web_harness.sh"
trap stop_started EXIT

port=$(start_camera_server cameras --cameras "$cameras")
camera_options=()
for n in $(seq 1 "$cameras"); do camera_options+=(--camera "cam$n=rtsp://127.0.0.1:$port/cam$n"); done
mkdir -p "$work/core"
printf 'port = 0\n' >"$work/core/web.conf"
url=$(start_core "$work/core" 400 "${camera_options[@]}")
core_pid=""
for _ in $(seq 1 50); do
  core_pid=$(pgrep -n -x dvrcore -P "$(cat "$work/core/standin.pid")" || true)
  [ -n "$core_pid" ] && break
  sleep 0.1
done
[ -n "$core_pid" ] || { echo "bench-viewers: no core process" >&2; exit 1; }
echo "bench-viewers: $cameras cameras (1080p, 25 fps, 4 Mbit/s) recorded by core $core_pid, page at $url"
CORE_PID=$core_pid STANDIN_LOG="$work/core/standin.log" CAMERAS=$cameras \
  timeout 600 node "$repo/tests/web/viewers_bench.mjs" "$url"
