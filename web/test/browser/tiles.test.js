// Frames as tiles in a real browser: the cursor core (a still ground crossed
// by a cursor row and column that follow the mouse, a corner pixel counting
// the runs) moved by real mouse events, so most frames travel as a few
// changed tiles. Every picture read back from the canvas is exactly the
// frame the core drew for a run the core recorded. With one message of
// changes dropped before the player sees it, the player asks for a whole
// frame and its picture is exact again.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { build, browserAndPlayForFile, openPlayer, waitFor, temporaryDirectory, readPixels } from './support/browser_harness.js';
import { writeCursorContent, cursorRuns, cursorInPixels } from './support/cursor_core.js';

const WIDTH = 320;
const HEIGHT = 200;
const GROUND = [0x20, 0x28, 0x38];
const ROW = [0xff, 0x00, 0xff];
const COLUMN = [0x00, 0xff, 0x00];
const CROSSING = [0xff, 0xff, 0xff];

let record;
const shared = browserAndPlayForFile(() => {
  const dir = temporaryDirectory('tiles');
  const files = writeCursorContent(dir, { animate: true });
  record = files.record;
  return { core: build.cursorCore, content: files.content, data: dir };
});

// The core's frame for a cursor at x, y in a run whose number ends in `run` (its low byte), as the host sends it.
function cursorFrame(x, y, run) {
  const rgba = new Uint8Array(WIDTH * HEIGHT * 4);
  for (let at = 0; at < rgba.length; at += 4) rgba.set([...GROUND, 255], at);
  if (y < HEIGHT) for (let i = 0; i < WIDTH; i++) rgba.set(ROW, (y * WIDTH + i) * 4);
  if (x < WIDTH) for (let i = 0; i < HEIGHT; i++) rgba.set(i === y ? CROSSING : COLUMN, (i * WIDTH + x) * 4);
  rgba.set([run, 0, 0x40], rgba.length - 4);
  return rgba;
}

// The canvas now, checked bit for bit against the frame the core drew for the run and cursor it shows, and
// against the core's record of that run; returns the cursor and run shown.
async function exactPicture(page) {
  const pixels = await readPixels(page);
  assert.deepEqual([pixels.width, pixels.height], [WIDTH, HEIGHT]);
  const cursor = cursorInPixels(pixels);
  const run = pixels.data[pixels.data.length - 4];
  const expected = cursorFrame(cursor.x, cursor.y, run);
  const wrong = expected.findIndex((byte, i) => pixels.data[i] !== byte);
  assert.equal(wrong, -1, `pixel ${wrong >> 2} differs from the core's frame (cursor ${cursor.x},${cursor.y}, run ${run})`);
  assert.ok(cursorRuns(record).some((entry) => (entry.n & 0xff) === run && entry.x === cursor.x && entry.y === cursor.y),
    `the core recorded a run ending ${run} with its cursor at ${cursor.x},${cursor.y}`);
  return { ...cursor, run };
}

// Moves the real pointer to `count` places over the picture; after each, waits (bounded) until the canvas
// shows the cursor somewhere new, every picture read on the way exact. The pointer keeps stirring while it
// waits, at a place taken from the picture's box of the moment (it settles after the first frames): on a loaded
// machine the player's first placement of the cursor may miss, and only further motion moves it then.
async function moveAndCheck(page, count) {
  let last = await exactPicture(page);
  const places = new Set();
  for (let i = 0; i < count; i++) {
    const from = last;
    let stir = 0;
    last = await waitFor(async () => {
      const box = await page.locator('.kalmo-canvas').boundingBox();
      const x = Math.round(box.x + box.width * (0.15 + 0.7 * ((i * 37) % 11) / 10));
      const y = Math.round(box.y + box.height * (0.15 + 0.7 * ((i * 53) % 7) / 6));
      await page.mouse.move(x + 12 * (stir++ % 2), y);
      const shown = await exactPicture(page);
      return (shown.x !== from.x || shown.y !== from.y) && shown;
    }, { timeout: 10000, interval: 50, what: `the cursor to move from ${from.x},${from.y} after move ${i}` }).catch(async (error) => {
      const input = await page.evaluate(() => window.kalmoPlayer.stats.input);
      const moves = cursorRuns(record).filter((run) => run.dx || run.dy).slice(-3);
      throw new Error(`${error.message}; the player sent ${input.mouseLines} mouse lines, the core's last moves ${JSON.stringify(moves)}`);
    });
    places.add(`${last.x},${last.y}`);
  }
  return places;
}

test('with tiles the canvas drawn by the stream worker is the core\'s frame, bit for bit, as the cursor moves', async () => {
  const page = await openPlayer(shared.browser, await shared.play.url, '&video=tiles');
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { what: 'the first frame' });
  assert.equal(await page.evaluate(() => window.kalmoPlayer.stats.stream.thread), 'worker');
  const places = await moveAndCheck(page, 6);
  assert.ok(places.size >= 4, `the cursor was seen at ${places.size} places`);
  const video = await page.evaluate(() => window.kalmoPlayer.stats.video);
  assert.equal(video.codec, 'tiles');
  assert.equal(video.lostTileMessages, 0);
  assert.equal(video.wholeFrameRequests, 0);
});

// In the page, before the player: counts tile messages by kind, records the lines the page sends, and drops the
// next message of changes once `window.dropChanges` is set.
function watchTiles() {
  window.tileKinds = [];
  window.sentLines = [];
  const Native = window.WebSocket;
  window.WebSocket = class extends Native {
    set onmessage(handler) {
      super.onmessage = (event) => {
        if (event.data instanceof ArrayBuffer) {
          const bytes = new Uint8Array(event.data);
          if (String.fromCharCode(...bytes.subarray(0, 4)) === 'KLMT') {
            window.tileKinds.push(bytes[4]);
            if (window.dropChanges && bytes[4] === 1) {
              window.dropChanges = false;
              window.tileKinds.push('dropped');
              return;
            }
          }
        }
        handler(event);
      };
    }

    send(data) {
      window.sentLines.push(data);
      super.send(data);
    }
  };
}

test('a message of changes lost before the player makes it ask for a whole frame, and its picture is exact again', async () => {
  const page = await shared.browser.newPage({ viewport: { width: 800, height: 600 } });
  await page.addInitScript(watchTiles);
  await page.goto(`${await shared.play.url}&video=tiles&thread=main`);
  await page.waitForFunction(() => window.kalmoPlayer !== undefined);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { what: 'the first frame' });
  await moveAndCheck(page, 2);
  const before = await page.evaluate(() => window.tileKinds.slice());
  assert.equal(before[0], 0, 'the first frame comes whole');
  assert.ok(before.filter((kind) => kind === 1).length > before.length / 2, `mostly changes: ${before.join(' ')}`);
  await page.evaluate(() => { window.dropChanges = true; });
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.wholeFrameRequests >= 1), { what: 'the request' });
  const kinds = await page.evaluate(() => window.tileKinds.slice());
  const dropped = kinds.indexOf('dropped');
  await waitFor(() => page.evaluate((from) => window.tileKinds.indexOf(0, from) > 0, dropped), { what: 'a whole frame' });
  assert.ok(await page.evaluate(() => window.sentLines.includes('WHOLE_FRAME')));
  await moveAndCheck(page, 2);
  const video = await page.evaluate(() => window.kalmoPlayer.stats.video);
  assert.ok(video.lostTileMessages >= 1);
  assert.ok(video.wholeFrameRequests >= 1 && video.wholeFrameRequests <= video.lostTileMessages);
});
