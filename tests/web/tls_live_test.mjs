// The page over TLS in chromium: a user logs in, and live view of cam1
// (WebSocket over TLS) shows a picture. The certificate is the test's own,
// so chromium is told to accept it. Every wait is bounded.
//
// Usage: node tls_live_test.mjs URL USER PASSWORD
import { launchChromium } from './chromium.mjs';

const [url, user, password] = process.argv.slice(2);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const browser = await launchChromium(['--ignore-certificate-errors']);
let picture = null;
try {
  const page = await browser.newPage();
  await page.goto(url, { waitUntil: 'load', timeout: 30000 });
  const login = await page.evaluate(async (name, word) => (await fetch('/api/login', {
    method: 'POST', body: new URLSearchParams({ user: name, password: word }),
  })).status, user, password);
  console.log(`login over TLS: ${login}`);
  await page.reload({ waitUntil: 'load', timeout: 30000 });
  await page.evaluate(() => window.dvr.ready);
  const deadline = Date.now() + 20000;
  while (picture === null && Date.now() < deadline) {
    picture = await page.evaluate(() => {
      const video = document.querySelector('.tile[data-camera="cam1"] video');
      return video && video.currentTime > 0 && video.videoWidth > 0 ? video.videoWidth : null;
    });
    await sleep(200);
  }
} finally {
  await browser.close();
}
console.log(picture ? `live view over TLS shows a picture ${picture} wide` : 'FAIL: no live picture over TLS');
process.exit(picture ? 0 : 1);
