// On-screen keys and the device keyboard from a real page to the core: taps
// are the DevTools protocol's touch events, typing its key, text and input
// method events, and the probe core records every keyboard callback, so each
// check compares what was tapped or typed with what the core received. The
// cursor core (named "ScummVM") shows that a core's menu key is offered.

import { test, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import {
  build, launchBrowser, startPlay, withPlay, openPlayer, closePages, waitFor, temporaryDirectory, writeStreamScenario,
  recordEntries, childProcesses,
} from './support/browser_harness.js';
import { writeCursorContent, cursorRuns } from './support/cursor_core.js';

const F5 = 286;

let browser;
let play;
let record;

before(async () => {
  const dir = temporaryDirectory('onscreen-keys');
  const files = writeStreamScenario(dir, 160, 100);
  record = files.record;
  browser = await launchBrowser();
  play = startPlay({ core: build.probeCore, content: files.scenario, data: dir });
});

afterEach(() => closePages(browser, play));

after(async () => {
  await browser?.close();
  await play?.stop();
});

const keyEvents = () => recordEntries(record, 'keyboard').map((e) => [e.down, e.keycode, e.character]);

async function playing(query = '') {
  const page = await openPlayer(browser, await play.url, query);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { what: 'the first frame' });
  return page;
}

// The middle of a key of the row, or of the picture.
async function middle(page, label) {
  const box = await (label ? key(page, label) : page.locator('.kalmo-canvas')).boundingBox();
  return { x: box.x + box.width / 2, y: box.y + box.height / 2 };
}

async function touchTap(page, label) {
  const point = await middle(page, label);
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Input.dispatchTouchEvent', { type: 'touchStart', touchPoints: [point] });
  await cdp.send('Input.dispatchTouchEvent', { type: 'touchEnd', touchPoints: [] });
  await cdp.detach();
}

// The core's key events from the `start`th on, once `count` have come and six more runs went by without more.
async function keysSince(start, count) {
  await waitFor(() => keyEvents().length >= start + count, { what: `${count} keyboard callbacks` });
  const runs = recordEntries(record, 'mouse').length;
  await waitFor(() => recordEntries(record, 'mouse').length >= runs + 6, { what: 'six more runs of the core' });
  return keyEvents().slice(start);
}

const key = (page, label) => page.locator('.kalmo-keys').getByRole('button', { name: label, exact: true });
const labels = (page) => page.locator('.kalmo-keys button').allTextContents();
// A tap's click comes after its touch events are through: these wait for what it does.
const becomesPressed = (page, label, value) => waitFor(
  async () => await key(page, label).getAttribute('aria-pressed') === value, { what: `${label} pressed: ${value}` });
const becomesFocused = (page, className) => waitFor(
  () => page.evaluate((name) => document.activeElement.className === name, className), { what: `focus on ${className}` });

test('with auto the keys show after touch input and hide for the mouse; a right click stays armed until the next tap', async () => {
  // Followed, the mouse takes no lock, so mouse and finger can take turns on the picture.
  const page = await playing('&pointer=follow');
  const row = page.locator('.kalmo-keys');
  assert.equal(await row.isVisible(), false);
  await touchTap(page);
  await waitFor(() => row.isVisible(), { what: 'the keys after a tap' });
  await page.click('.kalmo-canvas');
  await waitFor(async () => !(await row.isVisible()), { what: 'the keys hidden after a click' });
  await touchTap(page);
  await waitFor(() => row.isVisible(), { what: 'the keys after another tap' });
  await touchTap(page, 'Right click');
  await becomesPressed(page, 'Right click', 'true');
  await touchTap(page);
  await becomesPressed(page, 'Right click', 'false');
});

test('the on-screen keys reach the core, held while pressed, and leave the focus where it was', async () => {
  const page = await playing('&keys=always');
  assert.deepEqual(await labels(page), ['Esc', 'Space', 'Enter', 'Right click', 'Keyboard', 'Fullscreen']);
  await page.focus('.kalmo-viewport');
  const start = keyEvents().length;
  await touchTap(page, 'Esc');
  const space = await middle(page, 'Space');
  await page.mouse.move(space.x, space.y);
  await page.mouse.down();
  const held = await keysSince(start, 3);
  assert.deepEqual(held.at(-1), [1, 32, 32], 'Space stays down while the button is');
  await page.mouse.up();
  await touchTap(page, 'Enter');
  assert.deepEqual(await keysSince(start, 6), [[1, 27, 27], [0, 27, 0], [1, 32, 32], [0, 32, 0], [1, 13, 13], [0, 13, 0]]);
  assert.equal(await page.evaluate(() => document.activeElement.className), 'kalmo-viewport');

  // The device keyboard: typed keys go once, by their key; other text, composed text and edits as characters.
  await touchTap(page, 'Keyboard');
  await becomesFocused(page, 'kalmo-device-keyboard');
  await becomesPressed(page, 'Keyboard', 'true');
  const typed = keyEvents().length;
  await page.keyboard.type('Hi é');
  const cdp = await page.context().newCDPSession(page);
  // The key an input method takes to start composing is not the game's.
  await page.evaluate(() => document.activeElement.dispatchEvent(
    new KeyboardEvent('keydown', { code: 'KeyN', key: 'Process', bubbles: true, cancelable: true })));
  await cdp.send('Input.imeSetComposition', { text: 'に', selectionStart: 1, selectionEnd: 1 });
  await cdp.send('Input.imeSetComposition', { text: 'にほ', selectionStart: 2, selectionEnd: 2 });
  await cdp.send('Input.insertText', { text: '日本' });
  // As a virtual keyboard sends them: no physical key code, so they arrive as edits.
  for (const [key, keyCode, text] of [['Backspace', 8, ''], ['Enter', 13, '\r']]) {
    await cdp.send('Input.dispatchKeyEvent', { type: 'keyDown', key, code: '', windowsVirtualKeyCode: keyCode, text });
    await cdp.send('Input.dispatchKeyEvent', { type: 'keyUp', key, code: '', windowsVirtualKeyCode: keyCode });
  }
  assert.deepEqual(await keysSince(typed, 16), [
    [1, 104, 72], [0, 104, 0], [1, 105, 105], [0, 105, 0], [1, 32, 32], [0, 32, 0], [1, 0, 233], [0, 0, 0],
    [1, 0, 0x65e5], [0, 0, 0], [1, 0, 0x672c], [0, 0, 0], [1, 8, 8], [0, 8, 0], [1, 13, 13], [0, 13, 0],
  ]);
  await touchTap(page, 'Keyboard');
  await becomesFocused(page, 'kalmo-viewport');
  await becomesPressed(page, 'Keyboard', 'false');
});

test('a front-end\'s own list replaces the default keys, and a key the table lacks is refused', async () => {
  const page = await playing();
  const refused = await page.evaluate(() => import('/player/kalmo_player.js').then(({ KalmoPlayer }) => {
    try {
      const onscreenKeys = [{ label: 'X', code: 'Nope' }];
      return new KalmoPlayer(window.kalmoPlayer.source, document.createElement('div'), { onscreenKeys });
    } catch (error) {
      return error.name;
    }
  }));
  assert.equal(refused, 'TypeError');
  await page.evaluate(() => window.kalmoPlayer.destroy());
  await waitFor(() => childProcesses(play.child.pid).length === 0, { what: 'the first player\'s host to end' });
  await page.evaluate(async () => {
    const { KalmoPlayer } = await import('/player/kalmo_player.js');
    const keys = [{ label: 'Jump', code: 'ArrowUp' }, { label: 'Y', code: 'KeyY', key: 'y' }];
    window.kalmoPlayer = new KalmoPlayer(window.kalmoPlayer.source, document.getElementById('stage'),
      { onscreenKeys: keys, pointerMode: 'follow' });
  });
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { what: 'the front-end\'s first frame' });
  assert.deepEqual(await labels(page), ['Jump', 'Y', 'Right click', 'Keyboard', 'Fullscreen']);
  await touchTap(page);
  await key(page, 'Jump').waitFor({ timeout: 15000 });
  const start = keyEvents().length;
  await touchTap(page, 'Jump');
  await touchTap(page, 'Y');
  assert.deepEqual(await keysSince(start, 4), [[1, 273, 0], [0, 273, 0], [1, 121, 121], [0, 121, 0]]);
});

test('the ScummVM core gets its menu key, F5, which the core sees down while it is held', async () => {
  const dir = temporaryDirectory('onscreen-menu');
  const files = writeCursorContent(dir);
  await withPlay({ core: build.cursorCore, content: files.content, data: dir }, async (cursorPlay) => {
    const page = await openPlayer(browser, await cursorPlay.url, '&keys=always');
    await key(page, 'Menu').waitFor({ timeout: 15000 });
    const from = cursorRuns(files.record).length;
    const menu = await middle(page, 'Menu');
    await page.mouse.move(menu.x, menu.y);
    await page.mouse.down();
    await waitFor(() => cursorRuns(files.record).slice(from).some((run) => run.keys.includes(F5)), { what: 'F5 down' });
    await page.mouse.up();
    await waitFor(() => !cursorRuns(files.record).at(-1).keys.includes(F5), { what: 'F5 up again' });
    await closePages(browser, cursorPlay);
  });
});
