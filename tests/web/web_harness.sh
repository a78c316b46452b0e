# Shell functions that start the real processes of a web plugin run: sourced
# by run_browser_test.sh and scripts/bench-viewers.sh, which set `build` (a
# native build directory) and `work` (a fresh directory). Every process
# started is noted in $work/pids; stop_started (on EXIT) stops them all.
# Functions called in $(...) run in a subshell, hence a file.

stop_started() {
  local pid
  for pid in $(cat "$work/pids" 2>/dev/null); do
    kill "$pid" 2>/dev/null || true
  done
  local waited
  for pid in $(cat "$work/pids" 2>/dev/null); do
    waited=0
    while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do
      sleep 0.1
      waited=$((waited + 1))
    done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}

# start_camera_server NAME OPTIONS...: prints the port it listens on.
start_camera_server() {
  local name=$1
  shift
  setsid "$build/camera-server" --port 0 "$@" </dev/null >"$work/$name.log" 2>&1 &
  echo $! >>"$work/pids"
  local port=""
  for _ in $(seq 1 600); do
    port=$(sed -n 's/^camera-server: ready on port \([0-9]*\)$/\1/p' "$work/$name.log")
    [ -n "$port" ] && break
    sleep 0.5
  done
  [ -n "$port" ] || { cat "$work/$name.log" >&2; return 1; }
  echo "$port"
}

# start_core DIR SECONDS STANDIN-OPTIONS...: the core in DIR (its web.conf
# already there) with the recorder's plugins and the web plugin, under the
# stand-in for SECONDS (segments of $SEGMENT_SECONDS, default 60); prints the
# page's address. The stand-in's pid goes to DIR/standin.pid, its output to
# DIR/standin.log, the core's log to DIR/core.log.
start_core() {
  local dir=$1 seconds=$2
  shift 2
  mkdir -p "$dir/plugins"
  cp "$build/dvrcore" "$dir/"
  cp "$build"/recorder-plugins/*.so "$dir/plugins/"
  (cd "$dir" && DVRCORE_LOG="$dir/core.log" DVRCORE_SEGMENT_SECONDS=${SEGMENT_SECONDS:-60} \
    exec "$build/parent-standin" --workdir "$dir" --status 0x44 --do "sleep $((seconds * 1000))" --do stop \
    "$@" ./dvrcore </dev/null >"$dir/standin.log" 2>&1) &
  echo $! >>"$work/pids"
  echo $! >"$dir/standin.pid"
  local url=""
  for _ in $(seq 1 100); do
    url=$(sed -n 's|.*web: serving the page at \(https\{0,1\}://[^ ]*\)$|\1|p' "$dir/core.log" 2>/dev/null | tail -n 1 || true)
    [ -n "$url" ] && break
    sleep 0.2
  done
  [ -n "$url" ] || { cat "$dir/core.log" >&2; return 1; }
  echo "$url"
}
