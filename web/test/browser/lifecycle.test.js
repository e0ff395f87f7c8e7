// The player's start, end and failures as a person sees them: the stage
// list until "running", closing the page ending the host cleanly with no
// process left, a core that does not load or a killed host told in English
// with the core's own warnings, "Start again" counting from zero, and a lost
// connection said as such. The page's
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

// The panel's title, detail and core log, as a person reads them.
async function panelText(page) {
  const panel = page.locator('.kalmo-error');
  await waitFor(() => panel.isVisible(), { what: 'the ending panel' });
  return {
    title: await panel.locator('h2').textContent(),
    detail: await panel.locator('p').first().textContent(),
    log: (await panel.locator('pre').count()) ? await panel.locator('pre').textContent() : '',
  };
}

test('a core that does not load is told in English, the host\'s own text as the detail, and the button starts again', async () => {
  // A text file is no library: the host ends with exit code 3.
  await withPlay({ core: build.demoContent, content: build.demoContent, data: dir }, async (play) => {
    const page = await openPlayer(browser, await play.url);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.exit !== null), { what: 'the host to exit' });
    const text = await panelText(page);
    assert.equal(text.title, 'The core library does not load');
    assert.equal(text.detail, 'The host said: “Impossible de charger le core Libretro”. (exit code 3)');
    const stats = await page.evaluate(() => window.kalmoPlayer.stats);
    assert.equal(stats.exit.code, 3);
    assert.equal(stats.state, 'error');
    await page.locator('.kalmo-error').getByRole('button', { name: 'Start again' }).click();
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.stages.includes('load-library')),
      { what: 'the second attempt' });
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.exit?.code === 3), { what: 'the error shown again' });
    assert.equal((await panelText(page)).title, 'The core library does not load');
    await closePages(browser, play);
  });
});

test('a core lacking entry points says so', async () => {
  await withPlay({ core: build.notACore, content: build.demoContent, data: dir }, async (play) => {
    const page = await openPlayer(browser, await play.url);
    const text = await panelText(page);
    assert.equal(text.title, 'The core lacks one of the sixteen Libretro entry points');
    assert.match(text.detail, /\(exit code 4\)$/);
    await closePages(browser, play);
  });
});

test('a killed host is said in words, with the core\'s warnings and errors and none of the host\'s traces', async () => {
  const files = writeScenario(dir, 'logging', `av 64 40 0 60 48000
[init]
log_interface
[load_game]
pixel_format 1
[frame 2]
log 0 a debug line
log 1 an info line
log 2 the save folder is read-only
log 3 the sound card is missing
[every_frame]
poll
query 1 0 14
video 1 64 40
`);
  await withPlay({ core: build.probeCore, content: files.scenario, data: dir }, async (play) => {
    const page = await openPlayer(browser, await play.url);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 5), { what: 'the game to run' });
    const [host] = childProcesses(play.child.pid);
    process.kill(host, 'SIGKILL');
    const text = await panelText(page);
    assert.equal(text.title, 'The host was killed (SIGKILL)');
    assert.equal(text.log, 'warning: the save folder is read-only\nerror: the sound card is missing');
    const stats = await page.evaluate(() => window.kalmoPlayer.stats);
    assert.equal(stats.state, 'error');
    assert.equal(stats.exit.signal, 'SIGKILL');
    await closePages(browser, play);
  });
});

test('a game that stops is "ended", and Start again counts video, sound, input and bridge from zero', async () => {
  // The probe waits at run 30 for a command line from the page, then stops by itself at run 90.
  const files = writeScenario(dir, 'stopping', `av 64 40 0 60 48000
[init]
keyboard_callback
[load_game]
pixel_format 1
[every_frame]
poll
query_mouse
video 1 64 40
batch 800
[frame 30]
wait_stdin 30000
[frame 90]
shutdown
`);
  await withPlay({ core: build.probeCore, content: files.scenario, data: dir }, async (play) => {
    const page = await openPlayer(browser, await play.url);
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 5), { what: 'frames' });
    const box = await page.locator('.kalmo-canvas').boundingBox();
    await page.focus('.kalmo-viewport');
    // Input until the game ends: lines read before the probe starts waiting would not release it.
    let step = 0;
    await waitFor(async () => {
      step++;
      await page.mouse.move(box.x + 10 + (step % 2) * 10, box.y + 10 + (step % 2) * 5);
      await page.keyboard.press('KeyA');
      return page.evaluate(() => window.kalmoPlayer.stats.state === 'ended');
    }, { what: 'the game to end', interval: 300, timeout: 60000 });
    assert.equal((await panelText(page)).title, 'The game ended');
    const ended = await page.evaluate(() => window.kalmoPlayer.stats);
    assert.ok(ended.video.received > 30 && ended.audio.blocks > 30, 'the first session had frames and sound');
    assert.ok(ended.input.keyLines > 0 && ended.input.mouseLines > 0, 'and input');
    assert.ok(ended.bridge.sentVideo > 0, 'and the bridge\'s figures');
    // Read in the same task as the click, before the new session can have received anything.
    const restarted = await page.evaluate(() => {
      [...document.querySelectorAll('.kalmo-error button')].find((node) => node.textContent === 'Start again').click();
      return window.kalmoPlayer.stats;
    });
    assert.equal(restarted.state, 'connecting');
    assert.equal(restarted.exit, null);
    for (const name of ['received', 'shown', 'dropped']) assert.equal(restarted.video[name], 0, `video.${name}`);
    for (const name of ['blocks', 'framesReceived', 'blocksNotQueued', 'underruns']) {
      assert.equal(restarted.audio[name] ?? 0, 0, `audio.${name}`);
    }
    assert.deepEqual([restarted.input.mouseLines, restarted.input.keyLines, restarted.input.droppedMotion], [0, 0, 0]);
    assert.deepEqual(restarted.bridge, { sentVideo: 0, droppedVideo: 0, repeatedVideo: 0 });
    await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 5), { what: 'the second session' });
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
