#!/usr/bin/env python3
"""Archive benchmark: dvrcore (camera, recorder, catalog and bridge plugins)
recording 16 cameras of the test camera server, once over an empty recordings
directory and once over an archive of 16 cameras x 30 days of 60 s segments
(691,200 segments: hard links of one real segment per camera, each with a
closed index row, so that neither the index nor the file system tells them
from recorded ones). Prints for each:

  start-up     from the core's start to a first fragment of every camera on disk
  memory       the core's resident size after a minute of recording
  1-day query  latency of one camera's one-day recordings query through the bridge
  30-day query the same over 30 days
  playback     the web plugin's time from a playback request to its first
               frame's bytes, from the middle of the last day recorded
and, for the archive: one retention step of 100 deletions (the recorder's
statements: the oldest closed segment of a camera, unlink, delete, in one
transaction), the index's size on disk, and a rebuild of the index from the
files, timed on --rebuild-files files and given per file and for the archive.
"""
import argparse
import datetime
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time
import urllib.request

CAMERAS = 16
DAYS = 30
SEGMENT_NS = 60 * 10**9
DAY_NS = 86400 * 10**9
BRIDGE = "68"


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def rss_by_mapping(pid):
    """Resident KiB by kind of mapping: where the memory is."""
    kinds = {}
    kind = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            fields = line.split()
            if re.match(r"^[0-9a-f]+-[0-9a-f]+ ", line):
                name = fields[5] if len(fields) > 5 else ""
                kind = ("heap" if name == "[heap]" else "anonymous (thread arenas, stacks)" if not name
                        else "index files" if "recordings.db" in name else "libraries" if ".so" in name
                        else "other")
            elif fields[0] == "Rss:":
                kinds[kind] = kinds.get(kind, 0) + int(fields[1])
    return kinds


class Core:
    """The stand-in running dvrcore with the recorder's plugins in `work`;
    every line of its output kept with the time it came."""

    def __init__(self, build, work, urls, commands):
        os.makedirs(os.path.join(work, "plugins"), exist_ok=True)
        shutil.copy(os.path.join(build, "dvrcore"), work)
        for plugin in ("camera", "recorder", "catalog", "bridge", "web"):
            shutil.copy(os.path.join(build, "recorder-plugins", plugin + ".so"), os.path.join(work, "plugins"))
        # A port of its own, known before the log comes (it reaches the pipe
        # in blocks).
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.page = f"http://127.0.0.1:{probe.getsockname()[1]}/"
        with open(os.path.join(work, "web.conf"), "w") as conf:
            conf.write(f"port = {self.page.split(':')[-1].rstrip('/')}\n")
        with open(os.path.join(work, "recorder.conf"), "w") as conf:
            # Hard links free nothing: the file system's reserve stays out.
            conf.write("segment_seconds = 60\ndisk_low_water_mb = 0\ndisk_reserve_minutes = 0\n")
        args = ["stdbuf", "-oL", os.path.join(build, "parent-standin"), "--workdir", work]
        for i, url in enumerate(urls):
            args += ["--camera", f"cam{i + 1}={url}"]
        for command in commands:
            args += ["--do", command]
        args.append(os.path.join(work, "dvrcore"))
        self.lines = []
        self.started = time.monotonic()
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL, text=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append((time.monotonic(), line.rstrip("\n")))

    def core_pid(self):
        for _, line in self.lines:
            match = re.search(r"started core .* \(pid (\d+)\)", line)
            if match:
                return int(match.group(1))
        return None

    def wait_for(self, needle, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for at, line in list(self.lines):
                if needle in line:
                    return at
            time.sleep(0.05)
        return None

    def wait(self, timeout):
        self.process.wait(timeout=timeout)
        self.reader.join(timeout=10)


def first_fragments(recordings, today, timeout):
    """Seconds until every camera has a file of today with a fragment."""
    started = time.monotonic()
    waiting = set(range(1, CAMERAS + 1))
    while waiting and time.monotonic() - started < timeout:
        for i in sorted(waiting):
            directory = os.path.join(recordings, f"cam{i}")
            prefix = f"cam{i}_{today}"
            try:
                entries = [e.path for e in os.scandir(directory) if e.name.startswith(prefix)]
            except OSError:
                continue
            for path in entries:
                with open(path, "rb") as f:
                    if b"moof" in f.read():
                        waiting.discard(i)
                        break
        time.sleep(0.02)
    return None if waiting else time.monotonic() - started


def query_latencies(core):
    """Per recordings request: the time from sending it to its closing line."""
    latencies = []
    sent = None
    for at, line in core.lines:
        if "sending recordings request" in line:
            sent = at
        elif "recordings listed" in line and sent is not None:
            latencies.append((at - sent, int(line.split()[1])))
            sent = None
    return latencies


def playback_latencies(core, first_ms, step_ms):
    """Request to the first body bytes of five 10 s playbacks of cam1, from
    `first_ms` on, `step_ms` apart, in seconds."""
    latencies = []
    for n in range(5):
        start_ms = first_ms + n * step_ms
        sent = time.monotonic()
        try:
            with urllib.request.urlopen(f"{core.page}api/playback?camera=cam1&start={start_ms}&duration=10",
                                        timeout=30) as answer:
                answer.read(1)
                latencies.append(time.monotonic() - sent)
        except (OSError, ValueError) as error:
            print(f"playback request failed: {error}")
    return latencies


def measure(build, work, urls, archive_end_ns):
    """One run: start-up, memory after a minute, query latencies."""
    now_s = int(time.time())
    day_from = (archive_end_ns - DAY_NS) // 10**9 if archive_end_ns else now_s - 86400
    month_from = (archive_end_ns - DAYS * DAY_NS) // 10**9 if archive_end_ns else now_s - DAYS * 86400
    queries = [f"recordings {BRIDGE} cam1 {day_from} {day_from + 86400}",
               f"recordings {BRIDGE} cam1 {month_from} {month_from + DAYS * 86400}"]
    commands = ["sleep 15000"]
    for query in queries:
        for _ in range(3):
            commands += [query, "sleep 4000"]
    commands += ["sleep 25000", "stop"]
    today = datetime.datetime.utcnow().strftime("%Y%m%d")
    core = Core(build, work, urls, commands)
    startup = first_fragments(os.path.join(work, "recordings"), today, 120)
    time.sleep(max(0, core.started + 60 - time.monotonic()))
    pid = core.core_pid()
    memory = rss_kib(pid) if pid else 0
    mappings = rss_by_mapping(pid) if pid else {}
    if archive_end_ns:
        playback = playback_latencies(core, (archive_end_ns - DAY_NS // 2) // 10**6, 600000)
    else:
        playback = playback_latencies(core, time.time_ns() // 10**6 - 40000, 2000)
    core.wait(300)
    latencies = query_latencies(core)
    return {"startup": startup, "memory": memory, "mappings": mappings, "day": latencies[:3], "month": latencies[3:6],
            "playback": playback, "core": core}


def build_archive(work, model_source, end_ns):
    """16 cameras x 30 days of closed 60 s segments ending at `end_ns`."""
    recordings = os.path.join(work, "recordings")
    models = os.path.join(work, "models")
    os.makedirs(models)
    db = sqlite3.connect(os.path.join(recordings, "recordings.db"))
    count = DAYS * DAY_NS // SEGMENT_NS
    first = end_ns - count * SEGMENT_NS
    for i in range(1, CAMERAS + 1):
        camera = f"cam{i}"
        model = os.path.join(models, camera + ".mp4")
        shutil.copy(model_source, model)  # one inode per camera: a file has at most 65,000 links
        status = os.stat(model)
        mtime_ns = status.st_mtime_ns
        os.makedirs(os.path.join(recordings, camera), exist_ok=True)
        rows = []
        for n in range(count):
            start = first + n * SEGMENT_NS
            stamp = datetime.datetime.utcfromtimestamp(start // 10**9).strftime("%Y%m%dT%H%M%S")
            name = f"{camera}/{camera}_{stamp}.{start // 10**6 % 1000:03d}Z.mp4"
            os.link(model, os.path.join(recordings, name))
            rows.append((name, camera, start, start + SEGMENT_NS, 1, 0, 60 * 90000, status.st_size,
                         ",".join(str(s * 2000) for s in range(30)), 1, mtime_ns))
        db.executemany("INSERT INTO segments(name, camera, start_ns, end_ns, run, media_start, media_end, bytes,"
                       " sync_times, closed, file_mtime) VALUES(?,?,?,?,?,?,?,?,?,?,?)", rows)
        db.commit()
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()
    return CAMERAS * count


def retention_step(recordings, deletions):
    """The recorder's retention statements for `deletions` segments."""
    db = sqlite3.connect(os.path.join(recordings, "recordings.db"), isolation_level=None)
    started = time.perf_counter()
    db.execute("BEGIN IMMEDIATE")
    for _ in range(deletions):
        name, = db.execute("SELECT name FROM segments WHERE camera = ? AND closed = 1 AND unlink_failed = 0"
                           " ORDER BY start_ns LIMIT 1", ("cam2",)).fetchone()
        os.unlink(os.path.join(recordings, name))
        db.execute("DELETE FROM segments WHERE name = ?", (name,))
    db.execute("COMMIT")
    elapsed = time.perf_counter() - started
    db.close()
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/native")
    parser.add_argument("--rebuild-files", type=int, default=2000)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="bench-archive-", dir=os.path.abspath(args.build))
    server = subprocess.Popen([os.path.join(build, "camera-server"), "--cameras", str(CAMERAS), "--port", "0",
                               "--size", "640x360", "--kbps", "800"],
                              stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    try:
        port = None
        for line in server.stdout:
            match = re.search(r"ready on port (\d+)", line)
            if match:
                port = match.group(1)
                break
        threading.Thread(target=lambda: [None for _ in server.stdout], daemon=True).start()
        urls = [f"rtsp://127.0.0.1:{port}/cam{i + 1}" for i in range(CAMERAS)]
        print(f"archive benchmark: {CAMERAS} cameras 640x360 25 fps 800 kbit/s; load average at start "
              f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")

        empty = measure(build, os.path.join(work, "empty"), urls, None)
        recordings = os.path.join(work, "empty", "recordings")
        model = min((os.path.join(d, f) for d, _, files in os.walk(recordings) for f in files if f.endswith(".mp4")),
                    key=os.path.getsize)

        full = os.path.join(work, "full")
        os.makedirs(os.path.join(full, "recordings"))
        shutil.copy(os.path.join(recordings, "recordings.db"), os.path.join(full, "recordings"))
        db = sqlite3.connect(os.path.join(full, "recordings", "recordings.db"))
        db.execute("DELETE FROM segments")
        db.commit()
        db.close()
        end_ns = (time.time_ns() // DAY_NS - 1) * DAY_NS
        made = time.monotonic()
        segments = build_archive(full, model, end_ns)
        print(f"archive of {segments} segments made in {time.monotonic() - made:.0f} s")
        archive = measure(build, full, urls, end_ns)

        def figure(run, key):
            values = run[key]
            return " ".join(f"{t * 1000:.1f}" for t, _ in values) + " ms (" + \
                ", ".join(str(n) for _, n in values[:1]) + " segments)"

        print(f"\n{'':28} {'empty archive':>24} {'691,200 segments':>24}")
        print(f"{'start-up to every camera':28} {empty['startup'] or 0:>23.2f}s {archive['startup'] or 0:>23.2f}s")
        print(f"{'resident memory after 1 min':28} {empty['memory'] / 1024:>20.1f} MiB "
              f"{archive['memory'] / 1024:>20.1f} MiB")
        for kind in sorted(set(empty["mappings"]) | set(archive["mappings"])):
            print(f"  {kind:26} {empty['mappings'].get(kind, 0) / 1024:>20.1f} MiB "
                  f"{archive['mappings'].get(kind, 0) / 1024:>20.1f} MiB")
        print(f"one-day query:   empty {figure(empty, 'day')}; archive {figure(archive, 'day')}")
        print(f"30-day query:    empty {figure(empty, 'month')}; archive {figure(archive, 'month')}")

        def playback(run):
            values = sorted(run["playback"])
            return " ".join(f"{t * 1000:.0f}" for t in run["playback"]) + \
                (f" ms, median {values[len(values) // 2] * 1000:.0f} ms" if values else " (none)")

        print(f"playback, request to first bytes: empty (last minute) {playback(empty)}; "
              f"archive (middle of its last day) {playback(archive)}")
        index_bytes = sum(os.path.getsize(os.path.join(full, "recordings", f))
                          for f in os.listdir(os.path.join(full, "recordings")) if f.startswith("recordings.db"))
        print(f"index on disk: {index_bytes / 2**20:.1f} MiB")
        step = retention_step(os.path.join(full, "recordings"), 100)
        print(f"retention step of 100 deletions: {step * 1000:.1f} ms ({step * 10:.3f} ms per segment)")

        # Rebuild: files without an index, read back by the background check.
        rebuild = os.path.join(work, "rebuild")
        os.makedirs(os.path.join(rebuild, "recordings", "cam1"))
        for n in range(args.rebuild_files):
            start = end_ns - (n + 1) * SEGMENT_NS
            stamp = datetime.datetime.utcfromtimestamp(start // 10**9).strftime("%Y%m%dT%H%M%S")
            os.link(os.path.join(full, "models", "cam1.mp4"),
                    os.path.join(rebuild, "recordings", "cam1", f"cam1_{stamp}.000Z.mp4"))
        # The core's log reaches a pipe in blocks: the index itself tells
        # when every file is in.
        core = Core(build, rebuild, [], ["sleep 600000", "stop"])
        index = os.path.join(rebuild, "recordings", "recordings.db")
        done = None
        while done is None and time.monotonic() - core.started < 1200:
            time.sleep(0.2)
            try:
                db = sqlite3.connect(f"file:{index}?mode=ro", uri=True)
                if db.execute("SELECT count(*) FROM segments").fetchone()[0] >= args.rebuild_files:
                    done = time.monotonic()
                db.close()
            except sqlite3.Error:
                pass
        core.process.send_signal(signal.SIGTERM)
        core.wait(120)
        if done:
            seconds = done - core.started
            print(f"rebuild from the files: {args.rebuild_files} files in {seconds:.1f} s, "
                  f"{seconds / args.rebuild_files * 1000:.2f} ms per file, about "
                  f"{seconds / args.rebuild_files * segments / 60:.0f} min for the archive")
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
