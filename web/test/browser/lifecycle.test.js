// The player's start, end and failures as a person sees them: the stage
// list until "running", closing the page ending the host cleanly with no
// process left, a core that does not load shown with its meaning and a
// button to start again, and a lost connection said as such. The page's
// screenshot for the README is taken here (written to docs/player.png when
// KALMO_UPDATE_SCREENSHOT=1).

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { exitMeaning } from '../../lib/exit_meaning.js';
import {
  build, repoRoot, launchBrowser, withPlay, openPlayer, closePages, childProcesses, waitFor, temporaryDirectory,
  writeScenario, readRecord,
} from './support/browser_harness.js';

let browser;
let dir;

before(async () => {
  dir = temporaryDirectory('lifecycle');
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
});

test('the stages are listed until running; closing the page ends the host with exit 0 and leaves none behind', async () => {
  const files = writeScenario(dir, 'plain', 'av 64 40 0 60 48000\n[every_frame]\npoll\nvideo 0 64 40\n');
  await withPlay({ core: build.probeCore, content: files.scenario, data: dir }, async (play) => {
    const page = await openPlayer(browser, await play.url);
    const stats = await waitFor(async () => {
      const now = await page.evaluate(() => window.kalmoPlayer.stats);
      return now.state === 'running' && now.video.shown > 0 && now;
    }, { what: 'the game to run' });
    assert.deepEqual(stats.stages.slice(0, 5), ['connecting', 'startup', 'load-library', 'bind-api', 'system-info']);
    assert.equal(stats.stages.at(-1), 'running');
    assert.equal(await page.locator('.kalmo-progress').isHidden(), true);
    const hosts = childProcesses(play.child.pid);
    assert.equal(hosts.length, 1);
    await closePages(browser, play);
    // The probe records these only on an orderly stop, and the bridge logs the host's exit 0.
    const record = readRecord(files.record);
    assert.deepEqual(record.slice(-2), ['call unload_game', 'call deinit']);
    await waitFor(() => play.output.includes(`host ${hosts[0]} ended: ${exitMeaning(0, null)}`),
      { what: 'the bridge to log exit 0' });
    assert.equal(play.child.exitCode, null, 'the bridge keeps serving');
    const next = await openPlayer(browser, await play.url);
    await waitFor(() => next.evaluate(() => window.kalmoPlayer.stats.state === 'running'), { what: 'a second page to run' });
    await closePages(browser, play);
  });
});

test('a core that does not load shows the error and its meaning, and the button starts again', async () => {
  // A text file is no library: the host ends with exit code 3.
  await withPlay({ core: build.demoContent, content: build.demoContent, data: dir }, async (play) => {
    const page = await openPlayer(browser, await play.url);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.exit !== null), { what: 'the host to exit' });
    const panel = page.locator('.kalmo-error');
    assert.equal(await panel.isVisible(), true);
    const text = await panel.textContent();
    assert.match(text, /Impossible de charger le core Libretro/);
    assert.match(text, /exit code 3/);
    const { exit } = await page.evaluate(() => window.kalmoPlayer.stats);
    assert.equal(exit.code, 3);
    assert.ok(exit.meaning.length > 0 && text.includes(exit.meaning), 'the meaning is on the page');
    await panel.getByRole('button', { name: 'Start again' }).click();
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.stages.includes('load-library')),
      { what: 'the second attempt' });
    await waitFor(() => panel.isVisible(), { what: 'the error shown again' });
    await closePages(browser, play);
  });
});

test('a second page while one plays is told why it was refused', async () => {
  await withPlay({ core: build.demoCore, content: build.demoContent, data: dir }, async (play) => {
    const first = await openPlayer(browser, await play.url);
    await waitFor(() => first.evaluate(() => window.kalmoPlayer.stats.state === 'running'), { what: 'the first page to run' });
    const second = await openPlayer(browser, await play.url);
    const panel = second.locator('.kalmo-error');
    await waitFor(() => panel.isVisible(), { what: 'the refusal on the second page' });
    assert.match(await panel.textContent(), /The bridge refused this page/);
    assert.equal(await first.evaluate(() => window.kalmoPlayer.stats.connection), 'open', 'the first page plays on');
    await closePages(browser, play);
  });
});

test('a lost connection says so and offers to reconnect', async () => {
  await withPlay({ core: build.demoCore, content: build.demoContent, data: dir }, async (play) => {
    const page = await openPlayer(browser, await play.url);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.state === 'running'), { what: 'the demo to run' });
    play.child.kill('SIGKILL');
    const panel = page.locator('.kalmo-error');
    await waitFor(() => panel.isVisible(), { what: 'the lost connection to show' });
    assert.match(await panel.textContent(), /Connection lost/);
    assert.equal(await panel.getByRole('button', { name: 'Reconnect' }).isVisible(), true);
    await page.close();
  });
});

test('the demo core plays on the page (the README screenshot)', async () => {
  await withPlay({ core: build.demoCore, content: build.demoContent, data: dir }, async (play) => {
    const page = await openPlayer(browser, await play.url);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 60), { what: 'a second of frames' });
    const box = await page.locator('.kalmo-canvas').boundingBox();
    await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.input.locked), { what: 'the pointer lock' });
    for (let i = 1; i <= 20; i++) await page.mouse.move(box.x + box.width / 2 + i * 6, box.y + box.height / 2 - i * 3);
    await page.keyboard.press('F9');
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.audio.framesConsumed > 24000), { what: 'sound' });
    await page.waitForTimeout(600);
    assert.equal(await page.locator('.kalmo-stats').isVisible(), true);
    assert.match(await page.locator('.kalmo-stats').textContent(), /buffered/);
    const path = process.env.KALMO_UPDATE_SCREENSHOT === '1' ? join(repoRoot, 'docs/player.png') : join(dir, 'player.png');
    await page.screenshot({ path });
    await closePages(browser, play);
  });
});
