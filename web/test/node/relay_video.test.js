// What a viewer's frames become in the relay: with tiles, every frame it
// gets rebuilds the host's picture exactly; a backed-up viewer loses frames
// but never sound or status, and gets the newest picture once it drains; its
// request for a whole frame stays in the bridge. Then the same through the
// bridge, chosen by the WebSocket URL, with the real host and demo core.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { EventEmitter } from 'node:events';
import { join } from 'node:path';
import WebSocket from 'ws';
import { HostRelay } from '../../lib/host_relay.js';
import { TileDecoder, isTileMessage } from '../../lib/tile_codec.js';
import { PacketParser } from '../../lib/packet_parser.js';
import { createBridgeServer } from '../../lib/bridge_server.js';
import { audioPacket, statusPacket, videoPacket } from './support/packets.js';
import { DEMO_CONTENT, DEMO_CORE, HOST, runDirectories, waitFor } from './support/build.js';

const parse = (bytes) => new PacketParser().push(bytes)[0];

// The session as the relay uses it; `emit(bytes)` plays one host packet.
class FakeSession extends EventEmitter {
  commands = [];
  stats = { droppedVideo: 0 };
  inputBacklog = 0;
  exited = new Promise(() => {});
  command(line) { this.commands.push(line); }
  takeVideo() { return null; }
  quit() { return Promise.resolve(null); }
  play(bytes) {
    const packet = parse(bytes);
    this.emit(packet.type, packet);
  }
}

// A viewer whose transport backs up on demand, decoding what it gets as the player does.
function viewer() {
  const decoder = new TileDecoder();
  const seen = { frames: [], audio: 0, states: [], notes: [], messages: 0, closed: null, backedUp: false };
  seen.pending = Promise.resolve();
  seen.transport = {
    sendPacket(bytes) {
      const copy = new Uint8Array(bytes);
      seen.messages++;
      if (!isTileMessage(copy)) {
        const packet = parse(copy);
        if (packet.type === 'video') seen.frames.push(packet.rgba);
        else if (packet.type === 'audio') seen.audio++;
        else seen.states.push(packet.state);
        return true;
      }
      seen.pending = decoder.decode(copy).then(({ frame, lost }) => {
        assert.ok(frame, `a tile message decodes: ${lost}`);
        seen.frames.push(frame.rgba);
      });
      return true;
    },
    sendNote: (note) => seen.notes.push(note),
    backlogged: () => seen.backedUp,
    close: (code, reason) => { seen.closed = { code, reason }; },
  };
  return seen;
}

// A still room with a small sprite stepping right each frame.
function walkingFrame(step) {
  const bytes = videoPacket(96, 64, 0);
  const view = new DataView(bytes.buffer, 17);
  for (let y = 20; y < 40; y++) for (let x = step * 3; x < step * 3 + 10; x++) view.setUint32((y * 96 + x) * 4, 0xff00ff00 + step, true);
  return bytes;
}

for (const video of ['tiles', 'raw']) {
  test(`${video}: a backed-up viewer gets all its sound, skips frames, then the newest frame once it drains`, async (t) => {
    const session = new FakeSession();
    const seen = viewer();
    const relay = new HostRelay(seen.transport, () => {}, { video });
    t.after(() => relay.end(0));
    relay.attach(session);
    session.play(statusPacket({ state: 'running' }));
    const expected = [];
    for (let step = 0; step < 12; step++) {
      if (step === 4) seen.backedUp = true;
      const frame = walkingFrame(step);
      if (step < 4) expected.push(frame.subarray(17));
      session.play(frame);
      session.play(audioPacket(48000, [step, -step]));
      session.play(statusPacket({ state: 'geometry', step }));
    }
    assert.equal(seen.audio, 12, 'no sound block waits behind the frames');
    assert.equal(seen.states.length, 13);
    seen.backedUp = false;
    await waitFor(() => seen.messages === 4 + 12 + 13 + 1, 2000, 'the held frame once drained');
    await seen.pending;
    expected.push(walkingFrame(11).subarray(17));
    assert.equal(seen.frames.length, expected.length);
    seen.frames.forEach((frame, i) => assert.ok(Buffer.from(frame).equals(Buffer.from(expected[i])), `frame ${i} is the host's`));
    const stats = relay.stats;
    assert.deepEqual([stats.sentVideo, stats.droppedVideo, stats.skippedVideo, stats.repeatedVideo], [5, 7, 7, 0]);
    assert.equal(stats.video, video);
    assert.equal(stats.videoBytes[video === 'raw' ? 'tiles' : 'raw'], 0);
    if (video === 'raw') assert.equal(stats.videoBytes.raw, 5 * walkingFrame(0).length);
    else assert.ok(stats.videoBytes.tiles < walkingFrame(0).length, `${stats.videoBytes.tiles} bytes of tiles for five frames`);
  });
}

test('a request for a whole frame stays in the bridge: the last frame goes whole at once, once per host frame', async (t) => {
  const session = new FakeSession();
  const seen = viewer();
  const relay = new HostRelay(seen.transport, () => {}, { video: 'tiles' });
  t.after(() => relay.end(0));
  relay.attach(session);
  const sent = [];
  const sendPacket = seen.transport.sendPacket;
  seen.transport.sendPacket = (bytes) => sent.push(new Uint8Array(bytes)) && sendPacket(bytes);
  session.play(walkingFrame(0));
  session.play(walkingFrame(1));
  relay.receive('WHOLE_FRAME\n');
  relay.receive('WHOLE_FRAME');
  assert.deepEqual(sent.map((message) => message[4]), [0, 1, 0], 'one whole frame answers both requests');
  // A decoder that holds nothing takes the answer on its own.
  const { frame } = await new TileDecoder().decode(sent[2]);
  assert.ok(Buffer.from(frame.rgba).equals(Buffer.from(walkingFrame(1).subarray(17))));
  session.play(walkingFrame(1));
  assert.equal(sent.at(-1)[4], 0, 'the frame after a second request goes whole too');
  relay.receive('M 1 2 0 0 0 0 1');
  assert.deepEqual(session.commands, ['M 1 2 0 0 0 0 1'], 'the host sees only its own lines');
  relay.receive('WHOLE_FRAME 1');
  assert.equal(seen.closed.code, 1008);
  assert.match(seen.notes.at(-1).reason, /bad command: unknown command "WHOLE_FRAME 1"/);
  assert.equal(relay.stats.wholeFrames, 3);
});

test('the bridge gives a page tiles when its URL asks, and refuses a codec it does not know', async (t) => {
  const run = runDirectories();
  const server = createBridgeServer({ host: HOST, core: DEMO_CORE, content: DEMO_CONTENT, dataDir: join(run.root, 'data'), log: () => {} });
  await server.listen();
  t.after(async () => {
    await server.close();
    run.cleanup();
  });
  const connect = (video) => {
    const socket = new WebSocket(`ws://127.0.0.1:${server.port}/ws?token=${server.token}&video=${video}`,
      { origin: `http://127.0.0.1:${server.port}` });
    const got = { tiles: [], packets: [], notes: [], socket };
    const parser = new PacketParser();
    socket.on('message', (data, binary) => {
      if (!binary) got.notes.push(JSON.parse(data));
      else if (isTileMessage(data)) got.tiles.push(new Uint8Array(data));
      else got.packets.push(...parser.push(new Uint8Array(data)));
    });
    got.closed = new Promise((resolve) => socket.on('close', (code) => resolve(code)));
    return got;
  };
  const bogus = connect('png');
  assert.equal(await bogus.closed, 1008);
  assert.match(bogus.notes[0].reason, /unknown video codec "png"/);
  const page = connect('tiles');
  await waitFor(() => page.tiles.length >= 20 && page.notes.some((note) => note.bridge === 'stats'), 15000, 'tile frames and stats');
  page.socket.close();
  await page.closed;
  assert.equal(page.packets.filter((packet) => packet.type === 'video').length, 0, 'no raw frame on a tiles connection');
  assert.ok(page.packets.some((packet) => packet.type === 'audio'));
  const decoder = new TileDecoder();
  for (const message of page.tiles) {
    const { frame, lost } = await decoder.decode(message);
    assert.ok(frame, lost);
    assert.deepEqual([frame.width, frame.height], [320, 240]);
  }
  const stats = page.notes.findLast((note) => note.bridge === 'stats');
  assert.equal(stats.video, 'tiles');
  assert.equal(stats.videoBytes.raw, 0);
  assert.ok(stats.videoBytes.tiles > 0 && stats.wholeFrames >= 1);
});
