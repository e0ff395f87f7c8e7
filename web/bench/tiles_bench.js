// Raw frames against tiles (lib/tile_codec.js), side by side in one run,
// over the bridge's own connection code (BridgeConnection and its relay) on
// loopback, with the host in its own process and the viewer in another:
//   - scenes: the demo core (320x240, its whole field drifting), a still
//     320x200 room with a 20x40 character walking across it, and a painted
//     picture panning a pixel a frame at 320x200 and 640x480, all at 60 fps
//     with sound (bench/scene_host.js draws the synthetic ones);
//   - video bytes handed to the socket per frame sent, as KiB/s at 60 fps
//     (goal for tiles: at most 10 % of raw on the demo and the room);
//   - the bridge's CPU per frame sent, as % of one core at 60 fps: this
//     process, which is only the bridge (parsing the host's stream,
//     relaying, the WebSocket); goal at most 15 % at 320x200 and 35 % at
//     640x480. Per frame, since a loaded machine runs the scenes slower;
//   - latency per frame: the frame whole in the bridge to the frame whole in
//     the viewer (parsed, or inflated and rebuilt with the DecompressionStream
//     the browser uses), on the monotonic clock both processes share; p50 and
//     p99, and what tiles add to raw (goal p99 at most 2 ms);
//   - in this process alone, the encoder on the same scenes for three tile
//     sides and two deflate levels: bytes and milliseconds per frame.
// Figures go to the section web-tiles of bench/RESULTS.md.
//
//   node web/bench/tiles_bench.js [--seconds=4] [--results=PATH]
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { cpus, loadavg, tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { deflateRawSync } from 'node:zlib';
import WebSocket, { WebSocketServer } from 'ws';
import { PacketParser } from '../lib/packet_parser.js';
import { TileDecoder, TileEncoder, isTileMessage } from '../lib/tile_codec.js';
import { BridgeConnection } from '../lib/bridge_connection.js';
import { startHost } from '../lib/host_session.js';
import { sceneFrames } from './scene_host.js';
import { writeResultsSection } from './results_section.js';

const repo = fileURLToPath(new URL('../../', import.meta.url));
const options = Object.fromEntries(process.argv.slice(2).map((arg) => {
  const [name, ...value] = arg.replace(/^--/, '').split('=');
  return [name, value.join('=')];
}));
const SECONDS = Number(options.seconds ?? 4);
const WARM_UP_MS = 1000;
const RESULTS = options.results ?? join(repo, 'bench/RESULTS.md');
const HOST = join(repo, 'build/linux/kalmo-host');
const SCENE_HOST = fileURLToPath(new URL('./scene_host.js', import.meta.url));
const monotonicMs = () => Number(process.hrtime.bigint()) / 1e6;
const percentile = (values, p) => [...values].sort((a, b) => a - b)[Math.min(values.length - 1, Math.floor(values.length * p))] ?? NaN;

// The viewer, in a process of its own: rebuilds every frame as the player does and stamps when it has it.
async function viewer(url) {
  const socket = new WebSocket(url);
  const parser = new PacketParser();
  const decoder = new TileDecoder();
  const frames = [];
  socket.on('message', (data, binary) => {
    if (!binary) return;
    const bytes = new Uint8Array(data.buffer, data.byteOffset, data.length);
    if (isTileMessage(bytes)) {
      decoder.decode(bytes).then(({ frame }) => { if (frame) frames.push(monotonicMs()); });
      return;
    }
    for (const packet of parser.push(bytes)) if (packet.type === 'video') frames.push(monotonicMs());
  });
  socket.on('close', async () => {
    await decoder.decode(new Uint8Array(0));
    process.stdout.write(JSON.stringify(frames));
  });
}

function runChild(args) {
  const child = spawn(process.execPath, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  let out = '';
  child.stdout.on('data', (text) => { out += text; });
  return new Promise((resolve) => child.on('exit', () => resolve(out)));
}

// One scene in one codec: the host, the bridge's connection here, the viewer in its own process.
async function measure(scene, codec, dir) {
  const server = new WebSocketServer({ host: '127.0.0.1', port: 0, perMessageDeflate: false });
  await new Promise((resolve) => server.on('listening', resolve));
  const sent = [];
  const figures = {};
  const connected = new Promise((resolve) => server.on('connection', (socket) => {
    const connection = new BridgeConnection(socket, () => {}, { video: codec });
    const session = startHost({ host: scene.host, core: scene.core, content: scene.content, systemDir: dir,
      saveDir: dir, assetsDir: dir, playlistDir: dir });
    connection.attach(session);
    // Around the relay's own listener: the frame whole here, then whether the relay sent it and when it
    // was done. Pairing with the viewer goes by order, so it stops at the first frame held back.
    let before;
    session.prependListener('video', () => { before = { at: monotonicMs(), ...connection.stats }; });
    session.on('video', () => {
      const after = connection.stats;
      if (after.skippedVideo > 0 || after.sentVideo === before.sentVideo) return;
      sent.push({ at: before.at, bridgeMs: monotonicMs() - before.at });
    });
    resolve({ connection, session });
  }));
  const viewerDone = runChild([fileURLToPath(import.meta.url), `--viewer=ws://127.0.0.1:${server.address().port}/`]);
  const { connection, session } = await connected;
  await new Promise((resolve) => setTimeout(resolve, WARM_UP_MS));
  const start = { at: monotonicMs(), cpu: process.cpuUsage(), stats: connection.stats };
  await new Promise((resolve) => setTimeout(resolve, SECONDS * 1000));
  const end = { at: monotonicMs(), cpu: process.cpuUsage(), stats: connection.stats };
  await connection.stop(2000);
  await session.exited;
  server.close();
  const arrived = JSON.parse(await viewerDone);
  const seconds = (end.at - start.at) / 1000;
  const paired = sent.map((frame, i) => ({ ...frame, latencyMs: arrived[i] - frame.at }))
    .filter((frame, i) => i < arrived.length && frame.at >= start.at && frame.at <= end.at);
  const frames = end.stats.sentVideo - start.stats.sentVideo;
  figures.fps = frames / seconds;
  // Per frame sent, so that a loaded machine's lower frame rate does not flatter either codec.
  figures.bytesPerFrame = (end.stats.videoBytes[codec] - start.stats.videoBytes[codec]) / frames;
  figures.cpuMsPerFrame = (end.cpu.user + end.cpu.system - start.cpu.user - start.cpu.system) / 1000 / frames;
  figures.latency = paired.map((frame) => frame.latencyMs);
  figures.bridgeMs = paired.map((frame) => frame.bridgeMs);
  figures.skipped = end.stats.skippedVideo;
  return figures;
}

// The first frames of a scene as a viewer would get them, for the encoder alone.
async function framesOf(scene, count) {
  if (scene.plan) {
    const next = sceneFrames(scene.plan);
    return Array.from({ length: count }, (unused, n) => {
      const words = new Uint32Array(next(n));
      return { width: scene.plan.width, height: scene.plan.height, rgba: new Uint8Array(words.buffer) };
    });
  }
  const dir = mkdtempSync(join(tmpdir(), 'kalmo-tiles-frames-'));
  const session = startHost({ host: scene.host, core: scene.core, content: scene.content, systemDir: dir, saveDir: dir,
    assetsDir: dir, playlistDir: dir });
  const frames = [];
  await new Promise((resolve) => session.on('video', (frame) => {
    if (frames.length < count) frames.push({ width: frame.width, height: frame.height, rgba: new Uint8Array(frame.rgba) });
    if (frames.length === count) resolve();
  }));
  await session.quit({ timeoutMs: 2000 });
  rmSync(dir, { recursive: true, force: true });
  return frames;
}

// Bytes and CPU per frame for each tile side and deflate level; then, for the bridge's own choice (16, level 1),
// each frame's encoding and its decoding (DecompressionStream, as in the browser) timed on the wall clock: what
// tiles add to a frame's way, whatever the network.
async function encoderFigures(frames) {
  const row = [];
  for (const tileSide of [8, 16, 32]) {
    for (const level of [1, 6]) {
      const encoder = new TileEncoder({ tileSide, deflate: (bytes) => deflateRawSync(bytes, { level }) });
      let bytes = 0;
      const started = process.cpuUsage();
      for (const frame of frames) bytes += encoder.encode(frame)?.message.length ?? 0;
      const used = process.cpuUsage(started);
      row.push(`${tileSide}/${level}: ${(bytes / frames.length / 1024).toFixed(1)} KiB ${((used.user + used.system) / 1000 / frames.length).toFixed(2)} ms`);
    }
  }
  const encoder = new TileEncoder({ deflate: (bytes) => deflateRawSync(bytes, { level: 1 }) });
  const decoder = new TileDecoder();
  const encoding = [];
  const decoding = [];
  for (const frame of frames) {
    const started = performance.now();
    const encoded = encoder.encode(frame);
    encoding.push(performance.now() - started);
    if (!encoded) continue;
    const received = performance.now();
    await decoder.decode(encoded.message);
    decoding.push(performance.now() - received);
  }
  const spread = (values) => `${fixed(percentile(values, 0.5), 2)} / ${fixed(percentile(values, 0.99), 2)}`;
  return [row.join('  '), `  16/1 per frame, p50 / p99 ms: encode ${spread(encoding)}, decode ${spread(decoding)}`];
}

const fixed = (value, digits = 1) => (Number.isFinite(value) ? value.toFixed(digits) : '-');

async function main() {
  const dir = mkdtempSync(join(tmpdir(), 'kalmo-tiles-bench-'));
  const plan = (name, fields) => {
    const path = join(dir, `${name}.json`);
    writeFileSync(path, JSON.stringify(fields));
    return { host: SCENE_HOST, core: 'none', content: path, plan: fields };
  };
  const scenes = [
    ['demo core 320x240', { host: HOST, core: join(repo, 'build/linux/demo/demo_core.so'), content: join(repo, 'demo/demo_content.txt') }],
    ['room 320x200, walking sprite', plan('room', { scene: 'room', width: 320, height: 200 })],
    ['pan 320x200', plan('pan320', { scene: 'pan', width: 320, height: 200 })],
    ['pan 640x480', plan('pan640', { scene: 'pan', width: 640, height: 480 })],
  ];
  const when = new Date().toISOString().slice(0, 16).replace('T', ' ');
  const lines = [`tiles bench, ${when} UTC, ${cpus().length} processors, load average ${loadavg()[0].toFixed(1)} at start; `
    + `${SECONDS} s per scene and codec after ${WARM_UP_MS / 1000} s of warm-up; raw and tiles alternate`,
  'bytes and CPU are per frame sent, and scaled to 60 fps; fps is what the loaded machine managed',
  'scene                          codec  fps  KiB/s at 60  of raw  bridge CPU at 60  latency p50/p99 ms  bridge part p50/p99 ms  skipped'];
  try {
    for (const [name, scene] of scenes) {
      const results = {};
      for (const codec of ['raw', 'tiles']) {
        const figures = await measure(scene, codec, dir);
        results[codec] = figures;
        const share = codec === 'tiles' ? `${fixed(100 * figures.bytesPerFrame / results.raw.bytesPerFrame)} %` : '';
        const line = `${name.padEnd(30)} ${codec.padEnd(5)} ${fixed(figures.fps).padStart(4)} ${fixed(figures.bytesPerFrame * 60 / 1024, 0).padStart(12)} `
          + `${share.padStart(7)} ${`${fixed(figures.cpuMsPerFrame * 6)} %`.padStart(17)} `
          + `${`${fixed(percentile(figures.latency, 0.5), 2)} / ${fixed(percentile(figures.latency, 0.99), 2)}`.padStart(19)} `
          + `${`${fixed(percentile(figures.bridgeMs, 0.5), 2)} / ${fixed(percentile(figures.bridgeMs, 0.99), 2)}`.padStart(23)} `
          + `${String(figures.skipped).padStart(8)}`;
        console.log(line);
        lines.push(line);
      }
      const added = [0.5, 0.99].map((p) => percentile(results.tiles.latency, p) - percentile(results.raw.latency, p));
      const line = `${''.padEnd(30)} tiles add ${fixed(added[0], 2)} ms at p50, ${fixed(added[1], 2)} ms at p99 (${results.tiles.latency.length} frames paired)`;
      console.log(line);
      lines.push(line);
    }
    lines.push('', 'the codec alone, 120 frames per scene: tile side/deflate level: KiB and CPU ms per frame');
    for (const [name, scene] of scenes) {
      const [table, times] = await encoderFigures(await framesOf(scene, 120));
      const line = `${name.padEnd(30)} ${table}\n${times}`;
      console.log(line);
      lines.push(line);
    }
    writeResultsSection(RESULTS, { name: 'web-tiles', title: 'Web bridge: raw frames against tiles',
      command: `node web/bench/tiles_bench.js --seconds=${SECONDS}`, lines });
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

if (options.viewer) await viewer(options.viewer);
else await main();
