// The game's cursor under the hand: the cursor core (named "ScummVM", moving
// its cursor by that core's rule and drawing it as a magenta row and a green
// column) behind the real host and kalmo-play, driven by a random pointer
// path in headless Chromium. The cursor is read back from the canvas pixels
// and compared with where the page's pointer is: the real pointer mapped to
// game pixels in follow mode, the page's virtual pointer in captured mode.
// A miss is excused (and reported) only when the core's record shows the
// host itself ran late in that span, which can make two lines share a poll.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { openPlayer, waitFor, readPixels } from './support/browser_harness.js';
import { cursorCoreSuite, cursorRuns, hostStalls, cursorInPixels } from './support/cursor_core.js';

const WIDTH = 320;
const HEIGHT = 200;
const SEGMENTS = 5;
const SEGMENT_MS = 4000;
const TOLERANCE = 2;

const suite = cursorCoreSuite('pointer');

// A seeded generator, so a failing path can be replayed.
function random(seed) {
  let state = seed >>> 0;
  return () => {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    return state / 2 ** 32;
  };
}

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function open(viewport, mode) {
  const page = await openPlayer(suite.browser, await suite.play.url, mode ? `&pointer=${mode}` : '', viewport);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { what: 'the first frame' });
  const box = await page.locator('.kalmo-canvas').boundingBox();
  // Whole CSS pixels, so the page and the test map the same point.
  const inside = (next) => ({
    x: Math.round(box.x + 1 + next() * (box.width - 3)),
    y: Math.round(box.y + 1 + next() * (box.height - 3)),
  });
  const toGame = ({ x, y }) => ({
    x: Math.floor((x - box.x) * WIDTH / box.width), y: Math.floor((y - box.y) * HEIGHT / box.height),
  });
  return { page, box, inside, toGame };
}

// Walks the real pointer for `ms`, within the picture grown by `margin` CSS pixels; the last moves stay inside.
async function walk(page, box, from, next, ms, margin) {
  const at = { ...from };
  const velocity = { x: 0, y: 0 };
  const end = Date.now() + ms;
  while (Date.now() < end) {
    const finishing = end - Date.now() < 600;
    const grow = finishing ? -2 : margin;
    for (const [axis, low, size] of [['x', box.x, box.width], ['y', box.y, box.height]]) {
      velocity[axis] = Math.max(-25, Math.min(25, velocity[axis] + (next() - 0.5) * 14));
      at[axis] = Math.round(Math.max(low - grow, Math.min(low + size + grow, at[axis] + velocity[axis])));
    }
    await page.mouse.move(at.x, at.y);
    await pause(10 + next() * 20);
  }
  return at;
}

// Waits for the drawn cursor to reach `expected()` (re-read each time); true when it did, false when the span is
// excused, and fails otherwise.
async function expectUnderHand(t, page, expected, spanStart, what) {
  let last;
  let wanted;
  try {
    await waitFor(async () => {
      wanted = await expected();
      last = cursorInPixels(await readPixels(page));
      return Math.abs(last.x - wanted.x) <= TOLERANCE && Math.abs(last.y - wanted.y) <= TOLERANCE;
    }, { timeout: 8000, interval: 100, what });
    return true;
  } catch {
    const late = hostStalls(suite.record, spanStart);
    const core = cursorRuns(suite.record).at(-1);
    const video = await page.evaluate(() => window.kalmoPlayer.stats.video);
    const miss = `cursor drawn at ${last.x},${last.y} (the core has it at ${core.x},${core.y}; ` +
      `${video.shown} of ${video.received} frames shown), pointer at ${wanted.x},${wanted.y}`;
    assert.ok(late.length > 0, `${what}: ${miss}`);
    t.diagnostic(`${what}: excused (${miss}); the host ran late: ${late.join(', ')} ms between runs`);
    return false;
  }
}

async function followPath(t, viewport, seed) {
  const { page, box, inside, toGame } = await open(viewport);
  assert.equal(await page.evaluate(() => window.kalmoPlayer.mouse.mode), 'follow', 'the ScummVM core is followed');
  assert.equal(await page.evaluate(() => getComputedStyle(document.querySelector('.kalmo-canvas')).cursor), 'none');
  const next = random(seed);
  let checked = 0;
  for (let segment = 0; segment < SEGMENTS || !checked; segment++) {
    assert.ok(segment < SEGMENTS * 3, 'every span was excused');
    // Out of the picture (over the toolbar, or off the player), then back in somewhere else.
    await page.mouse.move(Math.round(box.x + box.width / 2), Math.round(segment % 2 ? box.y - 8 : box.y + box.height + 20));
    const spanStart = cursorRuns(suite.record).length;
    const entry = inside(next);
    await page.mouse.move(entry.x, entry.y);
    const end = await walk(page, box, entry, next, SEGMENT_MS, 40);
    if (await expectUnderHand(t, page, () => toGame(end), spanStart, `seed ${seed}, span ${segment}`)) checked++;
  }
  const placements = await page.evaluate(() => window.kalmoPlayer.cursor.counts.placements);
  assert.ok(placements >= SEGMENTS, `${placements} placements, one per entry at least`);
  assert.equal(await page.evaluate(() => window.kalmoPlayer.mouse.locked), false, 'never locked');
}

async function capturedPath(t, viewport, seed) {
  const { page, box, inside, toGame } = await open(viewport, 'captured');
  assert.equal(await page.evaluate(() => window.kalmoPlayer.mouse.mode), 'captured');
  const next = random(seed);
  const virtual = () => page.evaluate(() => {
    const { x, y } = window.kalmoPlayer.cursor.pointer;
    return { x, y };
  });
  let checked = 0;
  for (let segment = 0; segment < SEGMENTS || !checked; segment++) {
    assert.ok(segment < SEGMENTS * 3, 'every span was excused');
    if (segment) {
      await page.evaluate(() => document.exitPointerLock());
      await waitFor(() => page.evaluate(() => !window.kalmoPlayer.mouse.locked), { what: 'the lock to end' });
    }
    const spanStart = cursorRuns(suite.record).length;
    const click = inside(next);
    await page.mouse.move(click.x, click.y);
    await page.mouse.click(click.x, click.y);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.mouse.locked), { what: 'the pointer lock' });
    const clicked = toGame(click);
    const placed = await expectUnderHand(t, page, () => clicked, spanStart, `seed ${seed}, capture ${segment}`);
    const walkStart = cursorRuns(suite.record).length;
    await walk(page, box, click, next, SEGMENT_MS, 60);
    if (placed && await expectUnderHand(t, page, virtual, walkStart, `seed ${seed}, span ${segment}`)) checked++;
  }
}

test('in follow mode the cursor stays under the pointer through a random path with exits, in a small window',
  (t) => followPath(t, { width: 800, height: 600 }, 1001));

test('in follow mode the cursor stays under the pointer through a random path with exits, in a large window',
  (t) => followPath(t, { width: 1280, height: 960 }, 2002));

test('in captured mode each capture brings the cursor under the click, and it stays under the virtual pointer, small window',
  (t) => capturedPath(t, { width: 800, height: 600 }, 3003));

test('in captured mode each capture brings the cursor under the click, and it stays under the virtual pointer, large window',
  (t) => capturedPath(t, { width: 1280, height: 960 }, 4004));
