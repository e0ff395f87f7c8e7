// Keys for a core that reads key state at its poll instead of taking key
// events: the cursor core (named "ScummVM", so the page follows the pointer
// without a lock) records the keys it finds down at every run.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  build, launchBrowser, startPlay, openPlayer, closePages, waitFor, temporaryDirectory,
} from './support/browser_harness.js';
import { writeCursorContent, cursorRuns, hostStalls } from './support/cursor_core.js';

const KEY_A = 97;
const ESCAPE = 27;

let browser;
let play;
let record;
let page;

before(async () => {
  const dir = temporaryDirectory('polled-keys');
  const files = writeCursorContent(dir);
  record = files.record;
  browser = await launchBrowser();
  play = startPlay({ core: build.cursorCore, content: files.content, data: dir });
  page = await openPlayer(browser, await play.url);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { what: 'the first frame' });
  const box = await page.locator('.kalmo-canvas').boundingBox();
  await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2);
});

after(async () => {
  if (browser) await closePages(browser, play);
  await browser?.close();
  await play?.stop();
});

// Runs from the `from`th that saw `key` down, and whether a later run saw it up again.
function seen(from, key) {
  const runs = cursorRuns(record).slice(from);
  const down = runs.filter((run) => run.keys.includes(key));
  const released = down.length > 0 && runs.slice(runs.indexOf(down.at(-1)) + 1).some((run) => !run.keys.includes(key));
  return { down: down.length, released };
}

// Taps `key` until the core sees it down and then up. A host that stalls longer than the hold reads the press
// and the release at one poll: only then is a missed tap excused (and reported), and tapped again.
async function tapUntilSeen(t, key, code, what) {
  for (let attempt = 0; ; attempt++) {
    const from = cursorRuns(record).length;
    await page.keyboard.down(key);
    await page.keyboard.up(key);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.keyboard.queue.length === 0), { what: 'the release sent' });
    const ran = cursorRuns(record).length;
    await waitFor(() => cursorRuns(record).length >= ran + 3, { what: 'three more runs' });
    const { down, released } = seen(from, code);
    if (down >= 1) {
      assert.ok(released, `${what} released again`);
      return;
    }
    const late = hostStalls(record, from);
    assert.ok(late.length > 0 && attempt < 5, `${what}: tap ${attempt} not seen, and the host ran on time`);
    t.diagnostic(`${what}: tap ${attempt} excused, the host ran late (${late.join(', ')} ms between runs)`);
  }
}

test('a key pressed and released within one frame is seen down by the polling core, then up', async (t) => {
  await tapUntilSeen(t, 'KeyA', KEY_A, 'A');
  assert.ok(await page.evaluate(() => window.kalmoPlayer.keyboard.counts.releasesHeld) >= 1, 'the release was held back');
});

test('a tap of Esc in follow mode reaches the game and releases no lock', async (t) => {
  assert.equal(await page.evaluate(() => window.kalmoPlayer.mouse.mode), 'follow');
  await tapUntilSeen(t, 'Escape', ESCAPE, 'Esc');
  assert.equal(await page.evaluate(() => window.kalmoPlayer.mouse.locked), false);
  const notice = await page.locator('.kalmo-notice').textContent();
  assert.doesNotMatch(notice, /Mouse released/);
});

test('the lines of a fast burst keep their order behind a held release', async () => {
  const sent = [];
  await page.exposeFunction('noteKeyLine', (line) => sent.push(line));
  await page.evaluate(() => {
    const keyboard = window.kalmoPlayer.keyboard;
    const send = keyboard.send;
    keyboard.send = (line) => {
      window.noteKeyLine(line);
      return send(line);
    };
  });
  await page.keyboard.down('KeyB');
  await page.keyboard.up('KeyB');
  await page.keyboard.down('KeyC');
  await page.keyboard.up('KeyC');
  await waitFor(() => sent.length === 4, { what: 'four key lines' });
  assert.deepEqual(sent.map((line) => line.split(' ').slice(0, 3).join(' ')), ['K 98 1', 'K 98 0', 'K 99 1', 'K 99 0']);
});
