#!/usr/bin/env bash
# Installs every Debian package that building, running and testing dvrcore needs,
# for the native (amd64) and the device (armhf) build. Idempotent: prints nothing
# and installs nothing when all packages are present.
set -euo pipefail

native_packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  libboost-dev libboost-system-dev libboost-filesystem-dev
  libtinyxml-dev libgtest-dev libwxgtk3.2-dev
  locales qemu-user util-linux passwd procps python3
  libzmq3-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base
  clang libclang-rt-14-dev llvm
  qemu-system-arm cpio
  libavformat-dev libavcodec-dev libavutil-dev libsqlite3-dev ffmpeg
  libgstrtspserver-1.0-dev gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  gstreamer1.0-tools linux-perf
  libsodium-dev libssl-dev openssl chromium nodejs curl
)
armhf_packages=(
  crossbuild-essential-armhf
  libboost-dev:armhf libboost-system-dev:armhf libboost-filesystem-dev:armhf
  libtinyxml-dev:armhf libgtest-dev:armhf libc6:armhf libstdc++6:armhf
  libwxbase3.2-1:armhf
  libavformat-dev:armhf libavcodec-dev:armhf libavutil-dev:armhf libsqlite3-dev:armhf
  libsodium-dev:armhf libssl-dev:armhf
)
extra_packages=("$@")

native_arch=$(dpkg --print-architecture)
# A package counts as present when it is installed for the requested architecture
# (the native one unless the name carries ":arch"), or for "all".
is_installed() {
  local name=${1%%:*} arch=$native_arch
  [[ $1 == *:* ]] && arch=${1#*:}
  dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$name" 2>/dev/null |
    grep -Eq "^($arch|all) installed$"
}

# A mirror caught mid-sync fails some index downloads ("File has unexpected
# size"): try again a few times, then go on with the indexes apt has.
refresh_indexes() {
  local attempt
  for attempt in 1 2 3; do
    apt-get update -qq && return 0
    echo "install-deps: package index update failed (attempt $attempt of 3)" >&2
    sleep $((attempt * 5))
  done
  echo "install-deps: going on with the package indexes already here" >&2
}

# When the amd64 and armhf indexes of a multiarch package disagree on its
# version (one index lagging the other), apt only says "held broken
# packages": name the packages and the way out instead.
install_or_explain() {
  apt-get install -y -qq --no-install-recommends "$@" >/dev/null && return 0
  local p name skew=()
  for p in "$@"; do
    [[ $p == *:armhf ]] || continue
    name=${p%%:*}
    local amd64 armhf
    amd64=$(apt-cache policy "$name:$native_arch" 2>/dev/null | awk '/Candidate:/ {print $2}')
    armhf=$(apt-cache policy "$name:armhf" 2>/dev/null | awk '/Candidate:/ {print $2}')
    [ -n "$amd64" ] && [ -n "$armhf" ] && [ "$amd64" != "$armhf" ] && skew+=("$name ($native_arch $amd64, armhf $armhf)")
  done
  if [ ${#skew[@]} -gt 0 ]; then
    echo "install-deps: the $native_arch and armhf package indexes disagree on: ${skew[*]}" >&2
    echo "install-deps: one index lags the other (a mirror mid-sync); run 'apt-get update' again later, or install both at one version by hand" >&2
  fi
  return 1
}

missing=()
for p in "${native_packages[@]}" "${armhf_packages[@]}" "${extra_packages[@]}"; do
  is_installed "$p" || missing+=("$p")
done

need_arch=0
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  need_arch=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_arch -eq 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${missing[*]}); run as root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  [ $need_arch -eq 1 ] && dpkg --add-architecture armhf
  echo "install-deps: installing ${missing[*]}" >&2
  refresh_indexes
  install_or_explain "${missing[@]}"
fi

# The browser tests install puppeteer-core with npm. Debian's nodejs comes
# without it (its own package, npm); other builds of nodejs carry their own
# npm, which Debian's would conflict with.
if ! command -v npm >/dev/null; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: npm is missing; run as root" >&2
    exit 1
  fi
  refresh_indexes
  install_or_explain npm
fi

# The slow-write line and the statistics group digits with this locale; tests use it.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf8$'; then
  if [ "$(id -u)" -eq 0 ]; then
    sed -i 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen >/dev/null
  fi
fi
