#!/usr/bin/env python3
"""Camera-count benchmark: N synthetic 1080p cameras from the test camera
server, recorded for a fixed time by
  (a) dvrcore with the camera and recorder plugins,
  (b) one `ffmpeg -rtsp_transport tcp -i URL -c copy` fragmented-MP4 segment
      recorder per camera,
  (c) one GStreamer `rtspsrc ! depay ! parse ! splitmuxsink` pipeline per camera,
  (d) the limit reader (bench_limit_rtsp_reader): each camera's RTSP session
      read with large paced reads on one epoll thread and appended raw to a
      file, one fdatasync a second; the floor of receiving and writing,
  (e) on request (--variants): bench_copy_recorder per camera, ffmpeg's copy
      through the same libavformat calls, which stands in for ffmpeg on the
      virtual device (bench.sh --device-cameras); here it shows how near it is,
in interleaved repetitions against the same server for the same duration.
Prints CPU seconds per camera-minute, memory per camera (PSS summed over the
recording processes), frames lost, and system calls per camera and second
(perf's raw_syscalls:sys_enter, counted for 5 s after the CPU window, so the
counting does not weigh on the CPU figures); dvrcore also as a ratio to
(b), (c) and (d).

Every process it starts runs in a session of its own and dies with it: on
any failure (or Ctrl-C) they are all stopped before it exits.

Frames lost: in each camera's recording, the frames missing between the first
and last frame of each run (gaps in the decode times of the 25 fps stream),
plus every camera that recorded nothing counted as the whole window. dvrcore's
files name their run in the `comment` tag (run=R) and continue the run's
decode times from file to file; the other recorders' files of one camera are
one run with continuous timestamps.
"""
import argparse
import ctypes
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

FPS = 25
SYSCALL_SECONDS = 5
STARTED = []  # every process started, stopped at exit whatever happens


def spawn(args, **kwargs):
    """Popen in a session of its own that the kernel ends if this script dies."""
    def die_with_parent():
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    proc = subprocess.Popen(args, start_new_session=True, preexec_fn=die_with_parent, **kwargs)
    STARTED.append(proc)
    return proc


def stop_everything():
    for proc in STARTED:
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except OSError:
                pass
            proc.wait()


def syscalls(pids):
    """System calls the processes (all their threads) enter in SYSCALL_SECONDS."""
    perf = subprocess.run(["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "-p", ",".join(map(str, pids)),
                           "--", "sleep", str(SYSCALL_SECONDS)], capture_output=True, text=True, timeout=60)
    for line in perf.stderr.splitlines():
        if "raw_syscalls:sys_enter" in line:
            try:
                return int(line.split(",")[0])
            except ValueError:
                return float("nan")
    return float("nan")


def cpu_seconds(pid):
    """utime + stime of a process and its reaped children, in seconds."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        ticks = sum(int(v) for v in fields[11:15])
        return ticks / os.sysconf("SC_CLK_TCK")
    except OSError:
        return 0.0


def pss_kib(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def decode_times_by_run(files):
    """The video decode times (seconds) of one camera's files, by run."""
    runs = {}
    for path in files:
        out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                              "packet=dts_time:format_tags=comment", "-of", "csv=p=0", path],
                             capture_output=True, text=True, timeout=120).stdout
        lines = [line.strip() for line in out.splitlines()]
        run = next((m.group(1) for m in (re.search(r"run=(\d+)", line) for line in lines) if m), "")
        runs.setdefault(run, []).extend(float(line) for line in lines if re.fullmatch(r"-?[\d.]+", line))
    return runs


def frames_lost(files, seconds):
    """Frames missing inside the runs of one camera (all its files)."""
    runs = decode_times_by_run(files)
    if not any(runs.values()):
        return seconds * FPS
    lost = 0
    for times in runs.values():
        times.sort()
        for a, b in zip(times, times[1:]):
            gap = round((b - a) * FPS)
            if gap > 1:
                lost += gap - 1
    return lost


def start_dvrcore(build, urls, out):
    root = os.path.join(out, "core")
    os.makedirs(os.path.join(root, "plugins"))
    shutil.copy(os.path.join(build, "dvrcore"), root)
    for plugin in ("camera.so", "recorder.so"):
        shutil.copy(os.path.join(build, "recorder-plugins", plugin), os.path.join(root, "plugins"))
    args = [os.path.join(build, "parent-standin"), "--workdir", root]
    for i, url in enumerate(urls):
        args += ["--camera", f"cam{i + 1}={url}"]
    args.append(os.path.join(root, "dvrcore"))
    standin = spawn(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    core = None
    for _ in range(100):
        children = subprocess.run(["pgrep", "-P", str(standin.pid)], capture_output=True, text=True).stdout.split()
        if children:
            core = int(children[0])
            break
        time.sleep(0.1)
    return [standin], [core] if core else []


def start_ffmpeg(urls, out):
    procs = []
    for i, url in enumerate(urls):
        pattern = os.path.join(out, f"cam{i + 1}-%03d.mp4")
        procs.append(spawn(
            ["ffmpeg", "-nostdin", "-loglevel", "error", "-rtsp_transport", "tcp", "-i", url, "-map", "0:v",
             "-c", "copy", "-f", "segment", "-segment_time", "600", "-segment_format", "mp4",
             "-segment_format_options", "movflags=+frag_keyframe+empty_moov+default_base_moof",
             "-reset_timestamps", "0", pattern],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    return procs, [p.pid for p in procs]


def start_gstreamer(urls, out):
    procs = []
    for i, url in enumerate(urls):
        pattern = os.path.join(out, f"cam{i + 1}-%03d.mp4")
        procs.append(spawn(
            ["gst-launch-1.0", "-q", "-e", "rtspsrc", f"location={url}", "protocols=tcp", "!", "rtph264depay",
             "!", "h264parse", "!", "splitmuxsink", f"location={pattern}", "max-size-time=600000000000",
             "muxer-factory=mp4mux", "muxer-properties=properties,fragment-duration=1000"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    return procs, [p.pid for p in procs]


def start_copy_recorder(build, urls, out):
    procs = [spawn([os.path.join(build, "bench", "bench_copy_recorder"), url, os.path.join(out, f"cam{i + 1}-000.mp4")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
             for i, url in enumerate(urls)]
    return procs, [p.pid for p in procs]


def start_limit(build, urls, out):
    proc = spawn([os.path.join(build, "bench", "bench_limit_rtsp_reader"), out] + urls,
                 stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    return [proc], [proc.pid]


def stop(procs, variant):
    for p in procs:
        # ffmpeg and gst-launch -e finish their files on SIGINT; the stand-in
        # turns SIGTERM into the core's stop packet.
        p.send_signal(signal.SIGTERM if variant == "a" else signal.SIGINT)
    deadline = time.time() + 60
    for p in procs:
        try:
            p.wait(timeout=max(1, deadline - time.time()))
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def recordings(variant, out, cameras):
    if variant == "a":
        found = {}
        for path in glob.glob(os.path.join(out, "core", "**", "*.mp4"), recursive=True):
            match = re.search(r"cam(\d+)", os.path.relpath(path, out))
            if match:
                found.setdefault(int(match.group(1)), []).append(path)
        return [found.get(i + 1, []) for i in range(cameras)]
    return [sorted(glob.glob(os.path.join(out, f"cam{i + 1}-*.mp4"))) for i in range(cameras)]


def measure(variant, build, urls, seconds, work):
    out = tempfile.mkdtemp(prefix=f"bench-{variant}-", dir=work)
    starts = {"a": lambda: start_dvrcore(build, urls, out), "b": lambda: start_ffmpeg(urls, out),
              "c": lambda: start_gstreamer(urls, out), "d": lambda: start_limit(build, urls, out),
              "e": lambda: start_copy_recorder(build, urls, out)}
    procs, measured = starts[variant]()
    warmup = 5
    time.sleep(warmup)
    cpu0 = sum(cpu_seconds(pid) for pid in measured)
    time.sleep(seconds / 2)
    pss = sum(pss_kib(pid) for pid in measured)
    time.sleep(seconds / 2)
    cpu = sum(cpu_seconds(pid) for pid in measured) - cpu0
    calls = syscalls(measured)
    stop(procs, variant)
    # The limit reader keeps raw bytes, no frames to count.
    lost = float("nan") if variant == "d" else sum(
        frames_lost(files, seconds) for files in recordings(variant, out, len(urls)))
    shutil.rmtree(out, ignore_errors=True)
    cameras = len(urls)
    return {"cpu": cpu / cameras / (seconds / 60.0), "pss": pss / 1024.0 / cameras, "lost": lost,
            "calls": calls / cameras / SYSCALL_SECONDS}


def start_server(build, count):
    """The test camera server with `count` cameras; its port."""
    server = spawn([os.path.join(build, "camera-server"), "--cameras", str(count), "--port", "0"],
                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True)
    for line in server.stdout:
        match = re.search(r"ready on port (\d+)", line)
        if match:
            # Nobody reads its output from here on.
            server.stdout.close()
            return server, match.group(1)
    raise RuntimeError("the test camera server did not start")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/native")
    parser.add_argument("--counts", default="4,16,32")
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--variants", default="abcd", help="which systems to run (default abcd)")
    args = parser.parse_args()
    for tool in ("ffmpeg", "ffprobe", "gst-launch-1.0", "perf"):
        if shutil.which(tool) is None:
            sys.exit(f"bench-cameras: {tool} is missing (scripts/install-deps.sh installs it)")
    # SIGTERM and SIGHUP end it through the cleanup below, like Ctrl-C.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda *_: sys.exit(1))
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="bench-cameras-")
    variants = args.variants
    names = {"a": "dvrcore camera+recorder", "b": "ffmpeg -c copy per camera", "c": "GStreamer splitmuxsink",
             "d": "limit reader (raw)", "e": "libavformat copy program"}
    print(f"camera-count benchmark: 1080p 25 fps 4 Mbit/s H.264 cameras, {args.seconds} s measured after 5 s, "
          f"{args.repeat} interleaved repetitions; load average at start {os.getloadavg()[0]:.1f} "
          f"on {os.cpu_count()} CPUs", flush=True)
    try:
        for count in [int(n) for n in args.counts.split(",")]:
            server, port = start_server(build, count)
            urls = [f"rtsp://127.0.0.1:{port}/cam{i + 1}" for i in range(count)]
            results = {v: [] for v in variants}
            for rep in range(args.repeat):
                order = variants[rep % len(variants):] + variants[:rep % len(variants)]
                for variant in order:
                    results[variant].append(measure(variant, build, urls, args.seconds, work))
            server.send_signal(signal.SIGINT)
            server.wait(timeout=30)
            print(f"\nN = {count} cameras (load average {os.getloadavg()[0]:.1f})")
            print(f"  {'':28} {'CPU s/cam-min':>14} {'PSS MiB/cam':>12} {'frames lost':>12} {'syscalls/cam/s':>15}")
            keys = ("cpu", "pss", "lost", "calls")
            mean = {v: {k: sum(r[k] for r in results[v]) / len(results[v]) for k in keys} for v in variants}
            for v in variants:
                lost = "-" if v == "d" else f"{mean[v]['lost']:.0f}"
                print(f"  ({v}) {names[v]:<24} {mean[v]['cpu']:>14.3f} {mean[v]['pss']:>12.1f} "
                      f"{lost:>12} {mean[v]['calls']:>15.0f}")
            for ref in variants.replace("a", "") if "a" in variants else "":
                ratio = lambda k: (mean["a"][k] / mean[ref][k]) if mean[ref][k] else float("nan")
                lost = "" if ref == "d" else f", frames lost {mean['a']['lost']:.0f} vs {mean[ref]['lost']:.0f}"
                print(f"  (a)/({ref}): CPU {ratio('cpu'):.2f}x, memory {ratio('pss'):.2f}x, "
                      f"system calls {ratio('calls'):.2f}x{lost}")
            sys.stdout.flush()
    finally:
        stop_everything()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
