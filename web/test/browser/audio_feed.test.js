// The sound's feed in plain Node, on a shared ring whose worklet side the
// test plays by hand: a ring run dry is an underrun when blocks were still
// coming and a silence when the stream had paused; underruns (after the
// first seconds) grow the target in the shared header by steps that a calm
// half-minute takes back; a block late against its run's schedule is
// counted, and so is the underrun it caused, a pause whose sound then comes
// in a burst included; without a shared ring the same bookkeeping runs on
// what the worklet reports over its port. With the real worklet processor
// on the same ring and a scripted clock, blocks that keep coming late lift
// the target above the steps' ceiling and it comes down after them.

import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import { AudioFeed } from '../../player/audio/audio_feed.js';
import { AudioRing, SHARED } from '../../player/audio/ring.js';
import { loadProcessor, CONTEXT_RATE, QUANTUM } from './support/worklet_scope.js';

const CAPACITY = 1 << 16;
const BLOCK_MS = 1000 / 60;
const block = { type: 'audio', sampleRate: 48000, frames: 800, samples: new Int16Array(1600) };

function sharedFeed(targetMs) {
  const ring = { buffer: new SharedArrayBuffer(AudioRing.byteLength(CAPACITY)), capacity: CAPACITY };
  const worklet = new AudioRing(ring.buffer, ring.capacity);
  return { feed: new AudioFeed({ ring, targetMs }), worklet };
}

// Blocks on a steady core's schedule from `from` to `to` (ms), the worklet taking each as it comes.
function steady(feed, worklet, from, to) {
  for (let i = 0; from + i * BLOCK_MS < to - 1e-6; i++) {
    feed.push(block, from + i * BLOCK_MS);
    worklet.skip(worklet.buffered);
  }
}

let Processor;
before(async () => {
  Processor = await loadProcessor();
});

// The feed and the real worklet processor on one ring and one scripted clock: a source sends a block
// every run, on time except while held (each [from, ms]), when the blocks due wait and then come at
// once, as a held-up reader takes them from its socket; the worklet renders its quanta meanwhile.
function playedFeed(targetMs) {
  const ring = { buffer: new SharedArrayBuffer(AudioRing.byteLength(CAPACITY)), capacity: CAPACITY };
  const feed = new AudioFeed({ ring, targetMs });
  const processor = new Processor({ processorOptions: { ...ring, targetMs } });
  const worklet = new AudioRing(ring.buffer, ring.capacity);
  const output = [new Float32Array(QUANTUM), new Float32Array(QUANTUM)];
  let sent = 0;
  let quanta = 0;
  const arrival = (due, holds) => {
    const hold = holds.find(([from, ms]) => due >= from && due < from + ms);
    return hold ? hold[0] + hold[1] : due;
  };
  // Runs the clock to `untilMs`; returns the targets in force at each quantum.
  const run = (untilMs, holds = []) => {
    const targets = [];
    for (let now = quanta * QUANTUM / CONTEXT_RATE * 1000; now < untilMs; now = ++quanta * QUANTUM / CONTEXT_RATE * 1000) {
      while (arrival(sent * BLOCK_MS, holds) <= now) feed.push(block, arrival(sent++ * BLOCK_MS, holds));
      processor.process([], [output]);
      targets.push(feed.targetMs);
    }
    return targets;
  };
  return { feed, worklet, run, framesSent: () => sent * block.frames };
}

const dryOut = (worklet) => worklet.add(SHARED.dryOuts, 1);
const pick = (stats, ...keys) => keys.map((key) => stats[key]);

test('a dry ring is an underrun while blocks come and a silence after a pause; underruns raise the target', () => {
  const { feed, worklet } = sharedFeed(30);
  assert.equal(worklet.load(SHARED.targetMicros), 30000, 'the feed puts its target in the header');
  steady(feed, worklet, 0, 1000);
  dryOut(worklet);
  feed.push(block, 1000);
  assert.deepEqual(pick(feed.stats, 'underruns', 'targetMs'), [1, 30], 'starting up: counted, target kept');
  steady(feed, worklet, 1000 + BLOCK_MS, 3000);
  dryOut(worklet);
  feed.push(block, 3000);
  assert.deepEqual(pick(feed.stats, 'underruns', 'silences', 'targetMs'), [2, 0, 55]);
  assert.equal(worklet.load(SHARED.targetMicros), 55000, 'the worklet reads the new target from the header');
  steady(feed, worklet, 3000 + BLOCK_MS, 4000);
  dryOut(worklet);
  feed.push(block, 4600);
  assert.equal(feed.stats.silences, 0, 'a pause is judged by the blocks that follow it');
  steady(feed, worklet, 4600 + BLOCK_MS, 4900);
  assert.deepEqual(pick(feed.stats, 'underruns', 'silences', 'targetMs'), [2, 1, 55], 'sound at its pace: a silence');
  for (let i = 0; i < 10; i++) {
    dryOut(worklet);
    feed.push(block, 4900 + i * BLOCK_MS);
  }
  assert.equal(feed.stats.targetMs, 150, 'the target stops at its ceiling');
  assert.equal(feed.stats.targetCeilingMs, 150);
  steady(feed, worklet, 4900 + 10 * BLOCK_MS, 36300);
  assert.equal(feed.stats.targetMs, 125, 'a calm half-minute steps it back once');
  steady(feed, worklet, 36300, 36300 + 31000 * 5);
  assert.deepEqual(pick(feed.stats, 'targetMs', 'baseTargetMs'), [30, 30], 'and back to the usual target in the end');
  assert.equal(feed.stats.lateBlocks, 0, 'blocks on schedule are never late');
});

test('a block behind its run\'s schedule is late, and the underrun it ends is counted as stalled', () => {
  const { feed, worklet } = sharedFeed(30);
  steady(feed, worklet, 0, 3000);
  // The run's schedule holds the next block at 3000 ms; it comes 60 ms late, the ring having run dry.
  dryOut(worklet);
  feed.push(block, 3060);
  assert.deepEqual(pick(feed.stats, 'underruns', 'stalledUnderruns', 'lateBlocks'), [1, 1, 1]);
  assert.ok(Math.abs(feed.stats.maxLateMs - 60) < 1, `${feed.stats.maxLateMs} ms late`);
  // The three held up behind it come at once, the first two still more than 10 ms behind; then the
  // source is on schedule again, and a dry ring on schedule is the player's own.
  for (let i = 1; i <= 3; i++) feed.push(block, 3060 + i / 2);
  steady(feed, worklet, 3000 + 4 * BLOCK_MS, 5000);
  assert.equal(feed.stats.lateBlocks, 3);
  dryOut(worklet);
  feed.push(block, 5000 + BLOCK_MS / 2);
  assert.deepEqual(pick(feed.stats, 'underruns', 'stalledUnderruns', 'lateBlocks'), [2, 1, 3]);
  // After a silence the schedule starts again from the first block.
  feed.push(block, 6000);
  steady(feed, worklet, 6000 + BLOCK_MS, 7000);
  assert.equal(feed.stats.lateBlocks, 3);
  // A pause as long, whose held-up blocks then come at once, catching up with the schedule, is a stall.
  dryOut(worklet);
  for (let i = 0; i < 24; i++) feed.push(block, 7400);
  assert.deepEqual(pick(feed.stats, 'underruns', 'stalledUnderruns', 'silences'), [3, 2, 0]);
  assert.ok(Math.abs(feed.stats.maxLateMs - 400) < 1, `${feed.stats.maxLateMs} ms late`);
});

test('held-up blocks that keep coming late lift the target past 150 ms until they no longer empty the ring, and it comes down once they stop', () => {
  const { feed, worklet, run, framesSent } = playedFeed(30);
  run(3000);
  // Held 400 ms every 3 s: twice the ring runs dry, then the target follows the lateness.
  const holds = Array.from({ length: 10 }, (_, i) => [3000 * (i + 1), 400]);
  run(7000, holds);
  const lifted = feed.stats;
  assert.deepEqual(pick(lifted, 'underruns', 'stalledUnderruns', 'silences', 'targetCeilingMs'), [2, 2, 0, 1000]);
  assert.ok(Math.abs(lifted.followedLateMs - 400) < 5, `follows ${lifted.followedLateMs} ms of lateness`);
  assert.ok(lifted.targetMs > 400 && lifted.targetMs <= 460, `target ${lifted.targetMs} ms`);
  run(33000, holds);
  assert.deepEqual(pick(feed.stats, 'underruns', 'dryOuts', 'cuts'), [2, 2, 0], 'eight more holds as long: not one underrun');
  assert.ok(feed.stats.lateBlocks > 10 * 10, `though their blocks came late (${feed.stats.lateBlocks})`);

  const falling = run(150000);
  assert.ok(falling.every((target, i) => i === 0 || target <= falling[i - 1]), 'the target only comes down');
  assert.equal(falling.at(-1), 30, 'back to the page\'s own target');
  assert.deepEqual(pick(feed.stats, 'underruns', 'dryOuts', 'cuts', 'targetCeilingMs', 'followedLateMs'), [2, 2, 0, 150, 0],
    'the queue followed it down without a gap or a cut');
  assert.equal(feed.stats.framesConsumed + worklet.buffered, framesSent(), 'every frame played or still queued');
  assert.ok(Math.abs(feed.stats.bufferedMs - 30) < 20, `${feed.stats.bufferedMs.toFixed(1)} ms queued at the end`);
});

test('a source a little slower than its rate is not counted late for ever', () => {
  const { feed, worklet } = sharedFeed(30);
  // 0.5 % slow: after a minute it is 300 ms behind the rate it states.
  for (let t = 0; t < 60000; t += BLOCK_MS * 1.005) {
    feed.push(block, t);
    worklet.skip(worklet.buffered);
  }
  assert.equal(feed.stats.lateBlocks, 0, `at most ${feed.stats.maxLateMs.toFixed(1)} ms behind its schedule`);
});

test('blocks are not queued while the context cannot play, nor when the ring is full', () => {
  const { feed, worklet } = sharedFeed(30);
  feed.setContextRunning(false);
  feed.push(block, 0);
  assert.deepEqual([feed.stats.blocksNotQueued, worklet.buffered], [1, 0]);
  feed.setContextRunning(true);
  const fits = Math.floor(CAPACITY / 800);
  for (let i = 1; i <= fits + 1; i++) feed.push(block, i);
  assert.equal(feed.stats.blocksNotQueued, 2, 'and the block that no longer fits');
  assert.equal(worklet.buffered, fits * 800);
  assert.deepEqual(pick(feed.stats, 'blocks', 'framesReceived'), [fits + 2, (fits + 2) * 800]);
});

test('the stats carry the worklet\'s state from the shared header and are a plain object', () => {
  const { feed, worklet } = sharedFeed(30);
  feed.push(block, 0);
  worklet.store(SHARED.playing, 1);
  worklet.store(SHARED.smoothedFillMicros, 31500);
  worklet.store(SHARED.driftPpm, -2500);
  worklet.store(SHARED.cuts, 2);
  worklet.store(SHARED.cutFrames, 9000);
  worklet.store(SHARED.sourceRate, 48000);
  const stats = feed.stats;
  assert.deepEqual(pick(stats, 'playing', 'smoothedFillMs', 'drift', 'cuts', 'cutFrames', 'shared'),
    [true, 31.5, 0.9975, 2, 9000, true]);
  assert.ok(Math.abs(stats.bufferedMs - 800 / 48) < 1e-9);
  assert.deepEqual(structuredClone(stats), stats);
});

test('without a shared ring the blocks and target are posted, and the worklet\'s reports are read', () => {
  const posted = [];
  const targets = [];
  const feed = new AudioFeed({
    targetMs: 30, post: (samples, rate) => posted.push([samples.length, rate]), postTarget: (ms) => targets.push(ms),
  });
  for (let i = 0; i < 200; i++) feed.push(block, i * BLOCK_MS);
  assert.equal(posted.length, 200);
  assert.deepEqual(posted[0], [1600, 48000]);
  feed.workletReport({ type: 'dry' });
  feed.push(block, 200 * BLOCK_MS);
  assert.equal(feed.stats.underruns, 1);
  assert.deepEqual(targets, [30, 55]);
  feed.workletReport({ type: 'stats', dryOuts: 1, playing: true, bufferedMs: 28, sourceRate: 48000, cuts: 0 });
  assert.deepEqual(pick(feed.stats, 'playing', 'bufferedMs', 'dryOuts', 'shared'), [true, 28, 1, false]);
});

test('a target that is not a number of ms between 0 and 150 is refused with a RangeError', () => {
  for (const targetMs of [0, -5, 151, 'soon', NaN]) {
    assert.throws(() => new AudioFeed({ targetMs }), RangeError, String(targetMs));
  }
  assert.equal(new AudioFeed({ targetMs: '45' }).stats.targetMs, 45);
});
