#!/usr/bin/env bash
# The virtual device: the armhf build as the device runs it, on Debian's
# 32-bit ARM kernel under qemu-system-arm, with an initramfs as the whole root
# file system (busybox, the libraries the binaries name, the armhf package
# unpacked at its installed paths). Boots it, runs a command there with its
# output streamed here, and exits with the command's status.
#
#   scripts/device.sh [options] [--] [command...]
#     --build DIR      the armhf build to take (default build/armhf; built
#                      already, `cpack` makes its package here)
#     --tests          also put the build's programs and test plugins in the
#                      image at their build paths, stripped, with the list of
#                      tests that run on the device; the command defaults to
#                      the whole list (scripts/device/run-tests)
#     --timeout S      power the device off after S seconds (default 900);
#                      the status is then 124
#     --shell          an interactive shell on the device instead of a
#                      command (Ctrl-A x leaves qemu)
#     --net            a network: qemu's user network, the device at
#                      10.0.2.15, this machine's loopback at 10.0.2.2
#
# Without a command: `uname -a`. The command runs as root in /root with
# busybox sh. No network unless asked for. The image is left at build/device/initramfs.cpio
# and the kernel at build/device/vmlinuz (docs/device.md boots them by hand).
# Exit status: the command's; 124 when the watchdog struck; 125 when the
# device ended without reporting one.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)

build=build/armhf
with_tests=0
shell=0
net=0
watchdog=900
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --tests) with_tests=1; shift ;;
    --timeout) watchdog=$2; shift 2 ;;
    --shell) shell=1; shift ;;
    --net) net=1; shift ;;
    --) shift; break ;;
    -*) echo "device: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
command=("$@")
if [ ${#command[@]} -eq 0 ]; then
  if [ $with_tests -eq 1 ]; then command=(sh /etc/device/run-tests); else command=(uname -a); fi
fi

./scripts/install-deps.sh
build=$(cd "$build" && pwd)
[ -x "$build/dvrcore" ] || { echo "device: no armhf build in $build" >&2; exit 2; }

cache=$source_dir/build/device
triplet=arm-linux-gnueabihf
mkdir -p "$cache/debs"
# One device at a time per tree: the image is built in place.
exec 9>"$cache/lock"
flock 9

# ---- Debian's packages for the device: the kernel and busybox. Downloaded
# once; a cached package is used as it is.
fetch() {  # fetch <file glob> <package>: prints the path of the .deb
  local found
  found=$(ls "$cache"/debs/$1 2>/dev/null | sort -V | tail -n 1) || true
  if [ -z "$found" ]; then
    (cd "$cache/debs" && apt-get download -q "$2") >&2
    found=$(ls "$cache"/debs/$1 | sort -V | tail -n 1)
  fi
  echo "$found"
}
kernel_version() {  # the kernel package that Debian's armmp metapackage names
  apt-cache depends linux-image-armmp:armhf 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}' || true
}
# An empty cache is no error (the pipelines' status would end the script).
kernel_deb=$(ls "$cache"/debs/linux-image-*-armmp_*_armhf.deb 2>/dev/null | sort -V | tail -n 1) || true
if [ -z "$kernel_deb" ]; then
  kernel_name=$(kernel_version)
  if [ -z "$kernel_name" ]; then
    apt-get update -qq
    kernel_name=$(kernel_version)
  fi
  kernel_deb=$(fetch 'linux-image-*-armmp_*_armhf.deb' "$kernel_name")
fi
busybox_deb=$(fetch 'busybox-static_*_armhf.deb' busybox-static:armhf)
if [ ! -f "$cache/vmlinuz" ] || [ "$kernel_deb" -nt "$cache/vmlinuz" ]; then
  rm -rf "$cache/kernel"
  dpkg-deb -x "$kernel_deb" "$cache/kernel"
  cp "$cache"/kernel/boot/vmlinuz-* "$cache/vmlinuz"
  rm -rf "$cache/kernel"
fi

# ---- The root file system, laid out as Debian's (merged /usr).
root=$cache/rootfs
rm -rf "$root"
mkdir -p "$root"/{usr/bin,usr/sbin,usr/lib/$triplet,etc/device,proc,sys,dev,tmp,run,root,var/log}
ln -s usr/bin "$root/bin"
ln -s usr/sbin "$root/sbin"
ln -s usr/lib "$root/lib"
dpkg-deb --fsys-tarfile "$busybox_deb" | tar -x -C "$root" ./bin/busybox
ln -s busybox "$root/usr/bin/sh"
install -m 755 scripts/device/init "$root/init"
printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n' >"$root/etc/passwd"
printf 'root:x:0:\ntty:x:5:\nnogroup:x:65534:\n' >"$root/etc/group"
# Digit grouping in log lines uses en_US.UTF-8 where the system has it.
[ -f /usr/lib/locale/locale-archive ] && mkdir -p "$root/usr/lib/locale" &&
  cp /usr/lib/locale/locale-archive "$root/usr/lib/locale/"

# The armhf package, unpacked where dpkg would install it.
rm -rf "$cache/package"
cpack --config "$build/CPackConfig.cmake" -B "$cache/package" >"$cache/cpack.log" 2>&1 ||
  { cat "$cache/cpack.log" >&2; echo "device: cpack failed" >&2; exit 2; }
package=$(ls "$cache"/package/dvrcore_*_armhf.deb)
dpkg-deb -x "$package" "$root"
dpkg-deb -c "$package" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' >"$root/etc/device/package-files"
cp "$package" "$root/root/"

# The build's own programs, plugins and test data at their build paths: the
# test programs find each other there.
if [ $with_tests -eq 1 ]; then
  while IFS= read -r file; do
    if $triplet-readelf -h "$file" >/dev/null 2>&1; then
      mkdir -p "$root$(dirname "$file")"
      $triplet-strip --strip-debug -o "$root$file" "$file"
    fi
  done < <(find "$build" -type f \( -perm -u+x -o -name '*.so' \) \
             -not -path '*/CMakeFiles/*' -not -path '*/_CPack_Packages/*')
  # Tests run in their build directories.
  find "$build" -type d -not -path '*/CMakeFiles*' -not -path '*/_CPack_Packages*' -printf "$root%p\n" |
    xargs mkdir -p
  for data in tests/fuzz/corpus tests/fuzz/regressions; do
    mkdir -p "$root$source_dir/$(dirname "$data")"
    cp -r "$data" "$root$source_dir/$data"
  done
  python3 scripts/device/test-list.py "$build" >"$root/etc/device/tests"
  install -m 644 scripts/device/run-tests scripts/device/check-image scripts/device/bench-cameras "$root/etc/device/"
  echo "$build" >"$root/etc/device/build"
fi

# The network card's drivers, which Debian's kernel builds as modules; init
# loads them in this order.
if [ $net -eq 1 ]; then
  modules=(drivers/virtio/virtio_mmio.ko net/core/failover.ko drivers/net/net_failover.ko drivers/net/virtio_net.ko)
  rm -rf "$cache/kernel-modules"
  dpkg-deb -x "$kernel_deb" "$cache/kernel-modules"
  mkdir -p "$root/usr/lib/device-net"
  for module in "${modules[@]}"; do
    cp "$cache"/kernel-modules/lib/modules/*/kernel/$module "$root/usr/lib/device-net/"
    basename "$module" >>"$root/etc/device/net-modules"
  done
  rm -rf "$cache/kernel-modules"
fi

# ---- Libraries: every NEEDED entry of every binary in the image, and theirs,
# from the armhf multiarch packages installed here.
lib_dirs=(/usr/lib/$triplet /lib/$triplet)
declare -A placed=()
pending=()
while IFS= read -r file; do pending+=("$file"); done < <(find "$root" -type f \( -perm -u+x -o -name '*.so*' \))
while [ ${#pending[@]} -gt 0 ]; do
  file=${pending[-1]}
  unset 'pending[-1]'
  headers=$($triplet-readelf -dl "$file" 2>/dev/null) || continue
  interpreter=$(sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p' <<<"$headers")
  needed=$(sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p' <<<"$headers")
  for name in $interpreter $needed; do
    [ -n "${placed[$name]:-}" ] && continue
    placed[$name]=1
    source=
    if [[ $name == /* ]]; then
      source=$(readlink -f "$name")
      target=$root/usr/lib/$(basename "$name")
    else
      for dir in "${lib_dirs[@]}"; do
        [ -e "$dir/$name" ] && { source=$(readlink -f "$dir/$name"); break; }
      done
      target=$root/usr/lib/$triplet/$name
      # A library that the image itself holds (a plugin's own) needs no copy.
      [ -z "$source" ] && [ -n "$(find "$root" -name "$name" -print -quit)" ] && continue
    fi
    [ -n "$source" ] || { echo "device: $name, needed by ${file#$root}, is not installed for armhf" >&2; exit 2; }
    cp "$source" "$target"
    pending+=("$target")
  done
done

# ---- Boot.
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$cache/initramfs.cpio"
rm -rf "$cache/run" && mkdir -p "$cache/run/etc/device"
if [ $shell -eq 0 ]; then
  printf '%q ' "${command[@]}" >"$cache/run/etc/device/command"
  echo >>"$cache/run/etc/device/command"
fi
# The command travels in a second archive after the image; the kernel
# unpacks both.
(cd "$cache/run" && find . | cpio -o -H newc -R 0:0 --quiet) >"$cache/command.cpio"
cat "$cache/initramfs.cpio" "$cache/command.cpio" >"$cache/boot.cpio"

nic=(-nic none)
[ $net -eq 1 ] && nic=(-netdev user,id=net -device virtio-net-device,netdev=net)
qemu=(qemu-system-arm -M virt -cpu cortex-a15 -m 512 "${nic[@]}" -nographic -no-reboot
  -kernel "$cache/vmlinuz" -initrd "$cache/boot.cpio"
  -append "console=ttyAMA0 rdinit=/init panic=-1 loglevel=1")
if [ $shell -eq 1 ]; then
  exec timeout --foreground "$watchdog" "${qemu[@]}"
fi

console=$(mktemp -u "$cache/console.XXXXXX")
mkfifo "$console"
timeout -k 5 "$watchdog" "${qemu[@]}" </dev/null >"$console" 2>&1 &
qemu_pid=$!
finish() {
  kill "$qemu_pid" 2>/dev/null || true
  wait "$qemu_pid" 2>/dev/null || true
  rm -f "$console"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

status=
while IFS= read -r line; do
  line=${line%$'\r'}
  case $line in
    "device: exit status "*) status=${line#device: exit status } ;;
    *"] reboot: Power down") ;;
    *) printf '%s\n' "$line" ;;
  esac
done <"$console"
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
if [ -n "$status" ]; then
  exit "$status"
elif [ $qemu_status -eq 124 ]; then
  echo "device: no end after ${watchdog} s; powered off" >&2
  exit 124
fi
echo "device: the device stopped without an exit status (qemu status $qemu_status)" >&2
exit 125
