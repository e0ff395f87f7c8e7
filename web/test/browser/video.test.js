// The picture in a real browser: the canvas holds exactly the pixels of the
// frame the bridge forwarded, which is exactly the probe core's pattern, in
// the three pixel formats, across a size change, with the aspect of the
// last av or geometry message; with both renderers, drawn by the stream
// worker and by the main thread (where the page also keeps the bytes the
// bridge forwarded, to compare them too). The probe waits on its
// command input after each stage, so each frame stays on the canvas until
// the test has checked it and pressed a key.

import { test, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import {
  build, launchBrowser, startPlay, openPlayer, closePages, childProcesses, waitFor, temporaryDirectory, writeScenario,
  probeFrame, readPixels,
} from './support/browser_harness.js';

// Stages: [run presenting the frame, pixel format, width, height, the geometry line before it or null].
const STAGES = [
  [5, 0, 64, 40, null],
  [7, 1, 64, 40, null],
  [9, 2, 96, 40, 'geometry 96 40 2.4'],
];

function scenarioBody() {
  const lines = ['av 64 40 0 60 48000', '[every_frame]', 'poll'];
  for (const [run, format, width, height, geometry] of STAGES) {
    lines.push(`[frame ${run}]`, `pixel_format ${format}`);
    if (geometry) lines.push(geometry);
    lines.push(`video ${format} ${width} ${height}`, `[frame ${run + 1}]`, 'wait_stdin 30000', 'poll');
  }
  return `${lines.join('\n')}\n`;
}

let browser;
let play;

before(async () => {
  const dir = temporaryDirectory('video');
  const { scenario } = writeScenario(dir, 'formats', scenarioBody());
  browser = await launchBrowser();
  play = startPlay({ core: build.probeCore, content: scenario, data: dir });
});

afterEach(() => closePages(browser, play));

after(async () => {
  await browser?.close();
  await play?.stop();
});

// The canvas read back through the player, with the picture's CSS size and, on the main thread, the last forwarded frame.
async function readCanvas(page) {
  const { width, height, data: pixels } = await readPixels(page);
  const extra = await page.evaluate(() => {
    const canvas = window.kalmoPlayer.display.canvas;
    return { forwarded: window.lastForwarded ? Array.from(window.lastForwarded) : null,
      cssWidth: parseFloat(canvas.style.width), cssHeight: parseFloat(canvas.style.height) };
  });
  return { width, height, pixels, ...extra };
}

function firstDifference(actual, expected) {
  for (let i = 0; i < expected.length; i++) if (actual[i] !== expected[i]) return i;
  return actual.length === expected.length ? -1 : expected.length;
}

// Keeps the pixels of the last video packet the bridge sent, as the page received them.
function captureForwardedFrames() {
  const Native = window.WebSocket;
  window.WebSocket = class extends Native {
    constructor(...args) {
      super(...args);
      this.addEventListener('message', (event) => {
        if (!(event.data instanceof ArrayBuffer)) return;
        const bytes = new Uint8Array(event.data);
        if (bytes[4] === 1) window.lastForwarded = bytes.slice(17);
      });
    }
  };
}

async function checkStages(renderer, thread, video = 'raw') {
  const page = await browser.newPage({ viewport: { width: 800, height: 600 } });
  await page.addInitScript(captureForwardedFrames);
  await page.goto(`${await play.url}&renderer=${renderer}&thread=${thread}&video=${video}`);
  await page.waitForFunction(() => window.kalmoPlayer !== undefined);
  assert.equal(await page.evaluate(() => window.kalmoPlayer.stats.stream.thread), thread);
  const used = await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0 &&
    window.kalmoPlayer.stats.video.renderer), { what: 'the first frame' });
  await page.focus('.kalmo-viewport');
  let keyDown = false;
  for (const [run, format, width, height, geometry] of STAGES) {
    const expected = probeFrame(format, width, height, run);
    const seen = await waitFor(async () => {
      const canvas = await readCanvas(page);
      return canvas.width === width && canvas.height === height && firstDifference(canvas.pixels, expected) < 0 && canvas;
    }, { what: `run ${run}'s ${width}x${height} frame in format ${format} on the ${used} canvas` });
    if (thread === 'main' && video === 'raw') assert.equal(firstDifference(seen.forwarded, expected), -1, 'the forwarded frame is the pattern');
    const aspect = geometry ? 2.4 : width / height;
    assert.ok(Math.abs(seen.cssWidth / seen.cssHeight - aspect) < 0.02,
      `picture ${seen.cssWidth}x${seen.cssHeight} keeps the aspect ${aspect}`);
    // One command line releases the probe's wait for the next stage.
    keyDown = !keyDown;
    if (keyDown) await page.keyboard.down('KeyN');
    else await page.keyboard.up('KeyN');
  }
  return page;
}

test('the 2D canvas drawn by the stream worker shows the probe pattern of all three pixel formats and follows a size change', async () => {
  const page = await checkStages('2d', 'worker');
  const stats = await page.evaluate(() => window.kalmoPlayer.stats.video);
  assert.equal(stats.renderer, '2d');
  assert.ok(stats.shown >= STAGES.length);
});

test('the 2D canvas drawn on the main thread shows the same pixels as the bridge forwarded them', async () => {
  const page = await checkStages('2d', 'main');
  assert.equal((await page.evaluate(() => window.kalmoPlayer.stats.stream)).reason, 'the page asked for the main thread');
});

test('frames sent as tiles show the same pixels, across a size change', async () => {
  const page = await checkStages('2d', 'worker', 'tiles');
  assert.equal(await page.evaluate(() => window.kalmoPlayer.stats.video.codec), 'tiles');
});

test('the WebGL canvas shows the same pixels', async (t) => {
  const page = await checkStages('webgl', 'worker');
  const renderer = await page.evaluate(() => window.kalmoPlayer.stats.video.renderer);
  if (renderer !== 'webgl') t.skip('this browser gives no WebGL2 context; the 2D canvas stood in');
});

test('integer scaling sizes the picture in whole multiples of the frame', async () => {
  const page = await openPlayer(browser, await play.url);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.width === 64));
  await page.check('.kalmo-toolbar input[type=checkbox]');
  const size = await page.evaluate(() => {
    const canvas = window.kalmoPlayer.display.canvas;
    return { width: parseFloat(canvas.style.width), height: parseFloat(canvas.style.height),
      rendering: getComputedStyle(canvas).imageRendering };
  });
  assert.equal(size.height % 40, 0);
  assert.equal(size.width, size.height * 64 / 40);
  assert.equal(size.rendering, 'pixelated');
});

test('frames faster than the display are drawn at most once a refresh, the rest counted as dropped', async () => {
  const dir = temporaryDirectory('video-fast');
  const { scenario } = writeScenario(dir, 'fast', 'av 64 40 0 240 48000\n[load_game]\npixel_format 1\n[every_frame]\nvideo 1 64 40\n');
  const fast = startPlay({ core: build.probeCore, content: scenario, data: dir });
  try {
    const page = await openPlayer(browser, await fast.url);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 30), { what: 'frames' });
    const counts = await page.evaluate(() => new Promise((resolve) => {
      const before = { ...window.kalmoPlayer.stats.video };
      let refreshes = 0;
      const count = () => { refreshes++; requestAnimationFrame(count); };
      requestAnimationFrame(count);
      setTimeout(() => {
        const after = window.kalmoPlayer.stats.video;
        resolve({ refreshes, received: after.received - before.received, shown: after.shown - before.shown,
          dropped: after.dropped - before.dropped, lag: after.arrivalToDrawMs });
      }, 2000);
    }));
    assert.ok(counts.received > counts.refreshes * 2, `the host sent ${counts.received} frames in ${counts.refreshes} refreshes`);
    assert.ok(counts.shown <= counts.refreshes + 2, `${counts.shown} drawn in ${counts.refreshes} refreshes`);
    assert.ok(Math.abs(counts.received - counts.shown - counts.dropped) <= 1, 'every frame is drawn or counted as dropped');
    assert.ok(counts.lag < 40, `the frame drawn last waited ${counts.lag} ms: no backlog`);
    await page.close();
    await waitFor(() => childProcesses(fast.child.pid).length === 0, { what: 'the host to end' });
  } finally {
    await fast.stop();
  }
});
