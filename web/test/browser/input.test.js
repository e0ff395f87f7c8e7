// Mouse and keyboard from a real browser page to the core: the probe core
// queries the mouse and the pointer every run and records every keyboard
// callback, so each check compares what the page was given with what the
// core read.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  build, launchBrowser, startPlay, openPlayer, closePages, waitFor, temporaryDirectory, writeStreamScenario, recordEntries,
} from './support/browser_harness.js';

const WIDTH = 160;
const HEIGHT = 100;

let browser;
let play;
let record;
let page;
let box;

before(async () => {
  const dir = temporaryDirectory('input');
  const files = writeStreamScenario(dir, WIDTH, HEIGHT);
  record = files.record;
  browser = await launchBrowser();
  play = startPlay({ core: build.probeCore, content: files.scenario, data: dir });
  page = await openPlayer(browser, await play.url);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { what: 'the first frame' });
  box = await page.locator('.kalmo-canvas').boundingBox();
});

after(async () => {
  if (browser) await closePages(browser, play);
  await browser?.close();
  await play?.stop();
});

const mouseSums = () => recordEntries(record, 'mouse').reduce((sum, entry) => ({
  x: sum.x + entry.x, y: sum.y + entry.y, left: sum.left + entry.left, right: sum.right + entry.right,
  middle: sum.middle + entry.middle, wheelup: sum.wheelup + entry.wheelup, wheeldown: sum.wheeldown + entry.wheeldown,
}), { x: 0, y: 0, left: 0, right: 0, middle: 0, wheelup: 0, wheeldown: 0 });
const lastPointer = () => recordEntries(record, 'pointer').at(-1);
const keyEvents = () => recordEntries(record, 'keyboard');
// Enough runs for any line sent to have been read by a poll.
const settle = async () => {
  const runs = recordEntries(record, 'mouse').length;
  await waitFor(() => recordEntries(record, 'mouse').length >= runs + 6, { what: 'six more runs of the core' });
};

test('the unlocked pointer reaches the core in frame pixels with its inside flag', async () => {
  // The middle of frame pixel (48, 60), so rounding to whole CSS pixels cannot move it.
  await page.mouse.move(box.x + 48.5 * box.width / WIDTH, box.y + 60.5 * box.height / HEIGHT);
  await waitFor(() => {
    const pointer = lastPointer();
    return pointer.x === 48 && pointer.y === 60 && pointer.count === 1;
  }, { what: 'the pointer at (48, 60) inside the picture' });
  const viewport = await page.locator('.kalmo-viewport').boundingBox();
  // Above the picture: in the player, but off the picture.
  await page.mouse.move(box.x + 10, (viewport.y + box.y) / 2);
  await waitFor(() => lastPointer().count === 0 && lastPointer().offscreen === 1, { what: 'the pointer off the picture' });
  // Straight from the picture out of the player (to the help line under it): off the picture too.
  await page.mouse.move(box.x + 48.5 * box.width / WIDTH, box.y + 60.5 * box.height / HEIGHT);
  await waitFor(() => lastPointer().count === 1, { what: 'the pointer back on the picture' });
  const help = await page.locator('.kalmo-help').boundingBox();
  await page.mouse.move(help.x + 5, help.y + help.height / 2, { steps: 1 });
  await waitFor(() => lastPointer().count === 0, { what: 'the pointer gone from the player' });
});

test('locked motion reaches the core scaled to frame pixels, without the first event or a spurious jump', async () => {
  // The middle of frame pixel (80, 50).
  let x = box.x + 80.5 * box.width / WIDTH;
  let y = box.y + 50.5 * box.height / HEIGHT;
  await page.mouse.move(x, y);
  await page.mouse.click(x, y);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.input.locked), { what: 'the pointer lock' });
  // The first motion after a lock is dropped by design.
  await page.mouse.move(x += 3, y += 2);
  await waitFor(() => lastPointer().x === 80 && lastPointer().y === 50,
    { what: 'the virtual pointer at the click' });
  await settle();
  const before = { ...mouseSums(), pointer: lastPointer() };
  const steps = [[7, -3], [12, 5], [-4, 9], [1, 1], [-20, -11], [33, 2], [0, -17], [5, 5]];
  let handX = 0;
  let handY = 0;
  for (let round = 0; round < 5; round++) {
    for (const [dx, dy] of steps) {
      await page.mouse.move(x += dx, y += dy);
      handX += dx;
      handY += dy;
    }
  }
  // A single jump of hundreds of pixels, as Chromium sometimes sends: dropped.
  await page.mouse.move(x += 340, y);
  await page.mouse.move(x += 2, y += 1);
  handX += 2;
  handY += 1;
  // The hand's motion in frame pixels: where the virtual pointer goes, and what the core is sent.
  const frameX = before.pointer.x + Math.floor(0.5 + handX * WIDTH / box.width);
  const frameY = before.pointer.y + Math.floor(0.5 + handY * HEIGHT / box.height);
  await waitFor(() => lastPointer().x === frameX && lastPointer().y === frameY,
    { what: `the virtual pointer at ${frameX}, ${frameY}` });
  await waitFor(() => mouseSums().x - before.x === frameX - before.pointer.x &&
    mouseSums().y - before.y === frameY - before.pointer.y, { what: 'the core\'s motion to match the pointer\'s' });
  await settle();
  const after = mouseSums();
  assert.deepEqual([after.x - before.x, after.y - before.y], [frameX - before.pointer.x, frameY - before.pointer.y],
    'nothing arrives twice');
  const stats = await page.evaluate(() => window.kalmoPlayer.stats.input);
  assert.equal(stats.droppedMotion, 2);
});

test('buttons and the wheel reach the core under the lock', async () => {
  const before = mouseSums();
  for (const button of ['left', 'right', 'middle']) {
    await page.mouse.down({ button });
    await page.mouse.up({ button });
  }
  await page.mouse.wheel(0, -100);
  await waitFor(() => mouseSums().wheelup > before.wheelup, { what: 'a wheel notch up' });
  await page.mouse.wheel(0, 200);
  await waitFor(() => {
    const now = mouseSums();
    return now.left > before.left && now.right > before.right && now.middle > before.middle &&
      now.wheeldown > before.wheeldown;
  }, { what: 'left, right and middle presses and a wheel notch down' });
  await settle();
  const last = recordEntries(record, 'mouse').at(-1);
  assert.deepEqual([last.left, last.right, last.middle], [0, 0, 0], 'every button is released again');
});

test('keys reach the core by physical key with their character and modifiers, once per press', async () => {
  const start = keyEvents().length;
  await page.keyboard.press('KeyA');
  await page.keyboard.down('Shift');
  await page.keyboard.press('KeyB');
  await page.keyboard.up('Shift');
  await page.keyboard.press('ArrowLeft');
  await page.keyboard.press('F5');
  // Held: the second down is the browser's auto-repeat and must not reach the core.
  await page.keyboard.down('KeyC');
  await page.keyboard.down('KeyC');
  await page.keyboard.up('KeyC');
  // An AZERTY keyboard: the key in the Q place types "a"; the game sees the physical key.
  await page.evaluate(() => {
    const target = document.querySelector('.kalmo-viewport');
    for (const type of ['keydown', 'keyup']) {
      target.dispatchEvent(new KeyboardEvent(type, { code: 'KeyQ', key: 'a', bubbles: true, cancelable: true }));
    }
  });
  const expected = [
    [1, 97, 97, 0], [0, 97, 0, 0],
    [1, 304, 0, 1], [1, 98, 66, 1], [0, 98, 0, 1], [0, 304, 0, 0],
    [1, 276, 0, 0], [0, 276, 0, 0],
    [1, 286, 0, 0], [0, 286, 0, 0],
    [1, 99, 99, 0], [0, 99, 0, 0],
    [1, 113, 97, 0], [0, 113, 0, 0],
  ];
  const seen = await waitFor(() => {
    const events = keyEvents().slice(start);
    return events.length >= expected.length && events;
  }, { what: `${expected.length} keyboard callbacks` });
  await settle();
  const events = keyEvents().slice(start);
  assert.deepEqual(events.map((e) => [e.down, e.keycode, e.character, e.modifiers & 0x0f]), expected);
  assert.equal(seen.length, events.length);
});

test('keys still down are released when the lock ends or the window loses focus', async () => {
  const start = keyEvents().length;
  await page.keyboard.down('KeyD');
  await page.evaluate(() => document.exitPointerLock());
  await waitFor(() => page.evaluate(() => !window.kalmoPlayer.stats.input.locked), { what: 'the lock to end' });
  await page.focus('.kalmo-viewport');
  await page.keyboard.down('KeyE');
  await page.evaluate(() => window.dispatchEvent(new Event('blur')));
  await waitFor(() => keyEvents().length >= start + 4, { what: 'two presses and their releases' });
  const events = keyEvents().slice(start).map((e) => [e.down, e.keycode]);
  assert.deepEqual(events, [[1, 100], [0, 100], [1, 101], [0, 101]]);
  const notice = await page.locator('.kalmo-notice').textContent();
  assert.match(notice, /click the picture to capture it again/);
  assert.equal(await page.evaluate(() => window.kalmoPlayer.stats.input.heldKeys), 0);
});

test('Alt+Enter toggles fullscreen and neither key of the shortcut becomes a game key press of Enter', async () => {
  await page.focus('.kalmo-viewport');
  const start = keyEvents().length;
  await page.keyboard.press('Alt+Enter');
  await waitFor(() => page.evaluate(() => document.fullscreenElement === window.kalmoPlayer.root),
    { what: 'the player in fullscreen' });
  await page.keyboard.press('Alt+Enter');
  await waitFor(() => page.evaluate(() => document.fullscreenElement === null), { what: 'fullscreen to end' });
  await settle();
  const codes = keyEvents().slice(start).map((e) => e.keycode);
  assert.equal(codes.includes(13), false, 'Enter stayed with the player');
});

test('where the browser refuses the lock, the core\'s cursor is brought under the visible pointer, which it then follows', async () => {
  await page.evaluate(() => {
    HTMLCanvasElement.prototype.requestPointerLock = () => Promise.reject(new DOMException('no lock here', 'SecurityError'));
  });
  const x = box.x + 80.5 * box.width / WIDTH;
  const y = box.y + 50.5 * box.height / HEIGHT;
  await page.mouse.move(x, y);
  await settle();
  const before = mouseSums();
  await page.mouse.click(x, y);
  await waitFor(() => page.evaluate(() => /refused to capture/.test(document.querySelector('.kalmo-notice').textContent)),
    { what: 'the refusal said on the page' });
  await page.mouse.move(x + 7, y + 3);
  await page.mouse.move(x + 12, y - 2);
  const pin = { x: -(2 * WIDTH + 16), y: -(2 * HEIGHT + 16) };
  // Pinned into the corner, where the probe's cursor would clamp, then moved to the pointer.
  await waitFor(() => {
    const pointer = lastPointer();
    const sums = mouseSums();
    return pointer.x === Math.floor((x + 12 - box.x) * WIDTH / box.width) &&
      sums.x - before.x === pin.x + pointer.x && sums.y - before.y === pin.y + pointer.y;
  }, { what: 'the pin and the motion to the pointer at the core' });
  // A host that stalls past the press's hold reads a click whole at one poll; a few clicks make sure one lands.
  for (let attempt = 0; mouseSums().left === before.left; attempt++) {
    assert.ok(attempt < 5, 'no click reached the core');
    await page.mouse.click(x + 12, y - 2);
    await settle();
  }
  assert.equal(await page.evaluate(() => window.kalmoPlayer.stats.input.locked), false);
});
