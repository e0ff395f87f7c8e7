// The sound's feed in a real Worker of a real page: the page's AudioOutput
// hands the worker its shared ring, the worker's AudioFeed writes a steady
// tone into it on a core's schedule, the real worklet plays it, and the
// worklet's state reaches the worker through the ring's header alone. The
// page's main thread is then blocked (for a whole second, and for 100 ms
// every 500 ms): the sound, which no longer passes through it, keeps
// playing. Figures are checked over the worker's clean spans only, the
// excused stalls reported.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { build, launchBrowser, startPlay, openPlayer, waitFor } from './support/browser_harness.js';
import { splitTrace, settledPart, spanMs, describeStalls } from './support/audio_trace.js';

const STARTUP_MS = 90000;
let browser;
let play;

before(async () => {
  browser = await launchBrowser();
  play = startPlay({ core: build.demoCore, content: build.demoContent });
});

after(async () => {
  await browser?.close();
  await play?.stop();
});

// The worker: a 440 Hz tone in 800-frame blocks at 48 kHz, each sent when its time comes (checked every
// 4 ms, as a socket's messages would come), and the feed's stats recorded every 20 ms.
const WORKER = (feedUrl) => `
import { AudioFeed } from '${feedUrl}';
let feed;
const trace = [];
onmessage = ({ data }) => {
  if (data.type === 'trace') { postMessage({ type: 'trace', trace, origin: performance.timeOrigin }); return; }
  feed = new AudioFeed({ ring: data.ring, targetMs: 30 });
  const started = performance.now();
  let sent = 0;
  setInterval(() => {
    while (started + sent * 1000 / 60 <= performance.now()) {
      const samples = new Int16Array(1600);
      for (let i = 0; i < 800; i++) {
        samples[2 * i] = samples[2 * i + 1] = Math.round(8000 * Math.sin(2 * Math.PI * 440 * (sent * 800 + i) / 48000));
      }
      feed.push({ sampleRate: 48000, frames: 800, samples }, performance.now());
      sent++;
    }
  }, 4);
  setInterval(() => trace.push({ t: performance.now(), ...feed.stats }), 20);
};`;

async function openFeedPage() {
  const page = await openPlayer(browser, await play.url);
  // Only this test's sound: the page's own player ends its session and closes its context.
  await page.evaluate(() => window.kalmoPlayer.destroy());
  return page;
}

test('a feed in a worker plays through the worklet, and sound goes on while the page\'s thread is blocked', async (t) => {
  const page = await openFeedPage();
  const context = await page.evaluate(async (worker) => {
    const { AudioOutput } = await import('/player/audio/audio_output.js');
    const audio = new AudioOutput({ targetMs: 30 });
    await audio.ready;
    window.audio = audio;
    const feedUrl = new URL('/player/audio/audio_feed.js', location.href).href;
    const source = new Blob([worker.replace('FEED_URL', feedUrl)], { type: 'text/javascript' });
    window.feedWorker = new Worker(URL.createObjectURL(source), { type: 'module' });
    window.feedWorker.postMessage({ ring: audio.ring });
    return { ring: audio.ring && audio.ring.buffer instanceof SharedArrayBuffer, ...audio.contextStats };
  }, WORKER('FEED_URL'));
  assert.equal(context.ring, true, 'a cross-origin isolated page gets a shared ring');
  assert.deepEqual([context.state, context.shared, context.volume, context.muted], ['running', true, 1, false]);
  assert.ok(context.outputLatencyMs > 0 && context.contextRate > 0);

  const workerTrace = () => page.evaluate(() => new Promise((resolve) => {
    window.feedWorker.onmessage = ({ data }) => resolve(data);
    window.feedWorker.postMessage({ type: 'trace' });
  }));
  await waitFor(async () => (await workerTrace()).trace.at(-1)?.framesConsumed > 0,
    { timeout: STARTUP_MS, what: 'the worker to see the worklet play' });
  // Past the start-up, then the blocks: one second whole, then 100 ms of every 500 ms for 5 s.
  await page.waitForTimeout(2000);
  const blocks = await page.evaluate(async () => {
    const busy = (ms) => {
      const from = performance.now();
      while (performance.now() - from < ms) { /* the page's thread held */ }
      return [performance.timeOrigin + from, performance.timeOrigin + performance.now()];
    };
    const held = [busy(1000)];
    for (let i = 0; i < 10; i++) {
      await new Promise((resolve) => setTimeout(resolve, 400));
      held.push(busy(100));
    }
    await new Promise((resolve) => setTimeout(resolve, 500));
    return held;
  });
  const { trace, origin } = await workerTrace();
  // On one clock: ms from the start of the first block.
  const zero = blocks[0][0];
  const held = blocks.map(([from, to]) => [from - zero, to - zero]);
  const samples = trace.map((sample) => ({ ...sample, t: sample.t + origin - zero })).filter((sample) => sample.t >= -1000);
  const { spans, stalls } = splitTrace(samples);
  for (const line of describeStalls(stalls)) t.diagnostic(`excused: ${line}`);

  const [first, last] = [samples[0], samples.at(-1)];
  assert.equal((last.underruns - first.underruns) - (last.stalledUnderruns - first.stalledUnderruns), 0,
    'no underrun but after a block that reached the worker late');
  assert.ok(samples.some((sample) => sample.peak > 0.1), 'the tone is heard, read back from the shared header');
  if (last.underruns === 0) assert.equal(last.targetMs, 30, 'the worklet plays to the feed\'s target');

  // While the page's thread was held for a second, the worklet went on playing what the worker wrote.
  const [from, to] = held[0];
  const across = spans.find((span) => span[0].t <= from && span.at(-1).t >= to);
  if (across) {
    const before = across.filter((sample) => sample.t <= from).at(-1);
    const after = across.find((sample) => sample.t >= to);
    const perSecond = (after.framesConsumed - before.framesConsumed) / ((after.t - before.t) / 1000);
    assert.ok(Math.abs(perSecond / 48000 - 1) < 0.05, `played ${perSecond.toFixed(0)} frames a second through the block`);
    assert.ok(after.framesReceived - before.framesReceived >= 48000 * 0.9, 'the worker kept writing through the block');
  } else {
    t.diagnostic('excused: the worker itself stalled during the one-second block');
  }
  let levelChecked = 0;
  for (const part of spans.map((span) => settledPart(span)).filter((piece) => piece.length > 1 && spanMs(piece) >= 1000)) {
    levelChecked++;
    const worst = Math.max(...part.map((sample) => Math.abs(sample.smoothedFillMs - sample.targetMs)));
    assert.ok(worst < 15, `the buffer strays ${worst.toFixed(1)} ms from the target while the page's thread is blocked`);
  }
  t.diagnostic(`${spans.length} clean spans, the level checked over ${levelChecked}; ` +
    `buffered ${last.bufferedMs.toFixed(1)} ms, output latency ${context.outputLatencyMs.toFixed(1)} ms`);
});
