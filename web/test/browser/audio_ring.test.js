// The ring between the page and the audio worklet, in plain Node: frames
// come out in order across the wrap of the buffer and of the 32-bit
// counters, a block that does not fit is refused whole, and every frame
// carries the rate of the block it came in.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { AudioRing } from '../../player/audio/ring.js';

const CAPACITY = 8;

function ring() {
  return new AudioRing(new SharedArrayBuffer(AudioRing.byteLength(CAPACITY)), CAPACITY);
}

// A block of `frames` stereo frames numbered from `first` (left n, right -n).
function block(first, frames) {
  const samples = new Int16Array(frames * 2);
  for (let i = 0; i < frames; i++) {
    samples[2 * i] = first + i;
    samples[2 * i + 1] = -(first + i);
  }
  return samples;
}

function drain(audio) {
  const frames = [];
  const frame = [0, 0];
  while (audio.readFrame(frame)) frames.push([frame[0], frame[1], audio.rate]);
  return frames;
}

test('frames come out in order across the end of the buffer and the wrap of the counters', () => {
  const audio = ring();
  // Both counters just below 2^31, so they pass it (and turn negative) mid-test.
  audio.header[0] = 0x7ffffffd;
  audio.header[1] = 0x7ffffffd;
  let next = 1;
  const read = [];
  for (let round = 0; round < 5; round++) {
    assert.equal(audio.write(block(next, 5), 48000), true);
    next += 5;
    read.push(...drain(audio).map(([left]) => left));
  }
  assert.deepEqual(read, Array.from({ length: 25 }, (_, i) => i + 1));
  assert.equal(audio.buffered, 0);
});

test('a block that does not fit is refused whole and nothing is overwritten', () => {
  const audio = ring();
  assert.equal(audio.write(block(1, 6), 48000), true);
  assert.equal(audio.write(block(7, 3), 48000), false);
  assert.equal(audio.buffered, 6);
  assert.equal(audio.write(block(7, 2), 48000), true);
  assert.deepEqual(drain(audio).map(([left, right]) => [left, right]),
    Array.from({ length: 8 }, (_, i) => [i + 1, -(i + 1)]));
});

test('each frame carries the rate of its block, a change landing at its exact frame', () => {
  const audio = ring();
  audio.write(block(1, 3), 44100);
  audio.write(block(4, 2), 44100);
  audio.write(block(6, 2), 32768);
  assert.equal(audio.nextRate(), 44100);
  const frames = drain(audio);
  assert.deepEqual(frames.map(([left, , rate]) => [left, rate]),
    [[1, 44100], [2, 44100], [3, 44100], [4, 44100], [5, 44100], [6, 32768], [7, 32768]]);
  audio.write(block(8, 4), 48000);
  audio.skip(3);
  assert.deepEqual(drain(audio).map(([left, , rate]) => [left, rate]), [[11, 48000]]);
});
