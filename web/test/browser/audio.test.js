// Sound in a real browser: the worklet plays the demo core's tune without
// an underrun, holds its jitter buffer through the sparse pattern engine
// cores send (sound, then nothing at all) and comes back to the target after
// each silence, follows a rate that changes mid-run, and waits for a click
// when the context starts suspended. A sampler in the page records the
// player's audio figures every 20 ms, so the checks read a time series.

import { test, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import {
  build, launchBrowser, startPlay, openPlayer, closePages, waitFor, temporaryDirectory, writeScenario,
} from './support/browser_harness.js';

const TARGET_MS = 50;
const RATES = [44100, 32768, 48000];
// The probe takes at most 256 sections, one a run here: 40 runs a second keeps each rate on for 2.1 s.
const RUNS_PER_SECOND = 40;
const RUNS_PER_RATE = 84;

// The probe sends rate/40 frames a run (spread so each second is exact), switching rate every RUNS_PER_RATE runs.
function rateScenarioBody() {
  const lines = [`av 8 8 0 ${RUNS_PER_SECOND} ${RATES[0]}`];
  let run = 0;
  for (const rate of RATES) {
    for (let i = 1; i <= RUNS_PER_RATE; i++) {
      run++;
      lines.push(`[frame ${run}]`);
      if (i === 1 && run > 1) lines.push(`av_info 8 8 0 ${RUNS_PER_SECOND} ${rate}`);
      const perRun = (n) => Math.floor(n * rate / RUNS_PER_SECOND);
      lines.push(`batch ${perRun(i) - perRun(i - 1)}`);
    }
  }
  return `${lines.join('\n')}\n`;
}

let browser;
const plays = {};

before(async () => {
  const dir = temporaryDirectory('audio');
  const rates = writeScenario(dir, 'rates', rateScenarioBody());
  browser = await launchBrowser();
  plays.demo = startPlay({ core: build.demoCore, content: build.demoContent, data: dir });
  plays.sparse = startPlay({ core: build.demoCore, content: build.sparseContent, data: dir });
  plays.rates = startPlay({ core: build.probeCore, content: rates.scenario, data: dir });
});

afterEach(async () => {
  for (const play of Object.values(plays)) await closePages(browser, play);
});

after(async () => {
  await browser?.close();
  await Promise.all(Object.values(plays).map((play) => play.stop()));
});

async function openWithSampler(play, query = '') {
  const page = await openPlayer(browser, await play.url, query);
  await page.evaluate(() => {
    window.audioTrace = [];
    setInterval(() => window.audioTrace.push({ t: performance.now(), ...window.kalmoPlayer.stats.audio }), 20);
  });
  return page;
}

const trace = (page) => page.evaluate(() => window.audioTrace);
const average = (values) => values.reduce((sum, value) => sum + value, 0) / values.length;

test('the demo tune plays for 10 s without an underrun, at the target latency', async () => {
  const page = await openWithSampler(plays.demo);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.audio.playing), { what: 'playback to start' });
  // Steady state: past the first two seconds of sound, which the player treats as the page's start-up.
  await page.waitForTimeout(2000);
  const started = await page.evaluate(() => window.kalmoPlayer.stats.audio);
  await page.waitForTimeout(10000);
  const samples = await trace(page);
  const last = samples.at(-1);
  assert.equal(last.dryOuts, started.dryOuts, 'the ring never ran dry');
  assert.equal(last.underruns, started.underruns);
  const consumedPerSecond = (last.framesConsumed - started.framesConsumed) / 10;
  assert.ok(Math.abs(consumedPerSecond / 48000 - 1) < 0.05, `consumed ${consumedPerSecond} frames a second`);
  assert.ok(samples.some((sample) => sample.peak > 0.05), 'the worklet plays sound, not silence');
  assert.equal(last.targetMs, TARGET_MS);
  const lateBuffer = average(samples.filter((sample) => sample.t > last.t - 3000).map((sample) => sample.bufferedMs));
  assert.ok(Math.abs(lateBuffer - TARGET_MS) < 20, `the buffer holds ${lateBuffer.toFixed(1)} ms`);
});

test('sparse sound never stutters while it plays and returns to the target after each silence', async () => {
  const page = await openWithSampler(plays.sparse);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.audio.playing), { what: 'playback to start' });
  // As in the steady run, counted from two seconds after the start.
  await page.waitForTimeout(2000);
  const settled = await page.evaluate(() => ({ t: performance.now(), ...window.kalmoPlayer.stats.audio }));
  await waitFor(async () => (await page.evaluate(() => window.kalmoPlayer.stats.audio.silences)) >= settled.silences + 2,
    { timeout: 12000, what: 'two silences of the sparse pattern' });
  await page.waitForTimeout(1200);
  const samples = (await trace(page)).filter((sample) => sample.t >= settled.t);
  const last = samples.at(-1);
  assert.equal(last.underruns, settled.underruns, 'no underrun during continuous sound');
  // A silence is told from an underrun when the sound comes back, so one dry-out at either end of the
  // window may be classified on the other side of it.
  assert.ok(Math.abs((last.dryOuts - settled.dryOuts) - (last.silences - settled.silences)) <= 1,
    'the ring ran dry only in the silences');
  // Each resumption: from 300 ms to 1 s after it, the buffer is back near the target (a player that
  // queued through the silence would be half a second behind). Blocks arriving in pairs just as
  // playback resumes can start it up to one block over the target, which drift correction then plays off.
  const resumptions = samples.filter((sample, i) => i > 0 && sample.playing && !samples[i - 1].playing);
  assert.ok(resumptions.length >= 2, 'playback resumed after the silences');
  for (const resumed of resumptions) {
    const window = samples.filter((sample) => sample.t > resumed.t + 300 && sample.t < resumed.t + 1000);
    if (window.length < 10) continue;
    const buffered = average(window.map((sample) => sample.bufferedMs));
    assert.ok(Math.abs(buffered - resumed.targetMs) < 25,
      `after a silence the buffer holds ${buffered.toFixed(1)} ms for a target of ${resumed.targetMs} ms`);
  }
});

test('blocks at 44100, 32768 and 48000 Hz in one run are each played at their own rate', async () => {
  const page = await openWithSampler(plays.rates);
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.audio.sourceRate === 48000),
    { timeout: 12000, what: 'the third rate to play' });
  await page.waitForTimeout(1500);
  const samples = await trace(page);
  for (const rate of RATES) {
    // The middle of the stretch at this rate, clear of the switches.
    const stretch = samples.filter((sample) => sample.sourceRate === rate && sample.playing);
    const inner = stretch.filter((sample) => sample.t > stretch[0].t + 300 && sample.t < stretch.at(-1).t - 300);
    assert.ok(inner.length > 20, `a long enough stretch at ${rate} Hz`);
    const perSecond = (inner.at(-1).framesConsumed - inner[0].framesConsumed) / ((inner.at(-1).t - inner[0].t) / 1000);
    assert.ok(Math.abs(perSecond / rate - 1) < 0.04, `${rate} Hz blocks consumed at ${perSecond.toFixed(0)} frames a second`);
  }
  assert.equal(samples.at(-1).underruns, 0);
});

test('a context that starts suspended waits for a click, and says so until then', async () => {
  const page = await openWithSampler(plays.demo, '&audio=gesture');
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.state === 'running'), { what: 'the game to run' });
  await page.waitForTimeout(500);
  const waiting = await page.evaluate(() => window.kalmoPlayer.stats.audio);
  assert.equal(waiting.state, 'waiting-for-gesture');
  assert.equal(waiting.framesConsumed, 0);
  assert.match(await page.locator('.kalmo-notice').textContent(), /Sound is off until you click/);
  await page.locator('.kalmo-canvas').click();
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.audio.framesConsumed > 48000 / 2),
    { what: 'sound after the click' });
  assert.equal(await page.locator('.kalmo-notice').textContent().then((text) => /Sound is off/.test(text)), false);
});
