#!/usr/bin/env bash
# The web plugin's figures (docs/viewing.md): time to the first live frame
# and live latency in Debian's headless chromium, playback's time to its
# first frame, the core's CPU and memory per live viewer as a ratio to
# recording, and frames lost by the recorder and by each viewer with 16
# cameras recording, 16 live and 4 playback viewers. Prints figures; no
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
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

setsid "$build/camera-server" --cameras "$cameras" --port 0 </dev/null >"$work/cameras.log" 2>&1 &
pids+=($!)
port=""
for _ in $(seq 1 600); do
  port=$(sed -n 's/^camera-server: ready on port \([0-9]*\)$/\1/p' "$work/cameras.log")
  [ -n "$port" ] && break
  sleep 0.5
done
[ -n "$port" ] || { cat "$work/cameras.log" >&2; exit 1; }
camera_options=()
for n in $(seq 1 "$cameras"); do camera_options+=(--camera "cam$n=rtsp://127.0.0.1:$port/cam$n"); done

mkdir -p "$work/core/plugins"
cp "$build/dvrcore" "$work/core/"
cp "$build"/recorder-plugins/*.so "$work/core/plugins/"
printf 'port = 0\n' >"$work/core/web.conf"
(cd "$work/core" && DVRCORE_LOG="$work/core/core.log" exec "$build/parent-standin" --workdir "$work/core" \
  --status 0x44 --do "sleep 400000" --do stop "${camera_options[@]}" ./dvrcore </dev/null >"$work/standin.log" 2>&1) &
standin_pid=$!
pids+=($standin_pid)
url=""
for _ in $(seq 1 100); do
  url=$(sed -n 's|.*web: serving the page at \(http://[^ ]*\)$|\1|p' "$work/core/core.log" 2>/dev/null | tail -n 1 || true)
  [ -n "$url" ] && break
  sleep 0.2
done
[ -n "$url" ] || { echo "bench-viewers: the core did not start" >&2; exit 1; }
core_pid=$(pgrep -n -x dvrcore -P "$standin_pid" || true)
[ -n "$core_pid" ] || { echo "bench-viewers: no core process" >&2; exit 1; }
echo "bench-viewers: $cameras cameras (1080p, 25 fps, 4 Mbit/s) recorded by core $core_pid, page at $url"
CORE_PID=$core_pid STANDIN_LOG="$work/standin.log" CAMERAS=$cameras \
  timeout 600 node "$repo/tests/web/viewers_bench.mjs" "$url"
