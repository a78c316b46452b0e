// Hostile and broken clients against the running web plugin: malformed and
// huge requests, bad parameters, a way up the file tree, a client that sends
// its header a byte at a time (slowloris), and a thousand idle connections.
// Each gets a 4xx answer or a closed connection, and a normal request still
// gets its answer afterwards. Every wait is bounded.
//
// Usage: node hostile_clients_test.mjs URL
import net from 'node:net';

const url = new URL(process.argv[2]);
const failures = [];
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function check(condition, what) {
  console.log(`${condition ? 'ok  ' : 'FAIL'} ${what}`);
  if (!condition) { failures.push(what); }
}

// Sends `bytes` (in pieces `gapMs` apart) and resolves with the status code
// of the answer, or 'closed' when the server closed without one, or
// 'timeout' after `seconds`.
function exchange(bytes, { pieces = 1, gapMs = 0, seconds = 10 } = {}) {
  return new Promise((resolve) => {
    let answer = '';
    let settled = false;
    const finish = (value) => { if (!settled) { settled = true; socket.destroy(); resolve(value); } };
    const socket = net.connect(Number(url.port), url.hostname, async () => {
      const size = Math.ceil(bytes.length / pieces);
      for (let at = 0; at < bytes.length && !settled; at += size) {
        socket.write(bytes.slice(at, at + size));
        if (gapMs) { await sleep(gapMs); }
      }
    });
    socket.on('data', (data) => {
      answer += data.toString('latin1');
      const match = /^HTTP\/1\.[01] (\d{3})/.exec(answer);
      if (match) { finish(Number(match[1])); }
    });
    socket.on('close', () => finish('closed'));
    socket.on('error', () => finish('closed'));
    setTimeout(() => finish('timeout'), seconds * 1000);
  });
}

const get = (target, headers = '') => `GET ${target} HTTP/1.1\r\nHost: ${url.host}\r\n${headers}Connection: close\r\n\r\n`;
const is4xx = (status) => typeof status === 'number' && status >= 400 && status < 500;

const now = Date.now();
const cases = [
  ['a malformed request line', 'GARBAGE\r\n\r\n'],
  ['a huge header', get('/api/cameras', `X-Filler: ${'a'.repeat(20000)}\r\n`)],
  ['a huge target', get(`/api/cameras?x=${'b'.repeat(3000)}`)],
  ['a way up the tree', get('/../../etc/passwd')],
  ['an escaped way up the tree', get('/%2e%2e/%2e%2e/etc/passwd')],
  ['a recordings range backwards', get(`/api/recordings?camera=cam1&from=${now}&to=${now - 1000}`)],
  ['a recordings range of a year', get(`/api/recordings?camera=cam1&from=${now - 365 * 86400000}&to=${now}`)],
  ['a time past 2100', get('/api/playback?camera=cam1&start=9999999999999&duration=10')],
  ['a duration of a day', get(`/api/playback?camera=cam1&start=${now - 60000}&duration=86400`)],
  ['an unknown camera', get(`/api/recordings?camera=nobody&from=${now - 1000}&to=${now}`)],
  ['a time with no recording', get(`/api/playback?camera=cam1&start=${now - 30 * 86400000}&duration=10`)],
  ['a repeated parameter', get(`/api/recordings?camera=cam1&camera=cam2&from=1&to=2`)],
  ['a huge body', `POST /api/login HTTP/1.1\r\nHost: ${url.host}\r\nContent-Length: 100000\r\n\r\n${'c'.repeat(100000)}`],
  ['a body of the wrong length', `POST /api/login HTTP/1.1\r\nHost: ${url.host}\r\nContent-Length: zz\r\n\r\n`],
  ['a live view from another site', get('/api/live?camera=cam1', 'Upgrade: websocket\r\nConnection: Upgrade\r\n' +
    'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nOrigin: http://evil.example\r\n')],
];
for (const [what, request] of cases) {
  const status = await exchange(request);
  check(is4xx(status) || status === 'closed', `${what}: ${status}`);
}

// Slowloris: the header a few bytes at a time; the plugin's 15 s deadline
// for a request closes it.
const slow = await exchange(get('/api/cameras'), { pieces: 40, gapMs: 1000, seconds: 40 });
check(slow === 'closed' || is4xx(slow), `a header sent a byte at a time is cut off (${slow})`);

// A thousand idle connections: the plugin keeps a bounded number and the
// page still answers.
const idle = [];
for (let i = 0; i < 1000; i++) {
  const socket = net.connect(Number(url.port), url.hostname);
  socket.on('error', () => {});
  idle.push(socket);
}
await sleep(2000);
const status = await exchange(get('/api/session'), { seconds: 20 });
for (const socket of idle) { socket.destroy(); }
await sleep(500);
const after = await exchange(get('/api/session'));
check(after === 200, `after a thousand idle connections the page answers (${status} while they were open, ${after} after)`);

console.log(failures.length === 0 ? 'all hostile client checks passed' : `${failures.length} checks failed`);
process.exit(failures.length === 0 ? 0 : 1);
