// Figures of live view and playback under load (scripts/bench-viewers.sh):
// no pass or fail, one line per figure. Against a running core that records
// CAMERAS cameras (env CORE_PID: the core's process; STANDIN_LOG: the
// stand-in's output with its status lines).
//
// Usage: node viewers_bench.mjs URL
import { readFileSync } from 'node:fs';
import net from 'node:net';
import { launchChromium } from './chromium.mjs';

const url = new URL(process.argv[2]);
const corePid = process.env.CORE_PID;
const cameras = Number(process.env.CAMERAS || 16);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const median = (values) => { const v = [...values].sort((a, b) => a - b); return v.length ? v[Math.floor(v.length / 2)] : NaN; };
const ticks = 100;  // USER_HZ

function coreCpuSeconds() {
  const fields = readFileSync(`/proc/${corePid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / ticks;
}
function coreRssMiB() {
  return Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${corePid}/status`, 'utf8'))[1]) / 1024;
}
async function cpuOver(seconds) {
  const before = coreCpuSeconds();
  const start = Date.now();
  await sleep(seconds * 1000);
  return (coreCpuSeconds() - before) / ((Date.now() - start) / 1000);
}
function recorderDropped() {
  const lines = readFileSync(process.env.STANDIN_LOG, 'utf8').split('\n').filter((l) => l.includes('status:'));
  const match = /\| (\d+) dropped \| throttling (\w+)/.exec(lines.at(-1) || '');
  return match ? { dropped: Number(match[1]), throttling: match[2] } : { dropped: NaN, throttling: '?' };
}

// A live viewer over a raw WebSocket that reads everything and counts the
// binary messages (one per frame after the header).
function liveViewer(camera) {
  const viewer = { frames: 0, closed: null };
  let buffer = Buffer.alloc(0);
  let upgraded = false;
  const socket = net.connect(Number(url.port), url.hostname, () => {
    socket.write(`GET /api/live?camera=${camera} HTTP/1.1\r\nHost: ${url.host}\r\nUpgrade: websocket\r\n` +
      'Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n');
  });
  socket.on('data', (data) => {
    buffer = Buffer.concat([buffer, data]);
    if (!upgraded) {
      const end = buffer.indexOf('\r\n\r\n');
      if (end < 0) { return; }
      upgraded = true;
      buffer = buffer.subarray(end + 4);
    }
    for (;;) {
      if (buffer.length < 2) { return; }
      const opcode = buffer[0] & 0x0f;
      let length = buffer[1] & 0x7f;
      let at = 2;
      if (length === 126) { if (buffer.length < 4) { return; } length = buffer.readUInt16BE(2); at = 4; }
      else if (length === 127) { if (buffer.length < 10) { return; } length = Number(buffer.readBigUInt64BE(2)); at = 10; }
      if (buffer.length < at + length) { return; }
      if (opcode === 2) { viewer.frames += 1; }
      if (opcode === 8) { viewer.closed = buffer.subarray(at + 2, at + length).toString(); }
      buffer = buffer.subarray(at + length);
    }
  });
  socket.on('error', () => {});
  viewer.socket = socket;
  return viewer;
}

// A playback viewer that reads at about the pace of the video (4 Mbit/s).
async function playbackViewer(camera, startMs, stop) {
  const response = await fetch(new URL(`/api/playback?camera=${camera}&start=${startMs}&duration=600`, url));
  const reader = response.body.getReader();
  let bytes = 0;
  const begun = Date.now();
  while (!stop.done) {
    const { done, value } = await reader.read();
    if (done) { break; }
    bytes += value.length;
    const ahead = bytes / 500000 - (Date.now() - begun) / 1000;
    if (ahead > 2) { await sleep(ahead * 1000 - 2000); }
  }
  reader.cancel().catch(() => {});
  return bytes;
}

const results = [];
const say = (what, value) => { results.push(`${what}: ${value}`); console.log(`viewers: ${what}: ${value}`); };

await sleep(8000);  // every camera connected and recording
const recordingCpu = await cpuOver(20);
say(`core CPU recording ${cameras} cameras`, `${(recordingCpu * 100).toFixed(1)} % of a core (${(recordingCpu * 100 / cameras).toFixed(2)} % per camera), RSS ${coreRssMiB().toFixed(1)} MiB`);

// ---- In the browser: first live frame and live latency of one camera.
const browser = await launchChromium();
const firstFrames = [];
const latencies = [];
for (let i = 0; i < 5; i++) {
  const page = await browser.newPage();
  const opened = Date.now();
  await page.goto(new URL('/?camera=cam1', url).href, { waitUntil: 'load' });
  const shown = await page.waitForFunction(() => {
    const video = document.querySelector('.tile video');
    return video && video.currentTime > 0 && video.videoWidth > 0;
  }, { timeout: 15000, polling: 20 }).then(() => true, () => false);
  if (shown) { firstFrames.push(Date.now() - opened); }
  await sleep(4000);
  for (let j = 0; j < 10; j++) {
    const latency = await page.evaluate(() => document.querySelector('.tile')?.live?.latencyMs);
    if (Number.isFinite(latency)) { latencies.push(latency); }
    await sleep(300);
  }
  await page.close();
}
say('first live frame after opening the page (median of 5)', `${median(firstFrames)} ms (target 1000 ms; all: ${firstFrames.join(', ')})`);
say('live latency, camera plugin to presentation (median)', `${median(latencies).toFixed(0)} ms (target 500 ms; ${latencies.length} samples)`);

// Playback: from the request to the first fragment's bytes.
const playbackFirst = [];
for (let i = 0; i < 5; i++) {
  const started = Date.now();
  const response = await fetch(new URL(`/api/playback?camera=cam2&start=${Date.now() - 20000 - i * 1000}&duration=10`, url));
  const reader = response.body.getReader();
  let seen = Buffer.alloc(0);
  while (seen.indexOf('mdat') < 0) {
    const { done, value } = await reader.read();
    if (done) { break; }
    seen = Buffer.concat([seen, value]);
  }
  playbackFirst.push(Date.now() - started);
  reader.cancel().catch(() => {});
}
say('playback: request to the first frame\'s bytes (median of 5)', `${median(playbackFirst)} ms (target 500 ms, before decoding)`);
await browser.close();

// ---- Live viewers' cost: one raw viewer per camera.
const viewers = [];
for (let n = 1; n <= cameras; n++) { viewers.push(liveViewer(`cam${n}`)); }
await sleep(3000);
const liveCpu = await cpuOver(20);
const perViewer = (liveCpu - recordingCpu) / cameras;
say(`core CPU with ${cameras} live viewers`, `${(liveCpu * 100).toFixed(1)} % of a core; per viewer ${(perViewer * 100).toFixed(2)} % = ${(perViewer / (recordingCpu / cameras)).toFixed(2)}x the CPU of recording its camera (target < 0.1x), RSS ${coreRssMiB().toFixed(1)} MiB`);
// A camera's first viewer starts its muxer; a further one shares the
// muxed fragments and adds its socket writes only.
for (let n = 1; n <= cameras; n++) { viewers.push(liveViewer(`cam${n}`)); }
await sleep(3000);
const sharedCpu = await cpuOver(20);
const perShared = (sharedCpu - liveCpu) / cameras;
say(`core CPU with a second live viewer per camera`, `${(sharedCpu * 100).toFixed(1)} % of a core; per further viewer ${(perShared * 100).toFixed(2)} % = ${(perShared / (recordingCpu / cameras)).toFixed(2)}x the CPU of recording its camera, RSS ${coreRssMiB().toFixed(1)} MiB`);

// ---- And 4 playback viewers at once, for 30 s: frames lost.
const droppedBefore = recorderDropped();
for (const viewer of viewers) { viewer.frames = 0; }
const stop = { done: false };
const began = Date.now();
const playbacks = [1, 2, 3, 4].map((n) => playbackViewer(`cam${n}`, Date.now() - 60000, stop));
await sleep(30000);
stop.done = true;
const played = await Promise.all(playbacks);
const seconds = (Date.now() - began) / 1000;
const droppedAfter = recorderDropped();
say(`recorder frames lost with ${viewers.length} live and 4 playback viewers over ${seconds.toFixed(0)} s`, `${droppedAfter.dropped - droppedBefore.dropped} (must be 0), throttling ${droppedAfter.throttling}`);
const received = viewers.map((v) => v.frames);
say('frames per live viewer (25 fps nominal)', `expected about ${Math.round(seconds * 25)}, received min ${Math.min(...received)} median ${median(received)} max ${Math.max(...received)}; disconnected: ${viewers.filter((v) => v.closed).length}`);
say('playback bytes read per viewer', played.map((b) => `${(b / 1e6).toFixed(1)} MB`).join(', '));
for (const viewer of viewers) { viewer.socket.destroy(); }
process.exit(0);
