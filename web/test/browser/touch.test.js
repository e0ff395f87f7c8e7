// A finger on the picture: a phone-sized headless Chromium (touch, mobile)
// plays the cursor core (named "ScummVM", moving its cursor by that core's
// rule) behind the real host and kalmo-play, touched through the DevTools
// protocol's Input.dispatchTouchEvent. Each check reads the core's record of
// runs: where its cursor was at each poll, what motion and buttons it read.
// A miss is retried (and reported) only when the record shows the host ran
// late in that span, or the page shows it saw a hold the finger never made.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { openPlayer, waitFor } from './support/browser_harness.js';
import { cursorCoreSuite, cursorRuns, hostStalls } from './support/cursor_core.js';
import { HOLD_MS } from '../../player/input/touch.js';

const WIDTH = 320;
const HEIGHT = 200;
const PHONE = { width: 844, height: 390 };
const TOLERANCE = 2;
const ATTEMPTS = 3;

const suite = cursorCoreSuite('touch');

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The player on a phone, with a finger: `touch(type, points)` sends one touch event ([x, y] CSS pixels per finger,
// `at` seconds since the epoch when given); `spot(x, y)` is the middle of game pixel (x, y) in CSS pixels.
async function openPhone(query = '') {
  const page = await openPlayer(suite.browser, await suite.play.url, query, PHONE, { hasTouch: true, isMobile: true });
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { what: 'the first frame' });
  const box = await page.locator('.kalmo-canvas').boundingBox();
  const devtools = await page.context().newCDPSession(page);
  const touch = (type, points, at) => devtools.send('Input.dispatchTouchEvent', {
    type, touchPoints: points.map(([x, y], id) => ({ x, y, id })), ...(at ? { timestamp: at } : {}),
  });
  const spot = (x, y) => [box.x + (x + 0.5) * box.width / WIDTH, box.y + (y + 0.5) * box.height / HEIGHT];
  const touchCounts = () => page.evaluate(() => ({ ...window.kalmoPlayer.touch.counts }));
  return { page, box, touch, spot, touchCounts };
}

const near = (run, [x, y]) => Math.abs(run.x - x) <= TOLERANCE && Math.abs(run.y - y) <= TOLERANCE;
const runsFrom = (start) => cursorRuns(suite.record).slice(start);

// Runs `gesture()` until `check(runs since it began)` holds: a failure is retried only when the host ran late in
// that span or the page saw a hold that was not made (`unexplained` says which), and at most ATTEMPTS times.
async function expectFromCore(t, what, { gesture, ready, check, excuse = async () => '' }) {
  for (let attempt = 1; ; attempt++) {
    const start = cursorRuns(suite.record).length;
    await gesture();
    let runs = [];
    try {
      await waitFor(() => ready((runs = runsFrom(start))), { timeout: 8000, interval: 50, what });
      const problem = check(runs);
      if (!problem) return runs;
      throw new Error(`${what}: ${problem}`);
    } catch (error) {
      const late = hostStalls(suite.record, start);
      const pageExcuse = await excuse();
      if ((!late.length && !pageExcuse) || attempt >= ATTEMPTS) {
        throw new Error(`${error.message}; runs ${JSON.stringify(runs.slice(-12))}`);
      }
      t.diagnostic(`${what}: retried (${error.message}); ${pageExcuse || `the host ran late: ${late.join(', ')} ms`}; ` +
        `last runs ${JSON.stringify(runs.slice(-4))}`);
      await waitFor(() => !cursorRuns(suite.record).at(-1)?.buttons, { what: 'the buttons released' });
    }
  }
}

// The first run with `bit` pressed: the cursor already there in the poll before (no motion in its own), at `where`.
function pressedInPlace(runs, bit, where) {
  const pressed = runs.find((run) => run.buttons & bit);
  if (pressed.dx || pressed.dy) return `the button went down in the poll that moved the cursor (${pressed.dx}, ${pressed.dy})`;
  if (!near(pressed, where)) return `clicked at ${pressed.x},${pressed.y}, not ${where}`;
  return '';
}

const released = (runs, bit) => runs.some((run) => run.buttons & bit) && !(runs.at(-1).buttons & bit);

test('a tap clicks under the finger once the cursor has landed, and a drag moves it with no button', async (t) => {
  const { page, touch, spot, touchCounts } = await openPhone();
  for (const target of [[60, 40], [251, 163], [17, 180]]) {
    await expectFromCore(t, `a tap at ${target}`, {
      gesture: async () => {
        await touch('touchStart', [spot(...target)]);
        await touch('touchEnd', []);
      },
      ready: (runs) => released(runs, 1),
      check: (runs) => pressedInPlace(runs, 1, target),
    });
  }
  const from = [40, 100];
  const to = [280, 30];
  let drags = 0;
  await expectFromCore(t, 'a drag', {
    gesture: async () => {
      drags = (await touchCounts()).drags;
      await touch('touchStart', [spot(...from)]);
      for (let step = 1; step <= 12; step++) {
        await touch('touchMove', [spot(from[0] + (to[0] - from[0]) * step / 12, from[1] + (to[1] - from[1]) * step / 12)]);
        await pause(20);
      }
      await touch('touchEnd', []);
    },
    ready: (runs) => runs.length && near(runs.at(-1), to),
    check: (runs) => (runs.some((run) => run.buttons) ? 'a button went down' : ''),
    excuse: async () => ((await touchCounts()).drags > drags ? 'the page was held past the hold time' : ''),
  });
  assert.equal((await touchCounts()).cancelled, 0, 'the browser took no touch away');
  assert.equal(await page.evaluate(() => window.kalmoPlayer.root.dataset.input), 'touch', 'the player knows a finger plays');
});

test('a long press shows the ring and right-clicks under the finger, as do a two-finger tap and an armed tap', async (t) => {
  const { page, touch, spot } = await openPhone();
  const ringShown = () => page.evaluate(() => !document.querySelector('.kalmo-touch-ring').hidden);
  // When the finger went down and when the ring showed, by the page's clock.
  await page.evaluate(() => {
    const ring = document.querySelector('.kalmo-touch-ring');
    document.addEventListener('pointerdown', () => { window.downAt = performance.now(); }, true);
    new MutationObserver(() => { if (!ring.hidden) window.ringAt = performance.now(); }).observe(ring, { attributes: true });
  });
  const target = [200, 120];
  await expectFromCore(t, 'a long press', {
    gesture: async () => {
      await touch('touchStart', [spot(...target)]);
      await waitFor(ringShown, { timeout: 5000, what: 'the ring' });
      const shownAfter = await page.evaluate(() => window.ringAt - window.downAt);
      assert.ok(shownAfter >= HOLD_MS - 1, `the ring showed ${shownAfter} ms after the finger went down`);
      await touch('touchEnd', []);
    },
    ready: (runs) => released(runs, 2),
    check: (runs) => (runs.some((run) => run.buttons & 1) ? 'the left button went down' : pressedInPlace(runs, 2, target)),
  });
  assert.equal(await ringShown(), false, 'the ring goes with the finger');
  const second = [90, 50];
  await expectFromCore(t, 'a two-finger tap', {
    gesture: async () => {
      await touch('touchStart', [spot(...second), spot(second[0] + 30, second[1] + 5)]);
      await touch('touchEnd', []);
    },
    ready: (runs) => released(runs, 2),
    check: (runs) => (runs.some((run) => run.buttons & 1) ? 'the left button went down' : pressedInPlace(runs, 2, second)),
  });
  const armed = [250, 30];
  await expectFromCore(t, 'a tap armed as a right click', {
    gesture: async () => {
      await page.evaluate(() => window.kalmoPlayer.touch.armRightClick());
      await touch('touchStart', [spot(...armed)]);
      await touch('touchEnd', []);
    },
    ready: (runs) => released(runs, 2),
    check: (runs) => (runs.some((run) => run.buttons & 1) ? 'the left button went down' : pressedInPlace(runs, 2, armed)),
  });
  assert.equal(await page.evaluate(() => window.kalmoPlayer.touch.armed), false, 'one tap uses it up');
});

test('a hold then a drag keeps the left button down while the cursor moves', async (t) => {
  const { page, touch, spot } = await openPhone();
  const from = [100, 60];
  const to = [220, 150];
  await expectFromCore(t, 'a hold and drag', {
    gesture: async () => {
      await touch('touchStart', [spot(...from)]);
      await waitFor(() => page.evaluate(() => !document.querySelector('.kalmo-touch-ring').hidden), { what: 'the ring' });
      for (let step = 1; step <= 15; step++) {
        await touch('touchMove', [spot(from[0] + (to[0] - from[0]) * step / 15, from[1] + (to[1] - from[1]) * step / 15)]);
        await pause(25);
      }
      await touch('touchEnd', []);
    },
    ready: (runs) => released(runs, 1) && near(runs.at(-1), to),
    check: (runs) => {
      if (runs.some((run) => run.buttons & 2)) return 'the right button went down';
      const held = runs.filter((run) => run.buttons & 1);
      const xs = new Set(held.map((run) => run.x));
      if (xs.size < 4) return `the cursor moved through only ${xs.size} places with the button down`;
      if (Math.max(...xs) - Math.min(...xs) < (to[0] - from[0]) / 2) return 'the button was down for little of the drag';
      return pressedInPlace(runs, 1, from);
    },
  });
});

test('in touchpad mode the finger moves the cursor relatively, faster when fast, and a tap clicks where it is', async (t) => {
  const { page, box, touch, spot, touchCounts } = await openPhone('&touch=touchpad');
  assert.equal(await page.evaluate(() => window.kalmoPlayer.touch.mode), 'touchpad');
  const cursorNow = () => page.evaluate(() => window.kalmoPlayer.cursor.pointer);
  // Steps of `step` CSS pixels `every` ms apart by the events' own clock (a loaded browser delivers each late),
  // from the middle of the picture; the first step already leaves the still zone, so no hold can start.
  const stroke = async (steps, step, every) => {
    const start = [box.x + box.width / 2, box.y + box.height / 2];
    const t0 = Date.now() / 1000;
    await touch('touchStart', [start], t0);
    for (let i = 1; i <= steps; i++) await touch('touchMove', [[start[0] + i * step, start[1] + i * step / 2]], t0 + i * every / 1000);
    await touch('touchEnd', [], t0 + (steps + 1) * every / 1000);
  };
  const perCss = WIDTH / box.width;
  // The model lands the core's cursor exactly where the page has it.
  const atRest = (beyond) => waitFor(async () => {
    const { x, y } = await cursorNow();
    const run = runsFrom(0).at(-1);
    return x > beyond && run?.x === x && run.y === y && run;
  }, { what: 'the cursor at rest after a stroke' });
  // How far a stroke moves the core's cursor; a page held past the hold time takes the stroke for a drag: again.
  const strokeMoves = async (steps, step, every) => {
    for (let attempt = 1; ; attempt++) {
      const from = (await cursorNow()).x;
      const drags = (await touchCounts()).drags;
      await stroke(steps, step, every);
      const moved = (await atRest(from)).x - from;
      if ((await touchCounts()).drags === drags) return moved;
      assert.ok(attempt < ATTEMPTS, 'every stroke was taken for a drag');
      t.diagnostic('a stroke was taken for a drag (the page was held past the hold time); stroked again');
    }
  };
  const start = runsFrom(0).length;
  const slowMoved = await strokeMoves(5, 12, 160);
  assert.ok(Math.abs(slowMoved - 60 * perCss) <= TOLERANCE, `a slow stroke of 60 CSS pixels moved ${slowMoved}, not ${60 * perCss}`);
  const fastMoved = await strokeMoves(6, 12, 4);
  assert.ok(fastMoved >= 2 * 72 * perCss && fastMoved <= 3 * 72 * perCss + TOLERANCE,
    `a fast stroke of 72 CSS pixels moved ${fastMoved} game pixels, not 2 to 3 times ${72 * perCss}`);
  assert.ok(runsFrom(start).every((run) => !run.buttons) || (await touchCounts()).drags, 'moving clicks nothing');
  const rest = await cursorNow();
  for (const [what, points, bit] of [['a tap', [spot(20, 20)], 1], ['a two-finger tap', [spot(300, 180), spot(250, 180)], 2]]) {
    await expectFromCore(t, `${what} far from the cursor`, {
      gesture: async () => {
        await touch('touchStart', points);
        await touch('touchEnd', []);
      },
      ready: (runs) => released(runs, bit),
      check: (runs) => pressedInPlace(runs, bit, [rest.x, rest.y]),
    });
  }
});

test('a swipe and a pinch over the picture neither navigate nor zoom the page', async () => {
  const { page, box, touch } = await openPhone();
  await page.evaluate(() => history.pushState(null, '', `${location.href}#played`));
  const url = await page.evaluate(() => location.href);
  const middle = box.y + box.height / 2;
  await touch('touchStart', [[box.x + 4, middle]]);
  for (let x = box.x + 40; x < box.x + box.width; x += 40) await touch('touchMove', [[x, middle]]);
  await touch('touchEnd', []);
  // Fingers spread apart along `axis` ([1, 0] across, [0, 1] up and down) from `centre`.
  const pinch = async (centre, to, [ax, ay] = [1, 0]) => {
    for (let spread = 20; spread <= to; spread += 20) {
      await touch(spread === 20 ? 'touchStart' : 'touchMove',
        [[centre.x - spread * ax, centre.y - spread * ay], [centre.x + spread * ax, centre.y + spread * ay]]);
    }
    await touch('touchEnd', []);
  };
  await pinch({ x: box.x + box.width / 2, y: middle }, 200);
  await pause(500);
  assert.equal(await page.evaluate(() => location.href), url, 'still on the page');
  assert.equal(await page.evaluate(() => visualViewport.scale), 1, 'not zoomed');
  assert.equal(await page.evaluate(() => window.kalmoPlayer.touch.counts.cancelled), 0, 'the browser took no touch away');
  // A pinch in the margin beside the picture does zoom, so the browser would have.
  assert.ok(box.x >= 40, `a margin beside the picture (${box.x} CSS pixels)`);
  await pinch({ x: box.x / 2, y: middle }, 160, [0, 1]);
  await waitFor(() => page.evaluate(() => visualViewport.scale > 1.2), { timeout: 5000, what: 'the page zoomed beside the picture' });
});
