// A host session paired with a MessagePort, with worker_threads' channel
// standing in for Electron's: whole packets out, checked lines in, refusals,
// the port closing (QUIT, then the kill), exit notes, and video thinning.
import { test as nodeTest } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { MessageChannel } from 'node:worker_threads';
import { startHost } from '../../lib/host_session.js';
import { connectPort } from '../../lib/port_connection.js';
import { exitMeaning } from '../../lib/exit_meaning.js';
import { PacketParser } from '../../lib/packet_parser.js';
import { MessageChannelMain, nodePort } from './support/fake_electron.js';
import {
  DEMO_CONTENT, DEMO_CORE, HOST, INPUT_SCENARIO, NOT_A_CORE, PROBE_CORE, SCENARIOS, processAlive, runDirectories,
  waitFor,
} from './support/build.js';

const test = (name, fn) => nodeTest(name, { timeout: 60000 }, fn);
const FAKE_HOST = new URL('./support/fake_host.js', import.meta.url).pathname;

// The player's end of the channel: each binary message must hold exactly
// one whole packet; notes are kept apart.
class PlayerEnd {
  constructor(port) {
    this.port = port;
    this.packets = [];
    this.notes = [];
    this.unwhole = [];
    this.closed = new Promise((resolve) => port.on('close', resolve));
    port.on('message', (value) => {
      if (!(value instanceof ArrayBuffer)) {
        this.notes.push(value);
        return;
      }
      const parser = new PacketParser();
      const packets = parser.push(new Uint8Array(value));
      if (packets.length !== 1 || parser.pending !== 0 || packets[0].bytes.length !== value.byteLength) {
        this.unwhole.push(value.byteLength);
      }
      this.packets.push(...packets);
    });
  }

  count(type) { return this.packets.filter((packet) => packet.type === type).length; }
  states() { return this.packets.filter((packet) => packet.type === 'status').map((packet) => packet.state); }
  note(kind) { return this.notes.findLast((note) => note.bridge === kind); }
}

function pair(t, hostFields, { electron = false, ...options } = {}) {
  const run = runDirectories();
  t.after(run.cleanup);
  const host = startHost({ host: HOST, ...run.dirs, ...hostFields(run) });
  t.after(() => host.kill('the test ended'));
  const channel = electron ? new MessageChannelMain() : new MessageChannel();
  const port2 = electron ? nodePort(channel.port2) : channel.port2;
  // An open port keeps the test process alive after a failure.
  t.after(() => port2.close());
  const player = new PlayerEnd(port2);
  const log = [];
  const connection = connectPort(host, channel.port1, { log: (line) => log.push(line), ...options });
  return { run, host, player, connection, log };
}

const demo = () => ({ core: DEMO_CORE, content: DEMO_CONTENT });
const running = (player) => waitFor(() => player.count('video') >= 2, 15000, 'frames through the port');

test('each host packet arrives whole in an ArrayBuffer of its own; closing the port QUITs the host', async (t) => {
  const { host, player } = pair(t, demo);
  await running(player);
  await waitFor(() => player.count('audio') >= 1, 15000, 'sound');
  player.port.close();
  const result = await host.exited;
  assert.deepEqual(player.unwhole, [], 'messages that were not one whole packet');
  assert.deepEqual(player.states().slice(0, 2), ['stage', 'stage']);
  assert.ok(player.states().includes('running'));
  const frame = player.packets.find((packet) => packet.type === 'video');
  assert.equal(frame.rgba.length, frame.width * frame.height * 4);
  assert.match(player.notes.find((note) => note.bridge === 'diagnostic').line, /^HOST_BUILD=/);
  assert.deepEqual([result.code, result.killed, result.lastStatus.state], [0, null, 'stopped']);
  assert.equal(processAlive(host.pid), false);
});

test("the player's lines reach the core re-serialised, through an Electron-style port too; its QUIT ends with the exit note", async (t) => {
  const { host, player, run } = pair(t, (r) => ({ core: PROBE_CORE, content: r.file('keys.scn', `record probe.rec\n${INPUT_SCENARIO}`) }),
    { electron: true });
  await waitFor(() => player.count('video') >= 3, 15000, 'the third frame');
  player.port.postMessage('K 097 1 97 0\n');
  player.port.postMessage('K 98 0 66 0');
  player.port.postMessage('QUIT');
  await player.closed;
  assert.equal((await host.exited).code, 0);
  assert.deepEqual(player.notes.slice(-2).map((note) => note.bridge), ['stats', 'exit']);
  assert.deepEqual(player.note('exit'), { bridge: 'exit', code: 0, signal: null, meaning: exitMeaning(0) });
  const record = readFileSync(join(run.dirs.saveDir, 'probe.rec'), 'utf8');
  assert.deepEqual(record.match(/^keyboard .*$/gm).map((line) => line.replace(/ frame=\d+ in_run=\d/, '')),
    ['keyboard down=1 keycode=97 character=97 modifiers=0', 'keyboard down=0 keycode=98 character=66 modifiers=0']);
});

test('a bad message is refused with its reason, closes the port and ends the host', async (t) => {
  const hostile = [
    ['LOAD /tmp/evil.so', /bad command: unknown command/],
    ['K 97 1 97 0\nQUIT', /bad command: .*not a decimal/],
    [new Uint8Array([81, 85, 73, 84]).buffer, /bad command: a command is a text line/],
    [{ line: 'QUIT' }, /bad command: a command is a text line/],
  ];
  for (const [message, reason] of hostile) {
    const { host, player, log } = pair(t, demo);
    await running(player);
    player.port.postMessage(message);
    await player.closed;
    const result = await host.exited;
    assert.match(player.note('refused').reason, reason);
    assert.equal(player.note('exit'), undefined, 'the refusal is the last word');
    assert.ok(log.some((line) => reason.test(line)), `logged: ${reason}`);
    assert.deepEqual([result.code, result.killed], [0, null], 'the host quit when asked');
  }
});

test('a host that ignores QUIT is killed once the grace time after the port closed has passed', async (t) => {
  const { host, player } = pair(t, (r) => ({ core: PROBE_CORE, content: r.file('stuck.scn', '[frame 1]\nsleep 20000\n') }),
    { quitGraceMs: 300 });
  await waitFor(() => player.states().includes('running'), 15000, 'the game to run');
  player.port.close();
  const result = await host.exited;
  assert.equal(result.signal, 'SIGKILL');
  assert.equal(result.killed, 'QUIT went unanswered for 300 ms');
  assert.equal(processAlive(host.pid), false);
});

test('failed starts reach the player as exit notes with their meaning, also for a session that ended before pairing', async (t) => {
  const refused = pair(t, () => ({ core: PROBE_CORE, content: join(SCENARIOS, 'refuse_content.scn') }));
  await refused.player.closed;
  assert.equal(refused.player.states().at(-1), 'error');
  assert.deepEqual(refused.player.note('exit'), { bridge: 'exit', code: 5, signal: null, meaning: exitMeaning(5) });
  assert.match(refused.player.note('exit').meaning, /refused the content/);

  const run = runDirectories();
  t.after(run.cleanup);
  const ended = startHost({ host: HOST, ...run.dirs, core: NOT_A_CORE, content: DEMO_CONTENT });
  await ended.exited;
  const { port1, port2 } = new MessageChannel();
  t.after(() => port2.close());
  const late = new PlayerEnd(port2);
  connectPort(ended, port1);
  await late.closed;
  assert.deepEqual(late.note('exit'), { bridge: 'exit', code: 4, signal: null, meaning: exitMeaning(4) });
});

test('repeated frames go once; with video: latest every frame is sent or counted and the last one arrives', async (t) => {
  const plan = (r, fields) => ({ host: FAKE_HOST, core: 'none', content: r.file('plan.json', JSON.stringify(fields)) });
  const same = pair(t, (r) => plan(r, { frames: 50, width: 64, height: 48, audio: true }));
  await same.player.closed;
  assert.equal(same.player.count('video'), 1);
  assert.equal(same.player.count('audio'), 50);
  assert.deepEqual(same.player.states(), ['running', 'stopped']);
  assert.deepEqual(same.player.note('stats'), { bridge: 'stats', sentVideo: 1, droppedVideo: 0, repeatedVideo: 49,
    skippedVideo: 0, wholeFrames: 0, video: 'raw', videoBytes: { raw: 17 + 64 * 48 * 4, tiles: 0 } });

  const latest = pair(t, (r) => ({ ...plan(r, { frames: 300, width: 320, height: 240, distinct: true, audio: true }), video: 'latest' }));
  await latest.player.closed;
  const stats = latest.player.note('stats');
  assert.equal(stats.sentVideo, latest.player.count('video'));
  assert.equal(stats.sentVideo + stats.droppedVideo + stats.repeatedVideo, 300);
  assert.equal(latest.player.count('audio'), 300);
  const last = latest.player.packets.findLast((packet) => packet.type === 'video');
  assert.equal(new DataView(last.rgba.buffer, last.rgba.byteOffset).getUint32(0, true), 299, 'the newest frame is the last one sent');
  assert.deepEqual(latest.player.unwhole, []);
});

test('connectPort refuses something that is not a port before touching the host', () => {
  assert.throws(() => connectPort({}, { postMessage() {} }), /needs a MessagePort/);
  assert.throws(() => connectPort({}, null), /needs a MessagePort/);
});
