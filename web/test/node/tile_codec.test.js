// The tile codec end to end: frames of random sizes and change patterns
// encoded with zlib's raw deflate and decoded with the DecompressionStream
// the browser uses come back bit for bit; a lost or damaged message leaves
// the decoder waiting until the whole frame it asks for arrives.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { deflateRawSync } from 'node:zlib';
import { KIND_CHANGES, KIND_WHOLE, TileDecoder, TileEncoder, isTileMessage } from '../../lib/tile_codec.js';

const deflate = (bytes) => deflateRawSync(bytes, { level: 1 });

// Deterministic, so a failure repeats.
function random(seed) {
  let state = seed >>> 0;
  return () => {
    state = (state + 0x6D2B79F5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function randomFrame(next, width, height) {
  const rgba = new Uint8Array(width * height * 4);
  for (let i = 0; i < rgba.length; i++) rgba[i] = (i & 3) === 3 ? 255 : next() * 256;
  return { width, height, rgba };
}

// A copy of `frame` with `pattern` applied: nothing, one pixel, a few rectangles, or noise everywhere.
function changed(next, frame, pattern) {
  const rgba = new Uint8Array(frame.rgba);
  const { width, height } = frame;
  const paint = (x, y) => { rgba[(y * width + x) * 4 + Math.floor(next() * 3)] ^= 1 + Math.floor(next() * 255); };
  if (pattern === 'pixel') paint(Math.floor(next() * width), Math.floor(next() * height));
  if (pattern === 'rectangles') {
    for (let r = 0; r < 3; r++) {
      const x0 = Math.floor(next() * width);
      const y0 = Math.floor(next() * height);
      for (let y = y0; y < Math.min(height, y0 + 1 + next() * 40); y++) for (let x = x0; x < Math.min(width, x0 + 1 + next() * 40); x++) paint(x, y);
    }
  }
  if (pattern === 'everywhere') for (let i = 0; i < width * height; i += 1 + Math.floor(next() * 7)) paint(i % width, Math.floor(i / width));
  return { width, height, rgba };
}

const kind = (message) => message[4];

async function decodeExactly(decoder, message, frame) {
  const result = await decoder.decode(message);
  assert.ok(result.frame, `decoded, not lost: ${result.lost}`);
  assert.equal(result.frame.width, frame.width);
  assert.equal(result.frame.height, frame.height);
  assert.ok(Buffer.from(result.frame.rgba).equals(Buffer.from(frame.rgba)), 'the frame comes back bit for bit');
  return result.frame;
}

test('random frames, sizes, tile sides and change patterns come back bit for bit, sizes changing on the way', async () => {
  const next = random(7);
  const sizes = [[1, 1], [17, 5], [64, 40], [320, 200], [97, 131], [8192, 1], [1, 300]];
  const patterns = ['none', 'pixel', 'rectangles', 'everywhere', 'pixel', 'rectangles'];
  for (const side of [4, 16, 64]) {
    const encoder = new TileEncoder({ deflate, tileSide: side });
    const decoder = new TileDecoder();
    for (const [width, height] of sizes) {
      let frame = randomFrame(next, width, height);
      const first = encoder.encode(frame);
      assert.equal(kind(first.message), KIND_WHOLE, 'a new size goes whole');
      assert.ok(isTileMessage(first.message));
      await decodeExactly(decoder, first.message, frame);
      for (const pattern of patterns) {
        frame = changed(next, frame, pattern);
        const encoded = encoder.encode(frame);
        if (pattern === 'none') {
          assert.equal(encoded, null, 'an unchanged frame needs no message');
          continue;
        }
        await decodeExactly(decoder, encoded.message, frame);
      }
    }
  }
});

test('a few changed tiles make a small message of changes; a frame changed all over goes whole', async () => {
  const next = random(11);
  const encoder = new TileEncoder({ deflate });
  const decoder = new TileDecoder();
  const room = randomFrame(next, 320, 200);
  const whole = encoder.encode(room).message;
  await decodeExactly(decoder, whole, room);
  const sprite = changed(next, room, 'pixel');
  const small = encoder.encode(sprite).message;
  assert.equal(kind(small), KIND_CHANGES);
  assert.ok(small.length < 16 * 16 * 4 + 100, `one changed pixel costs ${small.length} bytes`);
  await decodeExactly(decoder, small, sprite);
  const noise = changed(next, sprite, 'everywhere');
  const again = encoder.encode(noise);
  assert.equal(again.whole, true);
  assert.equal(kind(again.message), KIND_WHOLE);
  await decodeExactly(decoder, again.message, noise);
});

test('frames at any byte offset encode the same, and decoded frames are never written again', async () => {
  const next = random(3);
  const encoder = new TileEncoder({ deflate });
  const decoder = new TileDecoder();
  let frame = randomFrame(next, 50, 30);
  const decoded = [];
  for (let i = 0; i < 6; i++) {
    // A packet inside a pipe chunk starts anywhere: here at odd offsets.
    const shifted = new Uint8Array(frame.rgba.length + 3);
    shifted.set(frame.rgba, 1 + (i % 3));
    const view = { ...frame, rgba: shifted.subarray(1 + (i % 3), 1 + (i % 3) + frame.rgba.length) };
    decoded.push([await decodeExactly(decoder, encoder.encode(view).message, frame), new Uint8Array(frame.rgba)]);
    frame = changed(next, frame, 'rectangles');
  }
  for (const [output, expected] of decoded) assert.ok(Buffer.from(output.rgba).equals(Buffer.from(expected)), 'an earlier frame is untouched');
});

test('a lost message or a damaged one leaves the decoder waiting until a requested whole frame arrives', async () => {
  const next = random(5);
  const encoder = new TileEncoder({ deflate });
  const decoder = new TileDecoder();
  let frame = randomFrame(next, 120, 90);
  await decodeExactly(decoder, encoder.encode(frame).message, frame);
  frame = changed(next, frame, 'rectangles');
  encoder.encode(frame);  // never arrives
  frame = changed(next, frame, 'pixel');
  const afterGap = encoder.encode(frame).message;
  assert.match((await decoder.decode(afterGap)).lost, /changes to frame \d+, holding \d+/);
  assert.equal(decoder.sequence, 0);
  frame = changed(next, frame, 'pixel');
  assert.ok((await decoder.decode(encoder.encode(frame).message)).lost, 'still waiting for a whole frame');
  encoder.requestWhole();
  frame = changed(next, frame, 'pixel');
  const recovered = encoder.encode(frame);
  assert.equal(recovered.whole, true);
  await decodeExactly(decoder, recovered.message, frame);

  frame = changed(next, frame, 'rectangles');
  const damaged = new Uint8Array(encoder.encode(frame).message);
  damaged.fill(0xff, 30, 40);
  assert.ok((await decoder.decode(damaged)).lost, 'a body that does not inflate is a loss');
  encoder.requestWhole();
  await decodeExactly(decoder, encoder.encode(frame).message, frame);
});

test('headers that lie are refused without touching the frame held', async () => {
  const next = random(9);
  const encoder = new TileEncoder({ deflate });
  const frame = randomFrame(next, 40, 20);
  const good = encoder.encode(frame).message;
  const lies = [
    [(view) => view.setUint8(4, 7), /unknown kind 7/],
    [(view) => view.setUint8(5, 2), /tile side 2/],
    [(view) => view.setUint32(16, 0, true), /width 0/],
    [(view) => view.setUint32(20, 9000, true), /height 9000/],
    [(view) => view.setUint32(24, 40 * 20 * 4 + 4, true), /body length/],
    [(view) => view.setUint32(20, 19, true), /body length/],
    [(view) => view.setUint8(3, 0x50), /not a tile message/],
  ];
  for (const [lie, reason] of lies) {
    const decoder = new TileDecoder();
    const bad = new Uint8Array(good);
    lie(new DataView(bad.buffer));
    assert.match((await decoder.decode(bad)).lost, reason);
  }
  // A body inflating past its stated length is cut off, not held.
  const oversized = deflate(new Uint8Array(40 * 20 * 4 + 4000));
  const longer = new Uint8Array(28 + oversized.length);
  longer.set(good.subarray(0, 28));
  longer.set(oversized, 28);
  assert.match((await new TileDecoder().decode(longer)).lost, /beyond its stated/);
});
