// The page's side of the sound in plain Node, where there is no
// AudioContext: it says the sound is unavailable and why, makes no ring
// without cross-origin isolation, and still runs its own feed for a player
// that parses the stream on the page, its stats holding both sides.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { AudioOutput } from '../../player/audio/audio_output.js';

const block = { type: 'audio', sampleRate: 48000, frames: 800, samples: new Int16Array(1600) };

test('without an AudioContext the output is unavailable, and blocks pushed to it are counted, not queued', async () => {
  const states = [];
  const audio = new AudioOutput({ onStateChange: (state) => states.push(state) });
  await audio.ready;
  assert.deepEqual(states, ['unavailable']);
  assert.match(audio.error, /no AudioWorklet/);
  assert.equal(audio.ring, null, 'no ring outside a cross-origin isolated page');
  audio.pushBlock(block, 0);
  audio.pushBlock(block, 17);
  const stats = audio.stats;
  assert.deepEqual([stats.state, stats.shared, stats.blocks, stats.blocksNotQueued, stats.framesReceived],
    ['unavailable', false, 2, 2, 1600]);
  assert.deepEqual([stats.targetMs, stats.baseTargetMs, stats.underruns, stats.cuts], [30, 30, 0, 0], 'the usual target is 30 ms');
  assert.equal(stats.latencyMs, stats.bufferedMs + stats.outputLatencyMs);
  assert.deepEqual(Object.keys(audio.contextStats).sort(), ['contextRate', 'muted', 'outputLatencyMs', 'shared', 'state', 'volume']);
});

test('volume is kept between 0 and 1, and a bad target is refused at once', () => {
  const audio = new AudioOutput({ targetMs: 60 });
  audio.setVolume(3);
  assert.equal(audio.contextStats.volume, 1);
  audio.setVolume('loud');
  assert.equal(audio.contextStats.volume, 0);
  audio.setMuted(1);
  assert.equal(audio.contextStats.muted, true);
  assert.equal(audio.stats.targetMs, 60);
  assert.throws(() => new AudioOutput({ targetMs: 1000 }), RangeError);
});
