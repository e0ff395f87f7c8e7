// The audio worklet's processor in plain Node, driven render quantum by
// render quantum as the browser's audio thread would, on no clock but its
// own: the jitter buffer's start and resume, silence and the count of a
// ring run dry, resampling without a click at block joins and across a rate
// change, the bounded drift correction, and the cut-back of a backlog.

import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import { AudioRing } from '../../player/audio/ring.js';

const CONTEXT_RATE = 48000;
const QUANTUM = 128;
const CAPACITY = 1 << 16;
let Processor;

before(async () => {
  // The worklet scope's globals, as the browser gives them.
  globalThis.sampleRate = CONTEXT_RATE;
  globalThis.AudioWorkletProcessor = class {
    constructor() {
      this.port = { messages: [], postMessage(message) { this.messages.push(message); } };
    }
  };
  globalThis.registerProcessor = (name, constructor) => { Processor = constructor; };
  await import('../../player/audio/kalmo_audio_processor.js');
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
  assert.equal(processor.counts.dryOuts, 1);
  assert.deepEqual(processor.port.messages.filter((m) => m.type === 'dry'), [{ type: 'dry' }]);
  ring.write(sine(3200, 800, 48000), 48000);
  assert.ok(render(processor, 5).every((value) => value === 0), 'waits for the target again');
});

test('44100 and 32768 Hz blocks are resampled into one smooth tone, across the change of rate', () => {
  const { processor, ring } = start();
  const first = play(ring, processor, 1, 44100);
  const second = play(ring, processor, 1, 32768, Math.round(first.sent * 32768 / 44100));
  const out = [...first.out, ...second.out].slice(4800);
  // A 440 Hz tone at 48000 Hz moves at most 2*pi*440/48000 of its amplitude per sample (a little more at
  // 1 % drift, or where the test joins the two tones); a click jumps by a good part of the amplitude.
  const limit = (12000 / 32768) * 2 * Math.PI * 440 / 48000 * 1.5;
  let steepest = 0;
  for (let i = 1; i < out.length; i++) steepest = Math.max(steepest, Math.abs(out[i] - out[i - 1]));
  assert.ok(steepest < limit, `largest step ${steepest.toFixed(4)} (a click would exceed ${limit.toFixed(4)})`);
  assert.equal(processor.counts.dryOuts, 0);
  const rateNow = processor.sourceRate;
  assert.equal(rateNow, 32768);
});

test('a fill above the target speeds playback by at most 1 %, a fill below slows it, and a backlog is cut back', () => {
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
    return processor.drift;
  };
  assert.equal(steer(2400), 1.01, '100 ms queued: faster, by the 1 % limit');
  const slightlyHigh = steer(240);
  assert.ok(slightlyHigh > 1 && slightlyHigh < 1.01, `55 ms queued: a little faster (${slightlyHigh})`);
  const low = steer(-100);
  assert.ok(low < 1 && low > 0.99, `48 ms queued: a little slower (${low})`);
  const { processor: late, ring: lateRing } = start();
  lateRing.write(sine(0, 48000 * 0.2, 48000), 48000);
  render(late, 1);
  assert.ok(late.counts.trimmedFrames > 48000 * 0.14, 'a 200 ms backlog is cut back to the target');
  assert.ok(Math.abs(late.fillSeconds() - 0.05) < 0.005);
});

test('without a shared buffer the processor keeps its own ring, filled by the blocks the page posts', () => {
  const processor = new Processor({ processorOptions: { buffer: null, capacity: CAPACITY, targetMs: 50 } });
  for (let first = 0; first < 3200; first += 800) {
    processor.port.onmessage({ data: { type: 'block', samples: sine(first, 800, 44100), rate: 44100 } });
  }
  const played = render(processor, 10);
  assert.ok(played.some((value) => Math.abs(value) > 0.2), 'the posted tone plays');
  assert.equal(processor.sourceRate, 44100);
  assert.equal(processor.counts.dryOuts, 0);
});

test('a new target from the page moves the point where playback starts', () => {
  const { processor, ring } = start();
  processor.port.onmessage({ data: { type: 'target', targetMs: 100 } });
  ring.write(sine(0, 3200, 48000), 48000);
  assert.ok(render(processor, 3).every((value) => value === 0), '67 ms queued: still waiting');
  ring.write(sine(3200, 1600, 48000), 48000);
  assert.ok(render(processor, 3).some((value) => value !== 0), '100 ms queued: playing');
});
