// The packet parser on streams built here: chunking, views and copies, typed
// fields, and every kind of corruption. Streams from the real host are in
// parser_real_streams.test.js.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { PacketParser, PacketStreamError } from '../../lib/packet_parser.js';
import { audioPacket, concat, packet, statusPacket, videoPacket } from './support/packets.js';

const mixedStream = () => concat([
  statusPacket({ state: 'running', message: 'é' }),
  videoPacket(3, 2, 7),
  audioPacket(48000, [1, -1, 32767, -32768]),
  audioPacket(22050, [-2, 2]),
  statusPacket('{"state":"stopped"}'),
]);

function summary(packets) {
  return packets.map((p) => ({ type: p.type, bytes: [...p.bytes], samples: p.samples && [...p.samples] }));
}

test('packets inside one chunk are views of it, with their fields decoded', () => {
  const stream = mixedStream();
  const packets = new PacketParser().push(stream);
  assert.deepEqual(packets.map((p) => p.type), ['status', 'video', 'audio', 'audio', 'status']);
  const [running, video, audio, odd, stopped] = packets;
  assert.equal(running.state, 'running');
  assert.equal(running.message, 'é');
  assert.equal(stopped.state, 'stopped');
  assert.equal(video.width, 3);
  assert.equal(video.height, 2);
  assert.equal(video.rgba.length, 24);
  assert.deepEqual([...video.rgba.subarray(4, 8)], [8, 0, 0, 0]);
  assert.equal(video.bytes.buffer, stream.buffer);
  assert.equal(video.rgba.buffer, stream.buffer);
  assert.equal(audio.sampleRate, 48000);
  assert.equal(audio.frames, 2);
  assert.deepEqual([...audio.samples], [1, -1, 32767, -32768]);
  assert.deepEqual([...odd.samples], [-2, 2]);
  assert.equal(audio.bytes.length, 9 + 8 + 8);
});

test('a stream cut at every byte boundary, or fed byte by byte, reads the same', () => {
  const stream = mixedStream();
  const expected = summary(new PacketParser().push(stream));
  for (let cut = 0; cut <= stream.length; cut++) {
    const parser = new PacketParser();
    const packets = [...parser.push(stream.subarray(0, cut)), ...parser.push(stream.subarray(cut))];
    parser.end();
    assert.deepEqual(summary(packets), expected, `cut at ${cut}`);
  }
  const parser = new PacketParser();
  const packets = [];
  for (let i = 0; i < stream.length; i++) packets.push(...parser.push(stream.subarray(i, i + 1)));
  assert.deepEqual(summary(packets), expected);
});

test('a packet spanning chunks is assembled once into a buffer of its exact length', () => {
  const frame = videoPacket(40, 30, 1);
  const parser = new PacketParser();
  assert.deepEqual(parser.push(frame.slice(0, 100)), []);
  assert.deepEqual(parser.push(frame.slice(100, 4000)), []);
  assert.equal(parser.pending, 4000);
  const [video] = parser.push(frame.slice(4000));
  assert.equal(video.bytes.buffer.byteLength, frame.length);
  assert.deepEqual(new Uint8Array(video.bytes), frame);
  assert.equal(parser.pending, 0);
});

test('a status member named type or bytes does not override the packet fields', () => {
  const [status] = new PacketParser().push(statusPacket({ state: 'x', type: 'video', bytes: 1, n: 2 }));
  assert.equal(status.type, 'status');
  assert.ok(status.bytes instanceof Uint8Array);
  assert.equal(status.n, 2);
});

function expectFault(bytes, offset, pattern) {
  const parser = new PacketParser();
  const good = statusPacket({ state: 'running' });
  let error;
  try {
    parser.push(concat([good, bytes]));
  } catch (caught) {
    error = caught;
  }
  assert.ok(error instanceof PacketStreamError, `expected a stream error for ${pattern}`);
  assert.match(error.message, pattern);
  assert.equal(error.offset, good.length + offset);
  assert.match(error.message, new RegExp(`at byte ${good.length + offset}\\b`));
  assert.equal(error.packets.length, 1, 'the good packet before the fault is handed over');
  assert.throws(() => parser.push(statusPacket({ state: 'running' })), PacketStreamError);
  assert.throws(() => parser.end(), PacketStreamError);
}

const withLength = (bytes, length) => {
  const copy = bytes.slice();
  new DataView(copy.buffer).setUint32(5, length, true);
  return copy;
};
const withU32 = (bytes, at, value) => {
  const copy = bytes.slice();
  new DataView(copy.buffer).setUint32(at, value, true);
  return copy;
};

test('each kind of corruption raises one error naming its byte offset, and the parser stays failed', () => {
  const frame = videoPacket(2, 2);
  const audio = audioPacket(48000, [1, 2, 3, 4]);
  expectFault(concat([new Uint8Array([0x4b, 0x4c, 0x4e]), frame]), 2, /bad packet magic/);
  expectFault(packet(4, new Uint8Array(8)), 4, /unknown packet type 4/);
  expectFault(packet(0, new Uint8Array(8)), 4, /unknown packet type 0/);
  expectFault(withLength(frame, frame.length - 9 - 4), 5, /video length 20 disagrees with 2x2/);
  expectFault(packet(1, new Uint8Array(4)), 5, /shorter than its size fields/);
  expectFault(withU32(frame, 9, 0), 9, /width 0 is outside 1\.\.8192/);
  expectFault(withU32(frame, 13, 8193), 13, /height 8193 is outside/);
  expectFault(withLength(audio, 20), 5, /audio length 20 disagrees with 2 frames/);
  expectFault(withU32(audio, 13, 0), 13, /frame count 0 is outside 1\.\.65536/);
  expectFault(withU32(audio, 13, 65537), 13, /frame count 65537/);
  expectFault(statusPacket('{"state":'), 9, /status is not JSON/);
  expectFault(statusPacket('[1,2]'), 9, /not a JSON object with a "state"/);
  expectFault(withLength(statusPacket('{}'), 70000), 5, /status length 70000/);
});

test('a fault is found as soon as the header arrives, not when the packet would be whole', () => {
  const parser = new PacketParser();
  const frame = withU32(videoPacket(2, 2), 9, 9000);
  assert.throws(() => parser.push(frame.subarray(0, 17)), /width 9000/);
});

test('end() inside a packet is a truncation error; at a packet boundary it is quiet', () => {
  const stream = mixedStream();
  const whole = new PacketParser();
  whole.push(stream);
  whole.end();
  const stream2 = concat([statusPacket({ state: 'running' }), videoPacket(2, 2)]);
  const cut = new PacketParser();
  cut.push(stream2.subarray(0, stream2.length - 3));
  assert.throws(() => cut.end(), (error) => error instanceof PacketStreamError
    && error.offset === stream2.length - 33
    && /ended inside a packet: 30 of its 33 bytes arrived/.test(error.message));
  const header = new PacketParser();
  header.push(stream2.subarray(0, 4));
  assert.throws(() => header.end(), /4 of its at least 9 bytes arrived/);
});

test('push takes only byte arrays', () => {
  assert.throws(() => new PacketParser().push('KLMP'), TypeError);
  assert.deepEqual(new PacketParser().push(new Uint8Array(0)), []);
});
