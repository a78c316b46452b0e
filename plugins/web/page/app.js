// The dvrcore page: live cameras in a grid, and for the chosen camera a
// timeline of what was recorded with playback from any moment. Everything
// comes from the plugin's API (docs/viewing.md); video reaches the <video>
// elements through Media Source Extensions.

const $ = (id) => document.getElementById(id);
const DAY_MS = 24 * 3600 * 1000;
const PLAYBACK_SECONDS = 600;   // asked for at a time; the next part follows
const LIVE_KEEP_SECONDS = 20;   // of live video kept in the buffer
const LIVE_EDGE_SECONDS = 0.5;  // further behind the newest frame, live view jumps

const state = {
  cameras: [],
  selected: null,        // camera name
  viewFrom: 0,           // the timeline's range, ms
  viewTo: 0,
  spans: [],
  playback: null,        // the PlaybackStream playing
  clickedMs: null,
  firstShownMs: null,    // wall time of the first frame shown after a click
};

function pad(n, width = 2) { return String(n).padStart(width, '0'); }
function timeText(ms) {
  const d = new Date(ms);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
    `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}.${pad(d.getMilliseconds(), 3)}`;
}

async function api(path) {
  const response = await fetch(path, { credentials: 'same-origin' });
  if (response.status === 401) { showLogin(); throw new Error('log in first'); }
  if (!response.ok) { throw new Error(`${path}: ${response.status}`); }
  return response.json();
}

// ---- Appending to a SourceBuffer, one piece at a time.

class Feeder {
  constructor(video, mime, onAppended) {
    this.video = video;
    this.queue = [];
    this.onAppended = onAppended;
    this.mediaSource = new MediaSource();
    this.url = URL.createObjectURL(this.mediaSource);
    video.src = this.url;
    this.ready = new Promise((resolve) => {
      this.mediaSource.addEventListener('sourceopen', () => {
        this.buffer = this.mediaSource.addSourceBuffer(mime);
        this.buffer.addEventListener('updateend', () => { this.onAppended?.(); this.next(); });
        resolve();
        this.next();
      }, { once: true });
    });
  }
  push(bytes) { this.queue.push(bytes); this.next(); }
  next() {
    if (!this.buffer || this.buffer.updating || this.mediaSource.readyState !== 'open') { return; }
    if (this.trimBefore !== undefined) {
      const before = this.trimBefore;
      this.trimBefore = undefined;
      if (this.buffer.buffered.length && this.buffer.buffered.start(0) < before) {
        this.buffer.remove(0, before);
        return;
      }
    }
    const bytes = this.queue.shift();
    if (bytes) {
      try { this.buffer.appendBuffer(bytes); } catch (e) { console.warn('append failed', e.name); }
    } else if (this.ending) {
      this.mediaSource.endOfStream();
      this.ending = false;
    }
  }
  end() { this.ending = true; this.next(); }
  close() { URL.revokeObjectURL(this.url); this.queue = []; }
}

function canPlay(mime) {
  return !!mime && window.MediaSource && MediaSource.isTypeSupported(mime);
}

function unplayableNotice(container, camera, startMs, endMs) {
  const notice = document.createElement('div');
  notice.className = 'notice';
  notice.dataset.unplayable = camera.codec;
  notice.append(`This browser cannot play ${camera.codec.toUpperCase()} video from ${camera.name}.`);
  const link = document.createElement('a');
  link.textContent = 'Download the last minute to watch it in a player';
  link.href = clipUrl(camera.name, startMs, endMs);
  link.download = '';
  notice.append(document.createElement('br'), link);
  container.append(notice);
}

function clipUrl(camera, startMs, endMs) {
  const seconds = Math.max(1, Math.min(3600, Math.round((endMs - startMs) / 1000)));
  return `/api/clip?camera=${encodeURIComponent(camera)}&start=${Math.floor(startMs)}&duration=${seconds}`;
}

// ---- Live view: a WebSocket of fragmented MP4.

class LiveView {
  constructor(tile, camera) {
    this.tile = tile;
    this.camera = camera;
    this.video = tile.querySelector('video');
    this.connect();
  }
  connect() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    this.socket = new WebSocket(`${scheme}//${location.host}/api/live?camera=${encodeURIComponent(this.camera.name)}`);
    this.socket.binaryType = 'arraybuffer';
    this.socket.onmessage = (event) => this.receive(event.data);
    this.socket.onclose = (event) => {
      if (event.reason) { console.info(`live view of ${this.camera.name} closed: ${event.reason}`); }
      if (!this.stopped) { setTimeout(() => this.connect(), 2000); }
    };
  }
  receive(data) {
    if (typeof data === 'string') {
      const { mime, epoch } = JSON.parse(data);
      this.epoch = epoch;
      this.feeder?.close();
      this.feeder = null;
      if (!canPlay(mime)) {
        this.stopped = true;
        this.socket.close();
        const now = Date.now();
        unplayableNotice(this.tile, this.camera, now - 60000, now);
        return;
      }
      this.feeder = new Feeder(this.video, mime, () => this.keepUp());
      this.watchLatency();
      return;
    }
    this.feeder?.push(data);
  }
  // From a frame's arrival at the camera plugin to its presentation here,
  // in ms (the clocks of one machine, or synchronised ones).
  watchLatency() {
    if (!this.video.requestVideoFrameCallback || this.watchingLatency) { return; }
    this.watchingLatency = true;
    const frame = (now, metadata) => {
      this.latencyMs = performance.timeOrigin + now - (this.epoch + metadata.mediaTime * 1000);
      this.video.requestVideoFrameCallback(frame);
    };
    this.video.requestVideoFrameCallback(frame);
  }
  // Stay at the newest frame; drop what is long shown.
  keepUp() {
    const buffered = this.video.buffered;
    if (!buffered.length) { return; }
    const end = buffered.end(buffered.length - 1);
    if (end - this.video.currentTime > LIVE_EDGE_SECONDS || this.video.currentTime < buffered.start(0)) {
      this.video.currentTime = Math.max(buffered.start(buffered.length - 1), end - 0.05);
    }
    if (this.video.paused) { this.video.play().catch(() => {}); }
    if (this.video.currentTime - buffered.start(0) > LIVE_KEEP_SECONDS * 2) {
      this.feeder.trimBefore = this.video.currentTime - LIVE_KEEP_SECONDS;
    }
  }
}

function buildGrid() {
  const grid = $('grid');
  grid.replaceChildren();
  // ?camera=NAME shows that camera alone.
  const only = new URLSearchParams(location.search).get('camera');
  for (const camera of state.cameras.filter((c) => !only || c.name === only)) {
    const tile = document.createElement('div');
    tile.className = 'tile';
    tile.dataset.camera = camera.name;
    const video = document.createElement('video');
    video.muted = true;
    video.autoplay = true;
    video.playsInline = true;
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = `${camera.name} (${camera.status})`;
    tile.append(video, name);
    tile.addEventListener('click', () => select(camera.name));
    grid.append(tile);
    if (camera.mime && !canPlay(camera.mime)) {
      const now = Date.now();
      unplayableNotice(tile, camera, now - 60000, now);
    } else {
      tile.live = new LiveView(tile, camera);
    }
  }
}

// ---- Playback from the recordings.

class PlaybackStream {
  constructor(camera, startMs) {
    this.camera = camera;
    this.startMs = startMs;
    this.video = $('playback');
    this.abort = new AbortController();
    this.anchors = [];
    this.gaps = [];
    this.endMs = null;
  }
  async start() {
    const response = await fetch(`/api/playback?camera=${encodeURIComponent(this.camera.name)}` +
      `&start=${Math.floor(this.startMs)}&duration=${PLAYBACK_SECONDS}`, { signal: this.abort.signal });
    if (!response.ok) { throw new Error(`nothing recorded at ${timeText(this.startMs)}`); }
    const mime = response.headers.get('X-Playback-Mime');
    if (!canPlay(mime)) {
      this.abort.abort();
      const notice = $('player-notice');
      notice.replaceChildren();
      notice.hidden = false;
      unplayableNotice(notice, this.camera, this.startMs, Math.min(this.startMs + 3600000, state.viewTo));
      return;
    }
    this.offset = parseFloat(response.headers.get('X-Playback-Offset'));
    this.anchors = (response.headers.get('X-Playback-Timeline') || '').split(',').filter(Boolean).map((text) => {
      const [stream, wall] = text.split('@');
      return { stream: parseFloat(stream), wall: parseFloat(wall) };
    });
    this.gaps = (response.headers.get('X-Playback-Gaps') || '').split(',').filter(Boolean).map((text) => {
      const [from, to] = text.split('-').map(parseFloat);
      return { from, to };
    });
    // Covered until positioned: the browser may show the sync frame at the
    // stream's start before the seek to the start itself is done.
    $('player-view').classList.add('positioning');
    this.video.pause();
    let positioned = false;
    this.feeder = new Feeder(this.video, mime, () => {
      // Seek once the start is buffered: the browser clamps a seek to what
      // the source holds so far.
      const buffered = this.video.buffered;
      if (!positioned && buffered.length && (buffered.end(buffered.length - 1) > this.offset + 0.1 || this.feeder.ending)) {
        positioned = true;
        this.showFirstFrame();
        this.video.currentTime = this.offset;
        this.video.playbackRate = parseFloat($('speed').value);
      }
    });
    await this.feeder.ready;
    const reader = response.body.getReader();
    for (;;) {
      // Read ahead no more than a minute: the socket holds the rest back.
      while (this.video.buffered.length &&
             this.video.buffered.end(this.video.buffered.length - 1) - this.video.currentTime > 60) {
        await new Promise((resolve) => setTimeout(resolve, 500));
        if (this.abort.signal.aborted) { return; }
      }
      const { done, value } = await reader.read();
      if (done) { break; }
      this.feeder.push(value);
    }
    this.feeder.end();
  }
  stop() { this.abort.abort(); this.feeder?.close(); }
  // Shows the video from the first frame presented at the start (noting its
  // wall time), then plays. Called before the seek: the seek's frame may be
  // presented before 'seeked' fires. Once the seek is done, the paused
  // element shows the frame at the start; its time comes from the newest
  // frame presented, or from the position if none was reported.
  showFirstFrame() {
    let presented = null;
    const watch = (now, frame) => {
      presented = frame.mediaTime;
      if (state.playback === this && !this.video.paused) { return; }
      this.video.requestVideoFrameCallback?.(watch);
    };
    this.video.requestVideoFrameCallback?.(watch);
    const started = Date.now();
    const poll = setInterval(() => {
      if (state.playback !== this) { clearInterval(poll); return; }
      const positioned = !this.video.seeking && this.video.readyState >= 2 &&
        Math.abs(this.video.currentTime - this.offset) < 0.001;
      if (!positioned && Date.now() - started < 5000) { return; }
      clearInterval(poll);
      setTimeout(() => {
        const near = presented !== null && Math.abs(presented - this.offset) < 0.5;
        state.firstShownMs = this.wallAt(near ? presented : this.video.currentTime);
        $('player-view').classList.remove('positioning');
        this.video.play().catch(() => {});
      }, 200);
    }, 20);
  }
  // The wall time of a stream time.
  wallAt(seconds) {
    let anchor = this.anchors[0];
    for (const a of this.anchors) { if (a.stream <= seconds) { anchor = a; } }
    return anchor ? anchor.wall + (seconds - anchor.stream) * 1000 : null;
  }
}

async function playFrom(ms) {
  state.playback?.stop();
  $('player-notice').hidden = true;
  $('gap-notice').hidden = true;
  const camera = state.cameras.find((c) => c.name === state.selected);
  state.clickedMs = ms;
  state.firstShownMs = null;
  const stream = new PlaybackStream(camera, ms);
  state.playback = stream;
  try {
    await stream.start();
  } catch (e) {
    if (e.name !== 'AbortError') {
      $('gap-notice').textContent = e.message;
      $('gap-notice').hidden = false;
    }
  }
}

// ---- The timeline.

async function loadSpans() {
  if (!state.selected) { return; }
  const answer = await api(`/api/recordings?camera=${encodeURIComponent(state.selected)}` +
    `&from=${Math.floor(state.viewFrom)}&to=${Math.ceil(state.viewTo)}`);
  state.spans = answer.spans;
  drawTimeline();
}

function xOf(ms) {
  const width = $('timeline').clientWidth;
  return (ms - state.viewFrom) / (state.viewTo - state.viewFrom) * width;
}

function drawTimeline() {
  const timeline = $('timeline');
  for (const old of timeline.querySelectorAll('.span')) { old.remove(); }
  for (const span of state.spans) {
    const left = Math.max(0, xOf(span.start));
    const right = Math.min(timeline.clientWidth, xOf(span.end));
    if (right <= 0 || left >= timeline.clientWidth) { continue; }
    const bar = document.createElement('div');
    bar.className = 'span';
    bar.style.left = `${left}px`;
    bar.style.width = `${Math.max(1, right - left)}px`;
    bar.dataset.start = span.start;
    bar.dataset.end = span.end;
    timeline.append(bar);
  }
  const labels = $('timeline-labels');
  labels.replaceChildren();
  for (let i = 0; i <= 6; i++) {
    const ms = state.viewFrom + (state.viewTo - state.viewFrom) * i / 6;
    const label = document.createElement('span');
    label.style.left = `${i / 6 * 100}%`;
    label.textContent = timeText(ms).slice(11, state.viewTo - state.viewFrom < 600000 ? 19 : 16);
    labels.append(label);
  }
  const last = state.viewTo;
  $('download').href = clipUrl(state.selected, Math.max(state.viewFrom, last - 3600000), last);
  drawCursor();
}

function drawCursor() {
  const wall = state.playback?.wallAt($('playback').currentTime);
  const cursor = $('cursor');
  cursor.hidden = wall == null;
  if (wall != null) {
    cursor.style.left = `${xOf(wall)}px`;
    $('clock').textContent = timeText(wall);
    const gap = state.playback.gaps.find((g) => g.to <= wall && wall - g.to < 3000);
    if (gap) {
      $('gap-notice').textContent = `Nothing was recorded from ${timeText(gap.from)} to ${timeText(gap.to)}; skipped.`;
      $('gap-notice').hidden = false;
    }
  }
}

function setView(from, to) {
  const now = Date.now();
  const length = Math.max(10000, Math.min(DAY_MS * 7, to - from));
  state.viewTo = Math.min(now, from + length);
  state.viewFrom = state.viewTo - length;
  return loadSpans();
}

function zoom(factor) {
  const wall = state.playback?.wallAt($('playback').currentTime);
  const middle = wall ?? (state.viewFrom + state.viewTo) / 2;
  const length = (state.viewTo - state.viewFrom) * factor;
  setView(middle - length / 2, middle + length / 2);
}

function jumpSpan(direction) {
  const wall = state.playback?.wallAt($('playback').currentTime) ?? state.viewTo;
  const target = direction > 0
    ? state.spans.find((s) => s.start > wall + 1000)
    : [...state.spans].reverse().find((s) => s.end < wall - 1000);
  if (target) { playFrom(target.start); }
}

// Sound, when asked for: the recording played and the selected camera's
// live view; every other tile stays muted.
function applySound() {
  const on = $('sound').checked;
  $('playback').muted = !on;
  for (const tile of document.querySelectorAll('.tile')) {
    const video = tile.querySelector('video');
    if (video) { video.muted = !(on && tile.dataset.camera === state.selected); }
  }
}

function select(name) {
  state.selected = name;
  for (const tile of document.querySelectorAll('.tile')) {
    tile.classList.toggle('selected', tile.dataset.camera === name);
  }
  applySound();
  $('player').hidden = false;
  $('player-title').textContent = `Recordings of ${name}`;
  const now = Date.now();
  return setView(now - DAY_MS, now);
}

function wireControls() {
  $('timeline').addEventListener('click', (event) => {
    const box = $('timeline').getBoundingClientRect();
    const ms = state.viewFrom + (event.clientX - box.left) / box.width * (state.viewTo - state.viewFrom);
    playFrom(ms);
  });
  $('timeline').addEventListener('wheel', (event) => {
    event.preventDefault();
    zoom(event.deltaY > 0 ? 2 : 0.5);
  });
  $('zoom-in').addEventListener('click', () => zoom(0.5));
  $('zoom-out').addEventListener('click', () => zoom(2));
  $('play').addEventListener('click', () => $('playback').play());
  $('pause').addEventListener('click', () => $('playback').pause());
  $('speed').addEventListener('change', () => { $('playback').playbackRate = parseFloat($('speed').value); });
  $('sound').addEventListener('change', applySound);
  $('previous-span').addEventListener('click', () => jumpSpan(-1));
  $('next-span').addEventListener('click', () => jumpSpan(1));
  $('playback').addEventListener('timeupdate', drawCursor);
  $('playback').addEventListener('ended', () => {
    // The part asked for is over: go on from where it ended.
    const end = state.playback?.wallAt($('playback').currentTime);
    if (end != null && state.spans.some((s) => s.end > end + 1000)) { playFrom(end); }
  });
  $('login').addEventListener('submit', async (event) => {
    event.preventDefault();
    const body = new URLSearchParams(new FormData($('login')));
    const response = await fetch('/api/login', { method: 'POST', body });
    if (response.ok) { location.reload(); } else { $('login-error').textContent = 'Wrong user or password.'; }
  });
  $('logout').addEventListener('click', async () => {
    await fetch('/api/logout', { method: 'POST' });
    location.reload();
  });
  setInterval(() => { if (state.selected) { loadSpans().catch(() => {}); } }, 10000);
}

function showLogin() {
  $('login').hidden = false;
  $('main').hidden = true;
}

async function start() {
  wireControls();
  const session = await api('/api/session');
  if (!session.open && !session.user) { showLogin(); return; }
  if (session.user) {
    $('who').textContent = session.user;
    $('logout').hidden = false;
  }
  $('main').hidden = false;
  state.cameras = await api('/api/cameras');
  buildGrid();
}

// For tests and the curious: the page's state and its operations.
window.dvr = { state, setView, playFrom, select, xOf, ready: start() };
