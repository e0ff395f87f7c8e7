// The page side of the sound in plain Node (no AudioContext there, so only
// its bookkeeping runs): a ring run dry is an underrun when blocks were
// still coming and a silence when the stream had paused, and underruns
// (after the first seconds) grow the jitter buffer's target by steps that a
// calm half-minute takes back.

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
  // The bookkeeping runs whether or not a context can play.
  audio.state = 'running';
  audio.node = { port: { postMessage() {} } };
  steady(audio, 0, 1000);
  audio.onWorkletMessage({ type: 'dry' });
  audio.pushBlock(block, 1080);
  assert.deepEqual([audio.stats.underruns, audio.stats.targetMs], [1, 50], 'starting up: counted, target kept');
  steady(audio, 1100, 3000);
  audio.onWorkletMessage({ type: 'dry' });
  audio.pushBlock(block, 3080);
  assert.deepEqual([audio.stats.underruns, audio.stats.silences, audio.stats.targetMs], [2, 0, 75]);
  steady(audio, 3100, 4000);
  audio.onWorkletMessage({ type: 'dry' });
  audio.pushBlock(block, 4600);
  assert.deepEqual([audio.stats.underruns, audio.stats.silences, audio.stats.targetMs], [2, 1, 75]);
  for (let i = 0; i < 10; i++) {
    audio.onWorkletMessage({ type: 'dry' });
    audio.pushBlock(block, 5000 + i * 50);
  }
  assert.equal(audio.stats.targetMs, 150, 'the target stops at its ceiling');
  steady(audio, 6000, 6000 + 31000);
  assert.equal(audio.stats.targetMs, 125, 'a calm half-minute steps it back once');
  steady(audio, 37000, 37000 + 31000 * 3);
  assert.equal(audio.stats.targetMs, 50, 'and back to the usual target in the end');
});
