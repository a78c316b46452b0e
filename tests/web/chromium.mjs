// Debian's chromium, headless, as the web tests and the benchmark drive it:
// no sandbox (root), no GPU, nothing fetched from the network, a fresh
// profile each time.
import { mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

export function launchChromium(extraArgs = []) {
  return puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: mkdtempSync(path.join(tmpdir(), 'dvrcore-chromium-')),
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--autoplay-policy=no-user-gesture-required', ...extraArgs],
  });
}
