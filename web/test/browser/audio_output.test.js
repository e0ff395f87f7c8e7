// The page side of the sound in plain Node (no AudioContext there, so only
// its bookkeeping runs): a ring run dry is an underrun when blocks were
// still coming and a silence when the stream had paused, and underruns grow
// the jitter buffer's target by steps that a calm half-minute takes back.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { AudioOutput } from '../../player/audio/audio_output.js';

const block = { type: 'audio', sampleRate: 48000, frames: 800, samples: new Int16Array(1600) };

// Blocks every 16.7 ms from `from` to `to` (ms), as a steady core sends them.
function steady(audio, from, to) {
  for (let t = from; t < to; t += 1000 / 60) audio.pushBlock(block, t);
}

test('a dry ring is an underrun while blocks come and a silence after a pause; underruns raise the target', async () => {
  const audio = new AudioOutput({ targetMs: 50 });
  await audio.ready;
  steady(audio, 0, 1000);
  audio.onWorkletMessage({ type: 'dry' });
  audio.pushBlock(block, 1080);
  assert.deepEqual([audio.stats.underruns, audio.stats.silences, audio.stats.targetMs], [1, 0, 75]);
  steady(audio, 1100, 2000);
  audio.onWorkletMessage({ type: 'dry' });
  audio.pushBlock(block, 2600);
  assert.deepEqual([audio.stats.underruns, audio.stats.silences, audio.stats.targetMs], [1, 1, 75]);
  for (let i = 0; i < 10; i++) {
    audio.onWorkletMessage({ type: 'dry' });
    audio.pushBlock(block, 3000 + i * 50);
  }
  assert.equal(audio.stats.targetMs, 150, 'the target stops at its ceiling');
  steady(audio, 4000, 4000 + 31000);
  assert.equal(audio.stats.targetMs, 125, 'a calm half-minute steps it back once');
  steady(audio, 35000, 35000 + 31000 * 3);
  assert.equal(audio.stats.targetMs, 50, 'and back to the usual target in the end');
});
