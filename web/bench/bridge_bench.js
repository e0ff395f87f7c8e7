// The web package's bench, each figure beside its baseline in one run:
//   - parser throughput on 640x480 and 320x200 frame streams (an audio
//     block after each frame) fed in 64 KiB chunks, against a baseline that
//     only concatenates the same chunks (goal >= 1.0x), and beside a bare
//     copy of them into memory already in use (no allocation at all);
//   - the bridge's CPU per frame, kalmo-play in its own process relaying
//     the probe core's 640x480 frames at 60 fps to a WebSocket client;
//     goal <= 15 % of one core;
//   - host frame -> WebSocket message latency: a frame whole in the bridge
//     (its last byte read from the host's pipe) to the message event of a
//     client in its own process, on the monotonic clock both share; median
//     and p99; goal p99 <= 2 ms.
// Figures go to the section web-bridge of bench/RESULTS.md.
//
//   node web/bench/bridge_bench.js [--seconds=10] [--results=PATH]
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { cpus, loadavg, tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { performance } from 'node:perf_hooks';
import WebSocket from 'ws';
import { PacketParser } from '../lib/packet_parser.js';
import { createBridgeServer } from '../lib/bridge_server.js';
import { packet } from '../test/node/support/packets.js';
import { writeResultsSection } from './results_section.js';

const repo = fileURLToPath(new URL('../../', import.meta.url));
const options = Object.fromEntries(process.argv.slice(2).map((arg) => {
  const [name, ...value] = arg.replace(/^--/, '').split('=');
  return [name, value.join('=')];
}));
const SECONDS = Number(options.seconds ?? 10);
const RESULTS = options.results ?? join(repo, 'bench/RESULTS.md');
const HOST = join(repo, 'build/linux/kalmo-host');
const PROBE_CORE = join(repo, 'build/linux/tests/cores/probe_core.so');
const CHUNK = 64 * 1024;
const ROUNDS = 15;

// About 64 MiB of frames, each followed by an 800-frame audio block, cut
// into 64 KiB chunks (views of one buffer, as the pipe's reads would be).
function frameStream(width, height) {
  const video = new Uint8Array(8 + width * height * 4);
  new DataView(video.buffer).setUint32(0, width, true);
  new DataView(video.buffer).setUint32(4, height, true);
  for (let i = 8; i < video.length; i++) video[i] = i * 7;
  const audio = new Uint8Array(8 + 800 * 4);
  new DataView(audio.buffer).setUint32(0, 48000, true);
  new DataView(audio.buffer).setUint32(4, 800, true);
  const one = [packet(1, video), packet(2, audio)];
  const perFrame = one[0].length + one[1].length;
  const frames = Math.max(1, Math.floor((64 << 20) / perFrame));
  const stream = new Uint8Array(frames * perFrame);
  for (let i = 0; i < frames; i++) {
    stream.set(one[0], i * perFrame);
    stream.set(one[1], i * perFrame + one[0].length);
  }
  const chunks = [];
  for (let at = 0; at < stream.length; at += CHUNK) chunks.push(stream.subarray(at, at + CHUNK));
  return { chunks, frames, bytes: stream.length };
}

function timeParser(chunks) {
  const started = performance.now();
  const parser = new PacketParser();
  let frames = 0;
  for (const chunk of chunks) {
    for (const packet of parser.push(chunk)) if (packet.type === 'video') frames++;
  }
  parser.end();
  return { ms: performance.now() - started, frames };
}

function timeConcatenation(chunks) {
  const started = performance.now();
  const whole = Buffer.concat(chunks);
  return { ms: performance.now() - started, bytes: whole.length };
}

// One copy of the stream and nothing else: into memory already in use.
function timeCopy(chunks, into) {
  const started = performance.now();
  let at = 0;
  for (const chunk of chunks) {
    into.set(chunk, at);
    at += chunk.length;
  }
  return { ms: performance.now() - started, bytes: at };
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const percentile = (values, p) => [...values].sort((a, b) => a - b)[Math.min(values.length - 1, Math.floor(values.length * p))];

function parserFigures() {
  const lines = [];
  for (const [width, height] of [[640, 480], [320, 200]]) {
    const { chunks, frames, bytes } = frameStream(width, height);
    const into = Buffer.alloc(bytes);
    const parser = [];
    const concatenation = [];
    const copy = [];
    const ratios = { concatenation: [], copy: [] };
    // Alternating rounds, so all see the same machine; each ratio is the
    // median of the rounds' own ratios.
    for (let round = 0; round < ROUNDS; round++) {
      parser.push(timeParser(chunks).ms);
      concatenation.push(timeConcatenation(chunks).ms);
      copy.push(timeCopy(chunks, into).ms);
      ratios.concatenation.push(concatenation.at(-1) / parser.at(-1));
      ratios.copy.push(copy.at(-1) / parser.at(-1));
    }
    const parserMs = median(parser);
    const mbps = (ms) => (bytes / (1 << 20) / (ms / 1000)).toFixed(0);
    lines.push(`parser ${width}x${height}, ${frames} frames + audio, 64 KiB chunks: ${mbps(parserMs)} MiB/s `
      + `(${(frames / (parserMs / 1000)).toFixed(0)} frames/s); concatenation only (Buffer.concat): `
      + `${mbps(median(concatenation))} MiB/s, ratio ${median(ratios.concatenation).toFixed(2)}x (goal >= 1.0x); `
      + `copy into reused memory: ${mbps(median(copy))} MiB/s, ratio ${median(ratios.copy).toFixed(2)}x`);
  }
  return lines;
}

function probeScenario(dir, width, height) {
  const path = join(dir, `bench_${width}x${height}.scn`);
  writeFileSync(path, `av ${width} ${height} 1.333 60 48000\n[every_frame]\nvideo 0 ${width} ${height}\naudio 800\n`);
  return path;
}

function cpuTicks(pid) {
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return Number(fields[11]) + Number(fields[12]);
}

const CLOCK_TICKS = 100;

// kalmo-play in its own process, a client here that only counts frames.
async function bridgeCpu(dir, content) {
  const play = spawn(process.execPath, [join(repo, 'web/bin/kalmo-play.js'), '--core', PROBE_CORE, '--content', content,
    '--host', HOST, '--data', join(dir, 'data')], { stdio: ['ignore', 'pipe', 'ignore'] });
  let out = '';
  play.stdout.on('data', (text) => { out += text; });
  while (!/open (\S+)/.test(out)) await new Promise((resolve) => setTimeout(resolve, 20));
  const url = new URL(out.match(/open (\S+)/)[1]);
  const socket = new WebSocket(`ws://127.0.0.1:${url.port}/ws?token=${url.searchParams.get('token')}`,
    { origin: `http://127.0.0.1:${url.port}` });
  const parser = new PacketParser();
  let frames = 0;
  socket.on('message', (data, binary) => {
    if (!binary) return;
    for (const p of parser.push(new Uint8Array(data))) if (p.type === 'video') frames++;
  });
  await new Promise((resolve) => socket.on('open', resolve));
  while (frames < 30) await new Promise((resolve) => setTimeout(resolve, 20));
  const startTicks = cpuTicks(play.pid);
  const startFrames = frames;
  const started = performance.now();
  await new Promise((resolve) => setTimeout(resolve, SECONDS * 1000));
  const seconds = (performance.now() - started) / 1000;
  const cpuSeconds = (cpuTicks(play.pid) - startTicks) / CLOCK_TICKS;
  const relayed = frames - startFrames;
  socket.close();
  play.kill('SIGTERM');
  await new Promise((resolve) => play.on('exit', resolve));
  return `bridge CPU, 640x480 at 60 fps (${relayed} frames in ${seconds.toFixed(1)} s, ${(relayed / seconds).toFixed(1)} fps): `
    + `${((cpuSeconds / seconds) * 100).toFixed(1)} % of one core, ${((cpuSeconds / relayed) * 1e6).toFixed(0)} us per frame `
    + '(goal <= 15 %)';
}

// A frame's key: its pixel byte count and first 64 pixel bytes (the probe's
// pattern moves with the run number).
const frameKey = (rgba) => `${rgba.length}:${Buffer.from(rgba.buffer, rgba.byteOffset, 64).toString('hex')}`;
const monotonicMs = () => Number(process.hrtime.bigint()) / 1e6;

// The page's side of the latency run, in a process of its own as a browser
// would be: stamps each frame message on the monotonic clock (the same
// clock in every process) and prints the stamps when the socket closes.
function latencyClient(url) {
  const { port, searchParams } = new URL(url);
  const socket = new WebSocket(`ws://127.0.0.1:${port}/ws?token=${searchParams.get('token')}`,
    { origin: `http://127.0.0.1:${port}` });
  const stamps = [];
  socket.on('message', (data, binary) => {
    const arrived = monotonicMs();
    if (binary && data[4] === 1) stamps.push([frameKey(data.subarray(17)), arrived]);
  });
  socket.on('close', () => process.stdout.write(JSON.stringify(stamps)));
}

async function bridgeLatency(dir, content, size) {
  const server = createBridgeServer({ host: HOST, core: PROBE_CORE, content, dataDir: join(dir, 'data'), log: () => {} });
  const url = await server.listen();
  const readAt = new Map();
  const handedOver = [];
  server.on('session', (session) => {
    session.prependListener('video', (frame) => readAt.set(frameKey(frame.rgba), monotonicMs()));
    // Listeners run in order: this one runs once the bridge's send returned.
    session.on('video', (frame) => handedOver.push(monotonicMs() - readAt.get(frameKey(frame.rgba))));
  });
  const client = spawn(process.execPath, [fileURLToPath(import.meta.url), `--client=${url}`], { stdio: ['ignore', 'pipe', 'inherit'] });
  let out = '';
  client.stdout.on('data', (text) => { out += text; });
  const clientDone = new Promise((resolve) => client.on('exit', resolve));
  await new Promise((resolve) => setTimeout(resolve, SECONDS * 1000));
  await server.close();
  await clientDone;
  const delays = JSON.parse(out).filter(([key]) => readAt.has(key)).map(([key, arrived]) => arrived - readAt.get(key));
  const figures = (values) => `median ${median(values).toFixed(3)} ms, p99 ${percentile(values, 0.99).toFixed(3)} ms, `
    + `max ${Math.max(...values).toFixed(3)} ms`;
  return [
    `host frame -> WebSocket message, ${size} at 60 fps (${delays.length} frames; frame whole in the bridge `
      + `to the message event of a client process): ${figures(delays)} (goal p99 <= 2 ms)`,
    `  of which the bridge's own part (frame whole -> handed to the socket): ${figures(handedOver)}`,
  ].join('\n');
}

async function main() {
  const dir = mkdtempSync(join(tmpdir(), 'kalmo-bridge-bench-'));
  try {
    const when = new Date().toISOString().slice(0, 16).replace('T', ' ');
    // Other work on the machine moves these figures: the load says how much.
    const lines = [`bridge bench, ${when} UTC, ${cpus().length} processors, load average ${loadavg()[0].toFixed(1)} at start`,
      ...parserFigures()];
    for (const line of lines) console.log(line);
    const measures = [
      () => bridgeCpu(dir, probeScenario(dir, 640, 480)),
      () => bridgeLatency(dir, probeScenario(dir, 640, 480), '640x480'),
      () => bridgeLatency(dir, probeScenario(dir, 320, 200), '320x200'),
    ];
    for (const measure of measures) {
      const line = await measure();
      console.log(line);
      lines.push(line);
    }
    writeResultsSection(RESULTS, { name: 'web-bridge', title: 'Web package (Node: parser and kalmo-play bridge)',
      command: `node web/bench/bridge_bench.js --seconds=${SECONDS}`, lines });
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
}

if (options.client) latencyClient(options.client);
else await main();
