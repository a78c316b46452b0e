#!/usr/bin/env bash
# The web plugin end to end: the real core with the recorder's plugins and
# the web plugin, three test camera servers (H.264, with and without sound,
# H.265, and H.264 with B-frames), and Debian's chromium driven by puppeteer-core
# (browser_test.mjs). Then cores whose web plugin listens on a non-loopback
# address of this machine, over plain HTTP and over TLS, asked without and
# with a session.
#
# Usage: run_browser_test.sh BUILD_DIR [OUTPUT_DIR]
# Installs puppeteer-core into tests/web/node_modules when it is missing
# (npm ci, from the committed package-lock.json). Every wait is bounded;
# every process started here is stopped on the way out.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
out=${2:-$build/web-test}
mkdir -p "$out"
out=$(cd "$out" && pwd)

if ! command -v chromium >/dev/null; then
  echo "browser test: chromium is missing (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
if [ ! -d "$here/node_modules/puppeteer-core" ] || [ "$here/package-lock.json" -nt "$here/node_modules/.package-lock.json" ]; then
  (cd "$here" && timeout 300 npm ci --no-audit --no-fund --loglevel=error)
fi

work=$(mktemp -d /tmp/dvrcore-web-test.XXXXXX)
source "$here/web_harness.sh"
trap stop_started EXIT
export SEGMENT_SECONDS=4

h264_port=$(start_camera_server h264 --cameras 1 --audio-camera --control "$work/h264.control")
bframes_port=$(start_camera_server bframes --cameras 1 --bframes 2 --size 640x360)
h265_port=$(start_camera_server h265 --cameras 1 --codec h265 --size 640x360)
mkdir -p "$work/core"
printf '# the browser test\naddress = 127.0.0.1\nport = 0\n' >"$work/core/web.conf"
url=$(start_core "$work/core" 200 --camera "cam1=rtsp://127.0.0.1:$h264_port/cam1" \
  --camera "hevc=rtsp://127.0.0.1:$h265_port/cam1" --camera "bframes=rtsp://127.0.0.1:$bframes_port/cam1" \
  --camera "sound=rtsp://127.0.0.1:$h264_port/audio")
echo "browser test: the page at $url"

status=0
CONTROL="$work/h264.control" CORE_LOG="$work/core/core.log" OUT="$out" \
  timeout 240 node "$here/browser_test.mjs" "$url" || status=1
timeout 120 node "$here/hostile_clients_test.mjs" "$url" || status=1

# The recorder lost nothing and the core never throttled, with the viewers.
last=$(grep -a 'status:' "$work/core/standin.log" | tail -n 1 || true)
echo "browser test: $last"
if ! [[ $last =~ \|\ 0\ dropped\ \|\ throttling\ no ]] || grep -aq 'throttling yes' "$work/core/standin.log"; then
  echo "FAIL: the recorder dropped frames or the core throttled while viewers watched" >&2
  status=1
fi

# Closed to strangers: a listener on this machine's own non-loopback address.
address=$(hostname -I 2>/dev/null | tr ' ' '\n' | grep -E '^[0-9]+\.' | grep -v '^127\.' | head -n 1 || true)
if [ -z "$address" ]; then
  echo "browser test: no non-loopback address here, the stranger check is skipped"
else
  mkdir -p "$work/open"
  user_line=$(printf 'secret-word\n' | "$build/web-user" viewer)
  printf 'address = %s\nport = 0\n%s\n' "$address" "$user_line" >"$work/open/web.conf"
  open_url=$(start_core "$work/open" 30)
  code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "${open_url}api/cameras")
  wrong=$(curl -s -o /dev/null -w '%{http_code}' --max-time 20 -d 'user=viewer&password=guess' "${open_url}api/login")
  curl -s -o /dev/null --max-time 20 -c "$work/cookies" -d 'user=viewer&password=secret-word' "${open_url}api/login"
  admitted=$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 -b "$work/cookies" "${open_url}api/cameras")
  echo "browser test: from $address without a session $code, wrong password $wrong, with a session $admitted"
  if [ "$code" != 401 ] || [ "$wrong" != 403 ] || [ "$admitted" != 200 ]; then
    echo "FAIL: a non-loopback listener must refuse requests without a session" >&2
    status=1
  fi
  if ! grep -q "without TLS" "$work/open/core.log"; then
    echo "FAIL: no warning for a non-loopback listener without TLS" >&2
    status=1
  fi

  # Over TLS, with the test's own certificate for that address.
  mkdir -p "$work/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=$address" \
    -addext "subjectAltName=IP:$address" -keyout "$work/tls/key.pem" -out "$work/tls/cert.pem" 2>/dev/null
  printf 'address = %s\nport = 0\n%s\ntls_certificate = %s\ntls_key = %s\n' "$address" "$user_line" \
    "$work/tls/cert.pem" "$work/tls/key.pem" >"$work/tls/web.conf"
  tls_url=$(start_core "$work/tls" 60 --camera "cam1=rtsp://127.0.0.1:$h264_port/cam1")
  tls=(curl -s --max-time 20 --cacert "$work/tls/cert.pem")
  code=$("${tls[@]}" -o /dev/null -w '%{http_code}' "${tls_url}api/cameras")
  headers=$("${tls[@]}" -D - -o /dev/null -d 'user=viewer&password=secret-word' "${tls_url}api/login" | tr -d '\r')
  plain=$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "http://${tls_url#https://}api/session" || true)
  echo "browser test: over TLS at $tls_url without a session $code, plain HTTP to it $plain"
  if [[ $tls_url != https://* ]] || [ "$code" != 401 ] || [ "$plain" != 000 ]; then
    echo "FAIL: the TLS listener must serve HTTPS only, and refuse requests without a session" >&2
    status=1
  fi
  if ! grep -qi '^set-cookie: .*; Secure' <<<"$headers" || ! grep -qi '^strict-transport-security:' <<<"$headers"; then
    echo "FAIL: over TLS the session cookie must be Secure and HSTS sent: $headers" >&2
    status=1
  fi
  timeout 90 node "$here/tls_live_test.mjs" "$tls_url" viewer secret-word || status=1

  # TLS asked for but not usable: no listener at all, never plain HTTP.
  mkdir -p "$work/half/plugins"
  printf 'address = %s\nport = 0\n%s\ntls_certificate = %s\n' "$address" "$user_line" "$work/tls/cert.pem" \
    >"$work/half/web.conf"
  cp "$build/dvrcore" "$work/half/" && cp "$build"/recorder-plugins/*.so "$work/half/plugins/"
  (cd "$work/half" && DVRCORE_LOG="$work/half/core.log" timeout 60 "$build/parent-standin" --workdir "$work/half" \
    --do "sleep 3000" --do stop ./dvrcore </dev/null >"$work/half/standin.log" 2>&1) || true
  if ! grep -q 'web: tls_certificate and tls_key go together; not serving' "$work/half/core.log" ||
    grep -q 'serving the page at' "$work/half/core.log"; then
    echo "FAIL: a TLS setting without its key must keep the page from being served" >&2
    status=1
  fi
fi

[ $status -eq 0 ] && echo "browser test: 1 passed, 0 failed" || echo "browser test: 0 passed, 1 failed"
exit $status
