// The audio worklet's processor in plain Node, driven render quantum by
// render quantum as the browser's audio thread would, on no clock but its
// own: the jitter buffer's start and resume, silence and the count of a
// ring run dry, resampling without a click at block joins and across a rate
// change, the bounded drift correction that plays a backlog off without
// dropping a frame, and the cut of a backlog above the ceiling, which moves
// up with a raised target.

import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import { AudioRing, SHARED } from '../../player/audio/ring.js';
import { loadProcessor, CONTEXT_RATE, QUANTUM } from './support/worklet_scope.js';

const CAPACITY = 1 << 17;
let Processor;

before(async () => {
  Processor = await loadProcessor();
});

function start(targetMs = 50) {
  const buffer = new SharedArrayBuffer(AudioRing.byteLength(CAPACITY));
  const processor = new Processor({ processorOptions: { buffer, capacity: CAPACITY, targetMs } });
  return { processor, ring: new AudioRing(buffer, CAPACITY) };
}

// A stereo sine block continuing from frame `first`: the same tone at any rate.
function sine(first, frames, rate, hertz = 440) {
  const samples = new Int16Array(frames * 2);
  for (let i = 0; i < frames; i++) {
    const value = Math.round(12000 * Math.sin(2 * Math.PI * hertz * (first + i) / rate));
    samples[2 * i] = value;
    samples[2 * i + 1] = value;
  }
  return samples;
}

function render(processor, quanta) {
  const out = [];
  for (let q = 0; q < quanta; q++) {
    const left = new Float32Array(QUANTUM);
    const right = new Float32Array(QUANTUM);
    processor.process([], [[left, right]]);
    out.push(...left);
  }
  return out;
}

// Feeds `seconds` of 800-frame blocks in step with rendering, as a steady source does.
function play(ring, processor, seconds, rate = 48000, first = 0) {
  const block = rate / 60;
  const out = [];
  let sent = first;
  const quanta = Math.round(seconds * CONTEXT_RATE / QUANTUM);
  for (let q = 0; q < quanta; q++) {
    while ((sent - first) / rate < (q + 1) * QUANTUM / CONTEXT_RATE + 0.05) {
      ring.write(sine(sent, block, rate), rate);
      sent += block;
    }
    out.push(...render(processor, 1));
  }
  return { out, sent };
}

test('playback waits for the target, then a ring run dry is silence, counted once, until the target is back', () => {
  const { processor, ring } = start();
  ring.write(sine(0, 1600, 48000), 48000);
  assert.ok(render(processor, 10).every((value) => value === 0), 'nothing plays with 33 ms queued');
  ring.write(sine(1600, 1600, 48000), 48000);
  const played = render(processor, 40);
  assert.ok(played.slice(0, 128).some((value) => value !== 0), 'plays once 67 ms are queued');
  assert.ok(played.slice(-128).every((value) => value === 0), 'silence after the ring ran dry');
  assert.equal(ring.workletState().dryOuts, 1, 'counted once, in the shared header');
  assert.equal(ring.workletState().playing, false);
  assert.deepEqual(processor.port.messages, [], 'a worklet with a shared ring needs no port');
  ring.write(sine(3200, 800, 48000), 48000);
  assert.ok(render(processor, 5).every((value) => value === 0), 'waits for the target again');
});

test('44100 and 32768 Hz blocks are resampled into one smooth tone, across the change of rate', () => {
  const { processor, ring } = start();
  const first = play(ring, processor, 1, 44100);
  const second = play(ring, processor, 1, 32768, Math.round(first.sent * 32768 / 44100));
  const out = [...first.out, ...second.out].slice(4800);
  // A 440 Hz tone at 48000 Hz moves at most 2*pi*440/48000 of its amplitude per sample (a little more at
  // 2 % drift, or where the test joins the two tones); a click jumps by a good part of the amplitude.
  const limit = (12000 / 32768) * 2 * Math.PI * 440 / 48000 * 1.5;
  let steepest = 0;
  for (let i = 1; i < out.length; i++) steepest = Math.max(steepest, Math.abs(out[i] - out[i - 1]));
  assert.ok(steepest < limit, `largest step ${steepest.toFixed(4)} (a click would exceed ${limit.toFixed(4)})`);
  assert.equal(ring.workletState().dryOuts, 0);
  assert.equal(ring.workletState().sourceRate, 32768);
});

test('a fill above the target speeds playback by at most 2 %, and a fill below slows it', () => {
  // Starts at the target, then holds `extra` frames more (or fewer) while fed as fast as it plays.
  const steer = (extra) => {
    const { processor, ring } = start();
    ring.write(sine(0, 2400, 48000), 48000);
    render(processor, 1);
    let sent = 2400;
    if (extra > 0) ring.write(sine(sent, extra, 48000), 48000);
    sent += Math.max(extra, 0);
    for (let q = 0; q < 150; q++) {
      const frames = q === 0 && extra < 0 ? 128 + extra : 128;
      ring.write(sine(sent, frames, 48000), 48000);
      sent += frames;
      render(processor, 1);
    }
    assert.equal(ring.workletState().drift.toFixed(4), processor.drift.toFixed(4), 'the header carries the drift');
    return processor.drift;
  };
  assert.equal(steer(4800), 1.02, '150 ms queued: faster, by the 2 % limit');
  const slightlyHigh = steer(240);
  assert.ok(slightlyHigh > 1 && slightlyHigh < 1.01, `55 ms queued: a little faster (${slightlyHigh})`);
  const low = steer(-100);
  assert.ok(low < 1 && low > 0.99, `48 ms queued: a little slower (${low})`);
});

test('a 400 ms backlog is played off at 2 % at most, every frame of it, back down to the target', () => {
  const { processor, ring } = start(30);
  // The backlog, then a steady source that sends as fast as the context plays.
  let sent = 48000 * 0.4;
  ring.write(sine(0, sent, 48000), 48000);
  let steepestDrift = 1;
  const quanta = Math.round(30 * CONTEXT_RATE / QUANTUM);
  for (let q = 0; q < quanta; q++) {
    if (q % 6 === 0) {
      ring.write(sine(sent, 768, 48000), 48000);
      sent += 768;
    }
    render(processor, 1);
    steepestDrift = Math.max(steepestDrift, processor.drift);
  }
  const state = ring.workletState();
  assert.equal(state.cuts, 0);
  assert.equal(state.cutFrames, 0);
  assert.equal(state.dryOuts, 0);
  assert.equal(steepestDrift, 1.02, 'played off at the limit');
  assert.equal(state.framesConsumed + ring.buffered, sent, 'every frame written was played or is still queued');
  assert.ok(Math.abs(ring.buffered / 48 - 30) < 10, `back near the 30 ms target: ${(ring.buffered / 48).toFixed(1)} ms queued`);
});

test('a backlog above half a second is cut back to the target at once, and counted', () => {
  const { processor, ring } = start(30);
  ring.write(sine(0, 48000 * 0.6, 48000), 48000);
  render(processor, 1);
  const state = ring.workletState();
  assert.equal(state.cuts, 1);
  assert.ok(Math.abs(state.cutFrames - 48000 * 0.57) <= 1, `${state.cutFrames} frames cut`);
  assert.ok(state.playing);
  ring.write(sine(0, 48000 * 0.45, 48000), 48000);
  render(processor, 1);
  assert.equal(ring.workletState().cuts, 1, 'below the ceiling nothing more is cut');
});

test('a raised target moves the cut: a backlog within 350 ms above it is played off, one beyond is cut to it', () => {
  const { processor, ring } = start(30);
  ring.store(SHARED.targetMicros, 600000);
  const backlog = 48000 * 0.94;
  ring.write(sine(0, backlog, 48000), 48000);
  render(processor, 100);
  const state = ring.workletState();
  assert.deepEqual([state.cuts, state.dryOuts], [0, 0], '940 ms queued for a 600 ms target is not cut');
  assert.equal(state.framesConsumed + ring.buffered, backlog, 'every frame played or still queued');
  assert.equal(processor.drift, 1.02, 'and played off at the 2 % limit');
  ring.write(sine(backlog, 48000 * 0.5, 48000), 48000);
  render(processor, 1);
  assert.equal(ring.workletState().cuts, 1, 'past 950 ms it is cut');
  assert.ok(Math.abs(ring.buffered / 48 - 600) < 3, `back to the target: ${(ring.buffered / 48).toFixed(1)} ms queued`);
});

test('without a shared buffer the processor keeps its own ring, filled by the blocks the page posts', () => {
  const processor = new Processor({ processorOptions: { buffer: null, capacity: CAPACITY, targetMs: 50 } });
  for (let first = 0; first < 3200; first += 800) {
    processor.port.onmessage({ data: { type: 'block', samples: sine(first, 800, 44100), rate: 44100 } });
  }
  // 53 ms of 72 ms queued: past the first report, still playing.
  const played = render(processor, 20);
  assert.ok(played.some((value) => Math.abs(value) > 0.2), 'the posted tone plays');
  assert.equal(processor.sourceRate, 44100);
  const reports = processor.port.messages.filter((message) => message.type === 'stats');
  assert.ok(reports.length > 0, 'and it reports over its port');
  assert.deepEqual([reports.at(-1).dryOuts, reports.at(-1).sourceRate, reports.at(-1).playing], [0, 44100, true]);
});

test('a new target in the shared header moves the point where playback starts', () => {
  const { processor, ring } = start();
  ring.store(SHARED.targetMicros, 100000);
  ring.write(sine(0, 3200, 48000), 48000);
  assert.ok(render(processor, 3).every((value) => value === 0), '67 ms queued: still waiting');
  ring.write(sine(3200, 1600, 48000), 48000);
  assert.ok(render(processor, 3).some((value) => value !== 0), '100 ms queued: playing');
});
