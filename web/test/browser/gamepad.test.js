// A gamepad in the browser player, against the cursor core (named
// "ScummVM", so the page follows and never locks) behind the real host and
// kalmo-play. Headless Chromium has no pads, so the page gets a scripted
// one: a navigator.getGamepads stand-in installed before the player loads,
// announced by a gamepadconnected event. What counts is what the core's
// record shows: where its cursor went, the buttons and the keys it saw.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { openPlayer, waitFor } from './support/browser_harness.js';
import { cursorCoreSuite, cursorRuns } from './support/cursor_core.js';

const ESCAPE = 27;
const DPAD_DELAY_MS = 300;
const DPAD_REPEAT_MS = 50;

const suite = cursorCoreSuite('gamepad');
let page;

// Runs in the page before its scripts: one standard pad, off until connect().
function installScriptedPad() {
  const button = (down) => ({ pressed: down, touched: down, value: down ? 1 : 0 });
  const pad = {
    id: 'Scripted pad (STANDARD GAMEPAD)', index: 0, mapping: 'standard', connected: false, timestamp: 0,
    axes: [0, 0, 0, 0], buttons: Array.from({ length: 17 }, () => button(false)),
  };
  const announce = (type) => {
    const event = new Event(type);
    Object.defineProperty(event, 'gamepad', { value: pad });
    window.dispatchEvent(event);
  };
  Object.defineProperty(navigator, 'getGamepads', { value: () => [pad.connected ? pad : null, null, null, null] });
  window.scriptedPad = {
    connect() { pad.connected = true; announce('gamepadconnected'); },
    disconnect() { pad.connected = false; announce('gamepaddisconnected'); },
    stick(x, y) { pad.axes = [x, y, 0, 0]; },
    button(index, down) { pad.buttons[index] = button(down); },
  };
}

// Each test has a page, and so a host and a core, of its own: the cursor starts at 0,0.
async function openWithPad() {
  page = await openPlayer(suite.browser, await suite.play.url, '', undefined, { initScript: installScriptedPad });
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { what: 'the first frame' });
  await page.evaluate(() => window.scriptedPad.connect());
}

const aim = () => page.evaluate(() => ({ ...window.kalmoPlayer.cursor.pointer }));
const runs = () => cursorRuns(suite.record);
const lastRun = () => runs().at(-1) ?? {};
const pad = (method, ...args) => page.evaluate(([name, values]) => window.scriptedPad[name](...values), [method, args]);
// Every read of the pads happens at an animation frame: after two, the page has seen the pad's state.
const padRead = () => page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));

// The core's cursor where the page aims it; lines that go one way cannot be undone by sharing a poll.
async function cursorAtAim(what) {
  const wanted = await aim();
  await waitFor(() => lastRun().x === wanted.x && lastRun().y === wanted.y,
    { what: `${what}: the core's cursor at ${wanted.x},${wanted.y}` });
  return wanted;
}

// Pushes the stick right and down until the aim is `x` pixels right, then waits for the core's cursor there.
async function pushStick(x) {
  await pad('stick', 0.8, 0.55);
  await waitFor(async () => (await aim()).x >= x, { what: `the aim ${x} pixels right` });
  await pad('stick', 0, 0);
  return cursorAtAim('after the stick');
}

// Holds a button until the core's runs show `seen`, releases it, and waits for a run without it.
async function holdUntilSeen(index, seen, what) {
  const from = runs().length;
  await pad('button', index, true);
  await waitFor(() => runs().slice(from).some(seen), { what: `${what} seen by the core` });
  await pad('button', index, false);
  await waitFor(() => !seen(lastRun()), { what: `${what} released` });
  return runs().slice(from).filter(seen);
}

test('the stick moves the cursor outside its dead zone and the d-pad by a pixel a press', async () => {
  await openWithPad();
  await pad('stick', 0.15, -0.1);
  await padRead();
  await padRead();
  assert.deepEqual(await aim(), { x: 0, y: 0, inside: false }, 'no motion inside the dead zone');

  const moved = await pushStick(120);
  assert.ok(moved.y > 40 && moved.inside, `down as well, on the picture (${JSON.stringify(moved)})`);
  assert.equal(await page.evaluate(() => document.querySelector('.kalmo-player').dataset.input), 'gamepad');

  // A page slow to read the aim may have let the stick run to the right edge.
  const [button, sign] = moved.x < 300 ? [15, 1] : [14, -1];
  const started = Date.now();
  await pad('button', button, true);
  await waitFor(async () => (await aim()).x !== moved.x, { what: 'the d-pad press' });
  await pad('button', button, false);
  await padRead();
  // The page held it at most this long: only then may it have repeated.
  const held = Date.now() - started;
  const allowed = held < DPAD_DELAY_MS ? 1 : 2 + Math.floor((held - DPAD_DELAY_MS) / DPAD_REPEAT_MS);
  const stepped = await cursorAtAim('after the d-pad');
  const steps = (stepped.x - moved.x) * sign;
  assert.ok(steps >= 1 && steps <= allowed, `${steps} pixels in ${held} ms`);
  assert.equal(stepped.y, moved.y);
});

test('A and B press the left and right buttons where the cursor is, without moving it', async () => {
  await openWithPad();
  const at = await pushStick(40);
  for (const [index, bit] of [[0, 1], [1, 2]]) {
    const pressed = await holdUntilSeen(index, (run) => (run.buttons & bit) !== 0, `button ${index}`);
    assert.ok(pressed.every((run) => run.x === at.x && run.y === at.y && run.buttons === bit),
      `button ${index} down only at ${at.x},${at.y}: ${JSON.stringify(pressed.slice(0, 3))}`);
  }
  assert.deepEqual(await aim(), at);
});

test('X reaches the core as Esc, and a pad unplugged with a button down releases it', async () => {
  await openWithPad();
  await holdUntilSeen(2, (run) => run.keys.includes(ESCAPE), 'X as Esc');
  const from = runs().length;
  await pad('button', 0, true);
  await waitFor(() => runs().slice(from).some((run) => run.buttons & 1), { what: 'A down' });
  await pad('disconnect');
  await waitFor(() => (lastRun().buttons & 1) === 0, { what: 'A released when the pad went' });
});
