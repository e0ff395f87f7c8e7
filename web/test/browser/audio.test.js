// Sound in a real browser: the worklet plays the demo core's tune without
// an underrun of its own at the target latency, holds its jitter buffer
// through the sparse pattern engine cores send (sound, then nothing at all)
// and comes back to the target after each silence, follows a rate that
// changes mid-run, and waits for a click when the context starts suspended.
// A sampler in the page records the player's audio figures every 20 ms; the
// real-time figures are checked only over the spans of that trace in which
// nothing measurably stalled, and the excused stalls are reported.

import { test, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import {
  build, launchBrowser, startPlay, openPlayer, closePages, waitFor, temporaryDirectory, writeScenario,
} from './support/browser_harness.js';
import { startSampler, readTrace, splitTrace, settledPart, spanMs, describeStalls } from './support/audio_trace.js';

const RATES = [44100, 32768, 48000];
// Liveness, not a figure: on a machine at load 20 a page can take a minute to start its sound.
const STARTUP_MS = 90000;
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
let sources;
const plays = {};

before(async () => {
  const dir = temporaryDirectory('audio');
  const rates = writeScenario(dir, 'rates', rateScenarioBody());
  sources = {
    demo: { core: build.demoCore, content: build.demoContent, data: dir },
    sparse: { core: build.demoCore, content: build.sparseContent, data: dir },
    rates: { core: build.probeCore, content: rates.scenario, data: dir },
  };
  browser = await launchBrowser();
});

// Each server is started when a test first needs it, not all at once: on a busy machine three
// starting together could miss the harness's wait for their address.
function playOf(name) {
  plays[name] ??= startPlay(sources[name]);
  return plays[name];
}

afterEach(async () => {
  for (const play of Object.values(plays)) await closePages(browser, play);
});

after(async () => {
  await browser?.close();
  await Promise.all(Object.values(plays).map((play) => play.stop()));
});

async function openWithSampler(play, query = '') {
  const page = await openPlayer(browser, await play.url, query);
  await startSampler(page);
  return page;
}

const pageNow = (page) => page.evaluate(() => performance.now());
const average = (values) => values.reduce((sum, value) => sum + value, 0) / values.length;
const difference = (from, to, key) => to[key] - from[key];

// Waits until `ms` of the page's own time has passed since `from` (the test's process may be the one held up).
async function pageTimePasses(page, from, ms) {
  await waitFor(async () => (await pageNow(page)) >= from + ms, { timeout: ms + STARTUP_MS, what: `${ms} ms of page time` });
}

// Waits for the worklet's first frames (a count, so a poll cannot miss it between two dry-outs); a
// timeout says what the player had reached.
async function soundStarts(page) {
  const started = () => page.evaluate(() => window.kalmoPlayer.stats.audio.framesConsumed > 0);
  await waitFor(started, { timeout: STARTUP_MS, what: 'playback to start' }).catch(async (error) => {
    const stats = await page.evaluate(() => window.kalmoPlayer.stats);
    throw new Error(`${error.message}: player ${stats.state}, audio ${JSON.stringify(stats.audio)}`);
  });
}

// The trace from `from` on, its clean spans, and the stalls reported as the test's diagnostics.
async function traceSince(page, t, from) {
  const samples = (await readTrace(page)).filter((sample) => sample.t >= from);
  const { spans, stalls } = splitTrace(samples);
  for (const line of describeStalls(stalls)) t.diagnostic(`excused: ${line}`);
  return { samples, spans, stalls };
}

// Underruns that no late block explains: the player's own.
const ownUnderruns = (from, to) => difference(from, to, 'underruns') - difference(from, to, 'stalledUnderruns');

// Frames consumed a second over a span.
const consumedPerSecond = (span) => (span.at(-1).framesConsumed - span[0].framesConsumed) /
  ((span.at(-1).takenAt - span[0].takenAt || spanMs(span)) / 1000);

test('the demo tune plays for 10 s with no underrun of the player\'s own, at the target latency', async (t) => {
  const page = await openWithSampler(playOf('demo'));
  await soundStarts(page);
  // Steady state: past the first two seconds of sound, which the player treats as the page's start-up.
  const startedAt = await pageNow(page);
  await pageTimePasses(page, startedAt, 12000);
  const all = await traceSince(page, t, startedAt + 2000);
  const [first, last] = [all.samples[0], all.samples.at(-1)];
  assert.equal(ownUnderruns(first, last), 0, 'every underrun came after a block that arrived late');
  assert.ok(all.samples.some((sample) => sample.peak > 0.05), 'the worklet plays sound, not silence');
  const clean = all.spans.filter((span) => spanMs(span) >= 2000);
  for (const span of clean) {
    const perSecond = consumedPerSecond(span);
    assert.ok(Math.abs(perSecond / 48000 - 1) < 0.05, `consumed ${perSecond.toFixed(0)} frames a second`);
  }
  const settled = all.spans.map((span) => settledPart(span)).filter((part) => part.length > 1 && spanMs(part) >= 1000);
  for (const part of settled) {
    const offTarget = part.map((sample) => sample.smoothedFillMs - sample.targetMs);
    const worst = Math.max(...offTarget.map(Math.abs));
    assert.ok(worst < 20, `the buffer strays up to ${worst.toFixed(1)} ms from the target`);
    const buffered = average(part.map((sample) => sample.bufferedMs - sample.targetMs));
    assert.ok(Math.abs(buffered) < 20, `the buffer holds ${buffered.toFixed(1)} ms off the target`);
  }
  t.diagnostic(`checked the rate over ${clean.length} clean spans of 2 s or more and the level over ` +
    `${settled.length} settled spans; target ${last.targetMs} ms (usual ${last.baseTargetMs} ms), ` +
    `output latency ${last.outputLatencyMs.toFixed(1)} ms`);
});

test('sparse sound never stutters while it plays and returns to the target after each silence', async (t) => {
  const page = await openWithSampler(playOf('sparse'));
  await soundStarts(page);
  // As in the steady run, counted from two seconds after the start.
  const startedAt = await pageNow(page);
  await pageTimePasses(page, startedAt, 2000);
  const settled = await page.evaluate(() => ({ t: performance.now(), ...window.kalmoPlayer.stats.audio }));
  await waitFor(async () => (await page.evaluate(() => window.kalmoPlayer.stats.audio.silences)) >= settled.silences + 2,
    { timeout: STARTUP_MS, what: 'two silences of the sparse pattern' });
  await pageTimePasses(page, await pageNow(page), 1200);
  const { samples, spans } = await traceSince(page, t, settled.t);
  const last = samples.at(-1);
  assert.equal(ownUnderruns(settled, last), 0, 'no underrun of the player\'s own during continuous sound');
  // A silence is told from an underrun when the sound comes back, so one dry-out at either end of the
  // window may be classified on the other side of it.
  const classified = difference(settled, last, 'silences') + difference(settled, last, 'underruns');
  assert.ok(Math.abs(difference(settled, last, 'dryOuts') - classified) <= 1, 'every dry-out is a silence or a counted underrun');
  // Each resumption that starts a clean span: from 300 ms to 1 s after it, the buffer is back near the
  // target (a player that queued through the silence would be half a second behind). Blocks arriving in
  // pairs just as playback resumes can start it up to one block over the target, which drift correction
  // then plays off.
  // The feed counted two silences; a rest that fell in a stall (a target raised by late blocks rides it out,
  // or the trace has a hole) may not show as a pause here, but playback must have resumed after one.
  const resumptions = samples.filter((sample, i) => i > 0 && sample.playing && !samples[i - 1].playing);
  assert.ok(resumptions.length >= 1, 'playback resumed after the silences');
  let checked = 0;
  for (const resumed of resumptions) {
    const span = spans.find((candidate) => candidate.includes(resumed));
    const window = span?.filter((sample) => sample.t > resumed.t + 300 && sample.t < resumed.t + 1000) ?? [];
    if (window.length < 10 || window.at(-1).t < resumed.t + 900) continue;
    checked++;
    const buffered = average(window.map((sample) => sample.bufferedMs));
    assert.ok(Math.abs(buffered - resumed.targetMs) < 25,
      `after a silence the buffer holds ${buffered.toFixed(1)} ms for a target of ${resumed.targetMs} ms`);
  }
  t.diagnostic(`checked ${checked} of ${resumptions.length} resumptions (the others had no clean second after them)`);
});

test('blocks at 44100, 32768 and 48000 Hz in one run are each played at their own rate', async (t) => {
  const page = await openWithSampler(playOf('rates'));
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.audio.sourceRate === 48000),
    { timeout: STARTUP_MS, what: 'the third rate to play' });
  await pageTimePasses(page, await pageNow(page), 1500);
  const { samples, spans } = await traceSince(page, t, 0);
  for (const rate of RATES) {
    // The clean stretches at this rate, clear of the switches.
    const stretches = spans.map((span) => span.filter((sample) => sample.sourceRate === rate && sample.playing))
      .filter((stretch) => stretch.length > 1)
      .map((stretch) => stretch.filter((sample) => sample.t > stretch[0].t + 300 && sample.t < stretch.at(-1).t - 300))
      .filter((stretch) => stretch.length > 20);
    if (stretches.length === 0) {
      t.diagnostic(`excused: no clean stretch of a second at ${rate} Hz`);
      continue;
    }
    for (const stretch of stretches) {
      const perSecond = consumedPerSecond(stretch);
      assert.ok(Math.abs(perSecond / rate - 1) < 0.04, `${rate} Hz blocks consumed at ${perSecond.toFixed(0)} frames a second`);
    }
  }
  assert.ok(samples.some((sample) => sample.sourceRate === 44100) && samples.some((sample) => sample.sourceRate === 32768),
    'the first two rates played');
  assert.equal(ownUnderruns(samples[0], samples.at(-1)), 0);
});

test('a context that starts suspended waits for a click, and says so until then', async () => {
  const page = await openWithSampler(playOf('demo'), '&audio=gesture');
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.state === 'running'),
    { timeout: STARTUP_MS, what: 'the game to run' });
  await page.waitForTimeout(500);
  const waiting = await page.evaluate(() => window.kalmoPlayer.stats.audio);
  assert.equal(waiting.state, 'waiting-for-gesture');
  assert.equal(waiting.framesConsumed, 0);
  // Read in the page, not through a locator, whose own timeout a starved page can outlast.
  const notice = () => page.evaluate(() => document.querySelector('.kalmo-notice').textContent);
  assert.match(await notice(), /Sound is off until you click/);
  // A real click at the canvas, without waiting for it to look stable: a page starved of animation frames
  // on a busy machine never does.
  await page.locator('.kalmo-canvas').click({ timeout: STARTUP_MS, force: true });
  await waitFor(() => page.evaluate(() => window.kalmoPlayer.stats.audio.framesConsumed > 48000 / 2),
    { timeout: STARTUP_MS, what: 'sound after the click' });
  assert.doesNotMatch(await notice(), /Sound is off/);
});
