#!/usr/bin/env bash
# Builds dvrcore with the example plugins and runs it under the parent-service
# stand-in until Ctrl-C, or for a fixed number of seconds. Installs what is
# missing first.
#
# The working directory (default: run/ in the repository) receives the core
# and its "plugins"; the core runs there and leaves core.xml (kept from one run
# to the next), recordings/ and logs/ behind. The stand-in shows the core's
# log with a live status line from the example bridge plugin, turns Ctrl-C
# into the parent's stop packet and exits with the core's exit status.
set -euo pipefail

usage() {
  cat <<'TEXT'
Usage: scripts/run.sh [--seconds N] [--workdir DIR] [--build-dir DIR] [--launcher WORD]...
  --seconds N       stop the core after N seconds (default: run until Ctrl-C)
  --workdir DIR     the working directory (default: run/ in the repository)
  --build-dir DIR   take dvrcore, the stand-in and the plugins from this existing
                    build; nothing is installed or built
  --launcher WORD   run the programs through WORD (repeatable), e.g. an emulator
TEXT
}

repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=""
workdir="$repo/run"
build_dir=""
launcher=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) [[ ${2:-} =~ ^[0-9]+$ ]] || { usage >&2; exit 2; }; seconds=$2; shift 2 ;;
    --workdir) [ -n "${2:-}" ] || { usage >&2; exit 2; }; workdir=$2; shift 2 ;;
    --build-dir) [ -n "${2:-}" ] || { usage >&2; exit 2; }; build_dir=$2; shift 2 ;;
    --launcher) [ -n "${2:-}" ] || { usage >&2; exit 2; }; launcher+=("$2"); shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

if [ -z "$build_dir" ]; then
  "$repo/scripts/install-deps.sh"
  (cd "$repo" && cmake --preset native >/dev/null &&
    cmake --build --preset native --target dvrcore parent-standin dvrcore_examples)
  build_dir="$repo/build/native"
fi
build_dir=$(cd "$build_dir" && pwd)

# Copy beside the old files and rename over them: a core still running from
# the old executable keeps it, and a failed copy leaves nothing half written.
place() {
  cp "$1" "$2.new"
  mv -f "$2.new" "$2"
}
mkdir -p "$workdir/plugins"
workdir=$(cd "$workdir" && pwd)
place "$build_dir/dvrcore" "$workdir/dvrcore"
for plugin in "$build_dir"/example-plugins/*.so; do
  place "$plugin" "$workdir/plugins/$(basename "$plugin")"
done

standin=("$build_dir/parent-standin" --workdir "$workdir" --status 0x44)  # 0x44: the bridge's provider index
for word in "${launcher[@]}"; do
  standin+=(--launcher "$word")
done
if [ -n "$seconds" ]; then
  standin+=(--do "sleep $((seconds * 1000))" --do stop)
fi
cd "$workdir"
exec "${launcher[@]}" "${standin[@]}" ./dvrcore
