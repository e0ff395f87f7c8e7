// kalmo-play run by Windows node (Wine) with the Windows host, played by
// Linux headless Chromium: the probe's frames on the canvas, a key reaching
// the core, the page closed ending the host, and the bridge killed leaving
// no host.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import {
  launchBrowser, openPlayer, probeFrame, probePixelWord, readPixels, recordEntries, temporaryDirectory, waitFor,
} from '../browser/support/browser_harness.js';
import { HOST_EXE, PROBE_DLL, hostProcesses, missingReason, repo, runWindowsNode, startWine, windowsPath } from './support/wine.js';

const WIDTH = 32;
const HEIGHT = 24;
const skip = missingReason();
if (skip) console.log(`Windows kalmo-play tests skipped: ${skip}`);
const windowsTest = (name, fn) => test(name, { skip: skip ?? false, timeout: 90000 }, fn);

let browser;
let play;
let record;
let scenario;
let data;

// One kalmo-play serves both tests, one page after the other; the second kills it.
before(async () => {
  if (skip) return;
  startWine();
  const dir = temporaryDirectory('windows-play');
  record = join(dir, 'probe.rec');
  scenario = join(dir, 'stream.scn');
  data = join(dir, 'data');
  writeFileSync(scenario, `record ${windowsPath(record)}\nav ${WIDTH} ${HEIGHT} 0 60 48000\n[init]\nkeyboard_callback\n`
    + `[load_game]\npixel_format 1\n[every_frame]\npoll\nvideo 1 ${WIDTH} ${HEIGHT}\n`);
  [browser, play] = await Promise.all([launchBrowser(), startWindowsPlay()]);
});
after(async () => {
  await browser?.close();
  await play?.kill();
});

// The player page, once it has drawn a frame.
async function openPlaying(url) {
  const page = await openPlayer(browser, url);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.video.shown > 0), { timeout: 30000, what: 'the first frame' });
  return page;
}

// kalmo-play under Windows node; resolves with it once it printed its URL.
async function startWindowsPlay() {
  const bridge = runWindowsNode(join(repo, 'web/bin/kalmo-play.js'), ['--core', windowsPath(PROBE_DLL),
    '--content', windowsPath(scenario), '--host', windowsPath(HOST_EXE), '--port', '0', '--data', windowsPath(data)]);
  bridge.url = await waitFor(() => {
    if (bridge.child.exitCode !== null) throw new Error(`kalmo-play ended:\n${bridge.output()}`);
    return bridge.output().match(/http:\/\/127\.0\.0\.1:\d+\/\?token=\S+/)?.[0];
  }, { timeout: 60000, what: 'kalmo-play to print its URL' });
  return bridge;
}

// The probe frame the canvas shows, found by its first pixel; null while none is.
async function frameOnCanvas(page) {
  const { width, height, data: pixels } = await readPixels(page);
  if (width !== WIDTH || height !== HEIGHT) return null;
  const word = (pixels[0] << 16) | (pixels[1] << 8) | pixels[2];
  const runs = recordEntries(record, 'poll').length + 60;
  for (let run = 1; run <= runs; run++) {
    if ((probePixelWord(0, 0, run) & 0xffffff) !== word) continue;
    return Buffer.from(probeFrame(1, WIDTH, HEIGHT, run)).equals(Buffer.from(pixels)) ? run : null;
  }
  return null;
}

windowsTest('the page plays through Windows kalmo-play: frames on the canvas, a key reaching the core, and closing it ends the host', async () => {
  const page = await openPlaying(play.url);
  const first = await waitFor(() => frameOnCanvas(page), { what: 'a probe frame on the canvas' });
  await waitFor(async () => (await frameOnCanvas(page)) > first, { what: 'a later frame on the canvas' });
  assert.equal(hostProcesses().length, 1);
  await page.focus('.kalmo-viewport');
  await page.keyboard.press('KeyA');
  const keys = () => recordEntries(record, 'keyboard').map((key) => [key.down, key.keycode, key.character]);
  await waitFor(() => keys().length >= 2, { what: 'the key to reach the core' });
  assert.deepEqual(keys(), [[1, 97, 97], [0, 97, 0]]);
  await page.context().close();
  await waitFor(() => hostProcesses().length === 0, { timeout: 15000, what: 'the host to end after its page closed' });
});

windowsTest('killing Windows kalmo-play with SIGKILL leaves no host running', async (t) => {
  const page = await openPlaying(play.url);
  await waitFor(() => frameOnCanvas(page), { what: 'a probe frame on the canvas' });
  assert.equal(hostProcesses().length, 1);
  const killed = Date.now();
  await play.kill('SIGKILL');
  await waitFor(() => hostProcesses().length === 0, { timeout: 15000, what: 'the host to end with its bridge' });
  t.diagnostic(`the host ended ${Date.now() - killed} ms after kalmo-play's node.exe was killed`);
  await page.context().close();
});
