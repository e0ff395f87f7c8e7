// What the browser tests share: the built host and cores, Debian's chromium
// driven by playwright-core, a kalmo-play server started on a core and a
// content file, scenarios for the probe core written into a temporary
// directory (with an absolute record path, so the record is found whatever
// the bridge does with its data directory), the probe's pixel pattern as
// the host sends it, and polling instead of fixed sleeps.

import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, writeFileSync, existsSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, afterEach, before } from 'node:test';
import { chromium } from 'playwright-core';

export const repoRoot = fileURLToPath(new URL('../../../../', import.meta.url));
export const build = {
  host: join(repoRoot, 'build/linux/kalmo-host'),
  probeCore: join(repoRoot, 'build/linux/tests/cores/probe_core.so'),
  notACore: join(repoRoot, 'build/linux/tests/cores/not_a_core.so'),
  cursorCore: join(repoRoot, 'build/linux/tests/cores/cursor_core.so'),
  demoCore: join(repoRoot, 'build/linux/demo/demo_core.so'),
  demoContent: join(repoRoot, 'demo/demo_content.txt'),
  sparseContent: join(repoRoot, 'demo/demo_content_sparse_audio.txt'),
};
const playScript = join(repoRoot, 'web/bin/kalmo-play.js');

// Debian's headless chromium keeps an AudioContext suspended until a gesture, like a desktop browser;
// the autoplay switch lets sound start at once, and the test of the click path forces the suspension.
export const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--autoplay-policy=no-user-gesture-required'];

export function launchBrowser() {
  return chromium.launch({ executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium', args: CHROMIUM_ARGS });
}

const temporaryDirectories = [];
process.on('exit', () => {
  for (const dir of temporaryDirectories) rmSync(dir, { recursive: true, force: true });
});

// A directory of the system's temporary folder, removed when this process exits.
export function temporaryDirectory(name) {
  const dir = mkdtempSync(join(tmpdir(), `kalmo-${name}-`));
  temporaryDirectories.push(dir);
  return dir;
}

const printedLoopbackUrl = (output) => output.match(/http:\/\/127\.0\.0\.1:\d+\/\?token=[^\s]+/)?.[0];

// Starts kalmo-play with `args` added; `url` resolves once `printed(output)` finds what it waits for in what
// kalmo-play printed (by default the loopback URL), within `timeout` ms.
export function startPlay({ core, content, data, args: extra = [], printed = printedLoopbackUrl, timeout = 10000 }) {
  const args = [playScript, '--core', core, '--content', content, '--host', build.host, '--port', '0'];
  if (data) args.push('--data', data);
  const child = spawn(process.execPath, [...args, ...extra], { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  const collect = (chunk) => { output += chunk; };
  child.stdout.on('data', collect);
  child.stderr.on('data', collect);
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const url = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`kalmo-play printed no URL:\n${output}`)), timeout);
    child.stdout.on('data', () => {
      const found = printed(output);
      if (found) {
        clearTimeout(timer);
        resolve(found);
      }
    });
    exited.then(() => reject(new Error(`kalmo-play ended before printing its URL:\n${output}`)));
  });
  return {
    child, url, exited,
    get output() { return output; },
    async stop() {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
      return exited;
    },
  };
}

// Runs `body(play)` with a kalmo-play server, stopping it whatever happens.
export async function withPlay(options, body) {
  const play = startPlay(options);
  try {
    return await body(play);
  } finally {
    await play.stop();
  }
}

// One browser and one kalmo-play server for a whole test file, on `options()` (called when the file's tests
// start): each test's pages are closed after it, until the bridge has no host left; both stop at the end.
// The returned object's `browser` and `play` are set once started.
export function browserAndPlayForFile(options) {
  const shared = {};
  before(async () => {
    shared.browser = await launchBrowser();
    shared.play = startPlay(options());
    await shared.play.url;
  });
  afterEach(async () => {
    if (shared.browser) await closePages(shared.browser, shared.play);
  });
  after(async () => {
    await shared.browser?.close();
    await shared.play?.stop();
  });
  return shared;
}

// Opens the player page and waits until window.kalmoPlayer exists; `device` adds context options (hasTouch,
// isMobile), and its `initScript` runs in the page before the page's own scripts.
export async function openPlayer(browser, url, query = '', viewport = { width: 800, height: 600 }, device = {}) {
  const { initScript, ...contextOptions } = device;
  const page = await browser.newPage({ viewport, ...contextOptions });
  if (initScript) await page.addInitScript(initScript);
  await page.goto(url + query);
  await page.waitForFunction(() => window.kalmoPlayer !== undefined);
  return page;
}

export async function waitFor(check, { timeout = 15000, interval = 50, what = 'the condition' } = {}) {
  const deadline = Date.now() + timeout;
  let last;
  for (;;) {
    last = await check();
    if (last) return last;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, interval));
  }
}

// Writes a probe scenario whose record goes to `dir/probe.rec`; `body` follows the record line.
export function writeScenario(dir, name, body) {
  const path = join(dir, `${name}.scn`);
  writeFileSync(path, `record ${join(dir, 'probe.rec')}\n${body}`);
  return { scenario: path, record: join(dir, 'probe.rec') };
}

// The probe at 60 fps: XRGB8888 frames of the pattern every run, after a poll and the mouse and pointer
// queries, and a keyboard callback recording every key.
export function writeStreamScenario(dir, width, height) {
  return writeScenario(dir, `stream_${width}x${height}`, `av ${width} ${height} 0 60 48000
[init]
keyboard_callback
[load_game]
pixel_format 1
[every_frame]
poll
query_mouse
query_pointer
video 1 ${width} ${height}
`);
}

// The probe at 60 fps drawing new pixels every run (160x100, XRGB8888) and sending 800 frames of sound a run
// at 48 kHz: a steady stream of both, for measuring a page under load.
export function writeSteadyScenario(dir) {
  return writeScenario(dir, 'steady', `av 160 100 0 60 48000
[load_game]
pixel_format 1
[every_frame]
poll
video 1 160 100
batch 800
`);
}

export function readRecord(path) {
  return existsSync(path) ? readFileSync(path, 'utf8').split('\n').filter(Boolean) : [];
}

// The fields of record lines starting with `kind`, as numbers.
export function recordEntries(path, kind) {
  return readRecord(path).filter((line) => line.startsWith(`${kind} `)).map((line) => {
    const fields = {};
    for (const pair of line.split(' ').slice(1)) {
      const [key, value] = pair.split('=');
      fields[key] = Number(value);
    }
    return fields;
  });
}

// Host processes whose parent is `pid` (the bridge's children), read from /proc.
export function childProcesses(pid) {
  const children = [];
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = readFileSync(`/proc/${entry}/stat`, 'utf8');
      const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      if (Number(fields[1]) === pid && fields[0] !== 'Z') children.push(Number(entry));
    } catch {
      // The process ended while we looked.
    }
  }
  return children;
}

// The probe's pixel word (tests/cores/probe_pattern.h) with 32-bit wrapping.
export function probePixelWord(x, y, frame) {
  let h = (Math.imul(x, 0x9E3779B1) ^ Math.imul(y + 0x7F4A7C15, 0x85EBCA77) ^ Math.imul(frame + 1, 0xC2B2AE3D)) >>> 0;
  h = (h ^ (h >>> 15)) >>> 0;
  h = Math.imul(h, 0x2C1B3C6D) >>> 0;
  h = (h ^ (h >>> 12)) >>> 0;
  return h;
}

const widen5 = (c) => (c << 3) | (c >> 2);
const widen6 = (c) => (c << 2) | (c >> 4);

// The RGBA frame the host sends for the probe's pattern in `format` (0 0RGB1555, 1 XRGB8888, 2 RGB565).
export function probeFrame(format, width, height, frame) {
  const rgba = new Uint8Array(width * height * 4);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const word = probePixelWord(x, y, frame);
      const at = (y * width + x) * 4;
      if (format === 1) {
        rgba.set([(word >>> 16) & 255, (word >>> 8) & 255, word & 255], at);
      } else if (format === 0) {
        rgba.set([widen5((word >> 10) & 31), widen5((word >> 5) & 31), widen5(word & 31)], at);
      } else {
        rgba.set([widen5((word >> 11) & 31), widen6((word >> 5) & 63), widen5(word & 31)], at);
      }
      rgba[at + 3] = 255;
    }
  }
  return rgba;
}

// Closes every page (each in its own context) and waits until the bridge has no host left,
// so the next test's page gets a session; for afterEach.
export async function closePages(browser, play) {
  for (const context of browser.contexts()) await context.close();
  await waitFor(() => childProcesses(play.child.pid).length === 0, { what: 'the host to end after its page closed' });
}

// What the player's canvas shows now, through the player's own readPixels():
// { width, height, data } with data a plain array of RGBA bytes, rows from the top.
// The bytes cross from the page as base64, which is far quicker than a long array.
export async function readPixels(page) {
  const { width, height, base64 } = await page.evaluate(async () => {
    const picture = await window.kalmoPlayer.readPixels();
    let text = '';
    for (let i = 0; i < picture.data.length; i += 0x8000) {
      text += String.fromCharCode(...picture.data.subarray(i, i + 0x8000));
    }
    return { width: picture.width, height: picture.height, base64: btoa(text) };
  });
  return { width, height, data: Array.from(Buffer.from(base64, 'base64')) };
}

export const monotonicMs = () => Number(process.hrtime.bigint()) / 1e6;

// The offset to add to a page's epoch milliseconds (performance.timeOrigin + now, in the page or its
// workers) to get this process's monotonic milliseconds, which the probe's `time` records use too; tied by
// the round trip of least delay among twenty. `evaluate(expression)` runs an expression in the page.
export async function clockOffset(evaluate) {
  let best = { delay: Infinity, offset: 0 };
  for (let i = 0; i < 20; i++) {
    const sent = monotonicMs();
    const pageNow = await evaluate('performance.timeOrigin + performance.now()');
    const received = monotonicMs();
    if (received - sent < best.delay) best = { delay: received - sent, offset: (sent + received) / 2 - pageNow };
  }
  return best;
}

// Runs in a page (page.evaluate) as a front-end's own work would: busies its main thread in `count` blocks
// of `blockMs` starting every `everyMs` (at once when a timer came late), then one of `longMs`; resolves
// with the blocks as [start, end] in epoch milliseconds.
export function blockMainThread({ everyMs, blockMs, count, longMs }) {
  const now = () => performance.timeOrigin + performance.now();
  const busy = (ms) => {
    const start = now();
    while (now() - start < ms) { /* the page's own work */ }
    return [start, now()];
  };
  const first = now();
  const spans = [];
  return new Promise((resolve) => {
    const next = () => {
      spans.push(busy(spans.length < count ? blockMs : longMs));
      if (spans.length > count) resolve(spans);
      else setTimeout(next, Math.max(0, first + spans.length * everyMs - now()));
    };
    next();
  });
}
