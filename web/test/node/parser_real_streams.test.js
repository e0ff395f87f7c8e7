// The parser on streams the real host wrote (the demo core and the probe
// core's scenarios), fed in every two-piece cut for small streams and in
// random chunk sizes for large ones, compared packet by packet with what
// the project's C++ stream decoder (kalmo-stream-dump) reads from the same
// bytes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { closeSync, openSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { PacketParser } from '../../lib/packet_parser.js';
import { DEMO_CORE, HOST, PROBE_CORE, SCENARIOS, repo, runDirectories } from './support/build.js';

const DUMP = join(repo, 'build/linux/tools/kalmo-stream-dump');
const SMALL_STREAM = 48 * 1024;

// The host's standard output straight into a file, not through a session,
// so both readers get exactly what the host wrote.
async function recordStream(run, name, core, content, quitAfterMs) {
  const file = join(run.root, `${name}.klmp`);
  const out = openSync(file, 'w');
  const host = spawn(HOST, [core, content, ...Object.values(run.dirs)], { stdio: ['pipe', out, 'ignore'] });
  closeSync(out);
  if (quitAfterMs) setTimeout(() => host.stdin.write('QUIT\n'), quitAfterMs);
  await new Promise((resolve) => host.on('exit', resolve));
  return file;
}

function fnv1a(hash, byte) {
  return Math.imul(hash ^ byte, 16777619) >>> 0;
}

function describe(packet) {
  let hash = 2166136261;
  if (packet.type === 'status') return `status ${packet.text}`;
  if (packet.type === 'video') {
    for (const byte of packet.rgba) hash = fnv1a(hash, byte);
    return `video ${packet.width} ${packet.height} ${hash.toString(16).padStart(8, '0')}`;
  }
  for (const sample of packet.samples) hash = fnv1a(fnv1a(hash, sample & 0xff), (sample >> 8) & 0xff);
  return `audio ${packet.sampleRate} ${packet.frames} ${hash.toString(16).padStart(8, '0')}`;
}

function parseInChunks(bytes, cuts) {
  const parser = new PacketParser();
  const lines = [];
  let from = 0;
  for (const cut of [...cuts, bytes.length]) {
    for (const packet of parser.push(bytes.subarray(from, cut))) lines.push(describe(packet));
    from = cut;
  }
  parser.end();
  return lines;
}

// A fixed-seed generator, so a failing chunking can be replayed.
function randomCuts(length, seed) {
  let state = seed;
  const next = () => {
    state = (Math.imul(state, 1103515245) + 12345) >>> 0;
    return state;
  };
  const cuts = [];
  for (let at = 1 + (next() % 131072); at < length; at += 1 + (next() % 131072)) cuts.push(at);
  return cuts;
}

const sources = [
  ['demo', DEMO_CORE, join(repo, 'demo/demo_content.txt'), 700],
  ['demo_sparse_audio', DEMO_CORE, join(repo, 'demo/demo_content_sparse_audio.txt'), 400],
  ...['video_formats', 'audio_mixed', 'audio_batches', 'audio_single_frames', 'core_shutdown', 'name_quote',
    'name_long', 'bringup_plain', 'stdout_noise', 'refuse_content']
    .map((name) => [name, PROBE_CORE, join(SCENARIOS, `${name}.scn`), 0]),
];

test('streams of the real host read the same as through the C++ decoder, however they are cut', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  for (const [name, core, content, quitAfterMs] of sources) {
    const file = await recordStream(run, name, core, content, quitAfterMs);
    const expected = execFileSync(DUMP, [file], { encoding: 'utf8', maxBuffer: 1 << 26 }).trimEnd().split('\n');
    assert.ok(!expected.some((line) => line.startsWith('error')), `${name}: the decoder reads it whole`);
    const bytes = new Uint8Array(readFileSync(file));
    assert.deepEqual(parseInChunks(bytes, []), expected, `${name} in one chunk`);
    if (bytes.length <= SMALL_STREAM) {
      for (let cut = 1; cut < bytes.length; cut++) {
        const lines = parseInChunks(bytes, [cut]);
        if (lines.length !== expected.length || lines.some((line, i) => line !== expected[i])) {
          assert.deepEqual(lines, expected, `${name} cut at byte ${cut}`);
        }
      }
    } else {
      for (const seed of [1, 2, 3]) assert.deepEqual(parseInChunks(bytes, randomCuts(bytes.length, seed)), expected, `${name} seed ${seed}`);
    }
  }
});
