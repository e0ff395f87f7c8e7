// The browser player's bench: Debian's chromium driven over the DevTools
// protocol directly (only the Runtime, Target and Input domains; the
// Network domain stays off, because a driver that records the network copies
// every WebSocket frame and caps the page at a few tens of MB/s), against
// kalmo-play and the probe and demo cores. It measures, in one run:
//   - core frame → canvas at 60 fps, 320x200 and 640x480: median and p99,
//     split into core → page message (host pipe, bridge, WebSocket) and
//     page message → drawn; goal p99 ≤ 2 frame periods;
//   - the 2D canvas against WebGL2: JS time per draw and frames dropped;
//   - page input event → the core's next input poll, keys and mouse motion;
//   - audio: the buffer, how far the sound trails the picture, and underruns
//     over 60 s of the demo tune, at the usual 30 ms target and the old 50 ms,
//     on a quiet machine and beside two busy processes.
//   - the stream in its worker against the main-thread path, with the page's
//     main thread blocked (100 ms every 500 ms for 20 s, then 1 s), alone and
//     beside two busy processes: frames drawn during the blocks, the longest
//     time without a draw, message -> drawn, underruns, sound behind picture;
//   - the sound beside two busy processes for five minutes: underruns after
//     the first 10 s (goal at most 1), the buffered level, and how far the
//     target climbed to follow the late blocks (section web-player-loaded-sound).
// Times cross processes through one clock: the probe records CLOCK_MONOTONIC
// (Node's hrtime), and the page's epoch clock is tied to it by the round
// trip of least delay among twenty. Figures go to the section web-player of
// bench/RESULTS.md.
//
//   node web/bench/browser_bench.js [--audio-seconds=60] [--stream-seconds=10] [--blocks=40] [--results=PATH]
//   node web/bench/browser_bench.js --only=threads   (the blocked-page table alone, printed, not written)
//   node web/bench/browser_bench.js --only=loaded-sound [--loaded-sound-seconds=300]   (that section alone, written)

import { spawn } from 'node:child_process';
import { join } from 'node:path';
import os from 'node:os';
import { writeResultsSection } from './results_section.js';
import WebSocket from 'ws';
import {
  build, repoRoot, CHROMIUM_ARGS, withPlay, temporaryDirectory, writeStreamScenario, recordEntries, readRecord,
  probePixelWord, waitFor, clockOffset, writeSteadyScenario, blockMainThread,
} from '../test/browser/support/browser_harness.js';

const options = Object.fromEntries(process.argv.slice(2).map((arg) => arg.replace(/^--/, '').split('=')));
const AUDIO_SECONDS = Number(options['audio-seconds'] ?? 60);
const STREAM_SECONDS = Number(options['stream-seconds'] ?? 10);
const RESULTS = options.results ?? join(repoRoot, 'bench/RESULTS.md');
const FRAME_MS = 1000 / 60;
const BLOCKS = Number(options.blocks ?? 40);
const LOADED_SOUND_SECONDS = Number(options['loaded-sound-seconds'] ?? 300);
// Sound figures count from this long after the sound started (the page's own start-up).
const LOADED_SOUND_SETTLE_MS = 10000;

// A minimal DevTools client: one browser, pages attached in flat mode.
class Browser {
  static async launch() {
    const profile = temporaryDirectory('bench-profile');
    const child = spawn(process.env.CHROMIUM ?? '/usr/bin/chromium',
      ['--headless', '--remote-debugging-port=0', `--user-data-dir=${profile}`, ...CHROMIUM_ARGS, 'about:blank'],
      { stdio: ['ignore', 'ignore', 'pipe'] });
    const endpoint = await new Promise((resolve, reject) => {
      let text = '';
      child.stderr.on('data', (chunk) => {
        text += chunk;
        const match = text.match(/DevTools listening on (ws:\/\/\S+)/);
        if (match) resolve(match[1]);
      });
      child.on('exit', () => reject(new Error(`chromium ended: ${text}`)));
    });
    const browser = new Browser(child, new WebSocket(endpoint, { perMessageDeflate: false, maxPayload: 0 }));
    await new Promise((resolve) => browser.socket.once('open', resolve));
    return browser;
  }

  constructor(child, socket) {
    this.child = child;
    this.socket = socket;
    this.nextId = 1;
    this.waiting = new Map();
    socket.on('message', (data) => {
      const message = JSON.parse(data);
      const pending = this.waiting.get(message.id);
      if (!pending) return;
      this.waiting.delete(message.id);
      if (message.error) pending.reject(new Error(message.error.message));
      else pending.resolve(message.result);
    });
  }

  send(method, params = {}, sessionId = undefined) {
    const id = this.nextId++;
    this.socket.send(JSON.stringify({ id, method, params, sessionId }));
    return new Promise((resolve, reject) => this.waiting.set(id, { resolve, reject }));
  }

  async open(url) {
    const { targetId } = await this.send('Target.createTarget', { url: 'about:blank' });
    const { sessionId } = await this.send('Target.attachToTarget', { targetId, flatten: true });
    const page = new Page(this, targetId, sessionId);
    await page.send('Page.navigate', { url });
    await waitFor(() => page.evaluate('window.kalmoPlayer !== undefined').catch(() => false), { what: 'the player' });
    return page;
  }

  async close() {
    this.socket.close();
    this.child.kill('SIGTERM');
    await new Promise((resolve) => this.child.once('exit', resolve));
  }
}

class Page {
  constructor(browser, targetId, sessionId) {
    Object.assign(this, { browser, targetId, sessionId });
  }

  send(method, params) {
    return this.browser.send(method, params, this.sessionId);
  }

  async evaluate(expression) {
    const { result, exceptionDetails } = await this.send('Runtime.evaluate',
      { expression, awaitPromise: true, returnByValue: true });
    if (exceptionDetails) throw new Error(exceptionDetails.exception?.description ?? exceptionDetails.text);
    return result.value;
  }

  // Offset to add to the page's epoch milliseconds to get Node's monotonic milliseconds.
  clockOffset() {
    return clockOffset((expression) => this.evaluate(expression));
  }

  close() {
    return this.browser.send('Target.closeTarget', { targetId: this.targetId });
  }
}

function percentile(values, fraction) {
  if (values.length === 0) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(fraction * sorted.length))];
}

const median = (values) => percentile(values, 0.5);
const fixed = (value, digits = 2) => (Number.isFinite(value) ? value.toFixed(digits) : 'n/a');

// Core run number of a frame from its first two pixels, as the probe draws them.
function runIndex(runs) {
  const index = new Map();
  const rgb = (word) => word & 0xffffff;
  for (let run = 1; run <= runs; run++) index.set(`${rgb(probePixelWord(0, 0, run))}:${rgb(probePixelWord(1, 0, run))}`, run);
  return index;
}

// On the main-thread path (thread=main), where the bench can reach the painter.
const HOOK_DRAWS = `(() => {
  const painter = window.kalmoPlayer.stream.stream.painter;
  window.benchDraws = [];
  const renderer = painter.renderer;
  const draw = renderer.draw.bind(renderer);
  // Reading one pixel back waits until the upload has really landed (WebGL's is asynchronous).
  const settle = renderer.gl ? () => renderer.gl.readPixels(0, 0, 1, 1, renderer.gl.RGBA, renderer.gl.UNSIGNED_BYTE, new Uint8Array(4))
    : () => renderer.context.getImageData(0, 0, 1, 1);
  renderer.draw = (frame) => {
    const started = performance.now();
    draw(frame);
    const called = performance.now();
    settle();
    window.benchDrawMs = [called - started, performance.now() - started];
  };
  painter.onFrameDrawn = (frame, arrivedAt, drawnAt) => {
    const p = frame.rgba;
    window.benchDraws.push([(p[0] << 16) | (p[1] << 8) | p[2], (p[4] << 16) | (p[5] << 8) | p[6],
      performance.timeOrigin + arrivedAt, performance.timeOrigin + drawnAt, ...window.benchDrawMs]);
  };
  return true;
})()`;

async function measureStream(browser, dir, width, height, renderer) {
  const files = writeStreamScenario(dir, width, height);
  return withPlay({ core: build.probeCore, content: files.scenario, data: dir }, async (play) => {
    const page = await browser.open(`${await play.url}&renderer=${renderer}&thread=main`);
    await waitFor(() => page.evaluate('window.kalmoPlayer.stats.video.shown > 30'), { what: 'frames' });
    await page.evaluate(HOOK_DRAWS);
    const before = await page.evaluate('window.kalmoPlayer.stats.video');
    await new Promise((resolve) => setTimeout(resolve, STREAM_SECONDS * 1000));
    const draws = await page.evaluate('window.benchDraws');
    const after = await page.evaluate('window.kalmoPlayer.stats');
    const { offset, delay } = await page.clockOffset();
    await page.close();
    await waitFor(() => readRecord(files.record).at(-1) === 'call deinit', { what: 'the host to stop' });
    const runTimes = new Map(recordEntries(files.record, 'time').map((entry) => [entry.frame, entry.us / 1000]));
    const index = runIndex(runTimes.size + 10);
    const toCore = [];
    const toCanvas = [];
    const inPage = [];
    const drawMs = [];
    const landedMs = [];
    for (const [first, second, arrived, drawn, draw, landed] of draws) {
      const run = index.get(`${first}:${second}`);
      if (!run || !runTimes.has(run)) continue;
      const coreTime = runTimes.get(run);
      toCore.push(arrived + offset - coreTime);
      toCanvas.push(drawn + offset - coreTime);
      inPage.push(drawn - arrived);
      drawMs.push(draw);
      landedMs.push(landed);
    }
    const shown = after.video.shown - before.shown;
    return {
      width, height, renderer: after.video.renderer, frames: toCanvas.length, shown,
      dropped: after.video.dropped - before.dropped, received: after.video.received - before.received,
      bridge: after.bridge, clockError: delay / 2,
      toCanvas: { median: median(toCanvas), p99: percentile(toCanvas, 0.99) },
      toPage: { median: median(toCore), p99: percentile(toCore, 0.99) },
      inPage: { median: median(inPage), p99: percentile(inPage, 0.99) },
      drawMs: { median: median(drawMs), p99: percentile(drawMs, 0.99) },
      landedMs: { median: median(landedMs), p99: percentile(landedMs, 0.99) },
    };
  });
}

// Input: a key press or a 5 px motion every 100 ms through the real input pipeline (Input domain).
async function measureInput(browser, dir) {
  const files = writeStreamScenario(dir, 320, 200);
  return withPlay({ core: build.probeCore, content: files.scenario, data: dir }, async (play) => {
    const page = await browser.open(await play.url);
    await waitFor(() => page.evaluate('window.kalmoPlayer.stats.video.shown > 10'), { what: 'frames' });
    const box = await page.evaluate(`(() => { const r = window.kalmoPlayer.display.canvas.getBoundingClientRect();
      return { x: r.left + r.width / 2, y: r.top + r.height / 2 }; })()`);
    const mouse = (type, x, y, extra = {}) => page.send('Input.dispatchMouseEvent', { type, x, y, ...extra });
    await mouse('mouseMoved', box.x, box.y);
    await mouse('mousePressed', box.x, box.y, { button: 'left', clickCount: 1 });
    await mouse('mouseReleased', box.x, box.y, { button: 'left', clickCount: 1 });
    await waitFor(() => page.evaluate('window.kalmoPlayer.stats.input.locked'), { what: 'the pointer lock' });
    await page.evaluate(`(() => {
      window.benchEvents = [];
      const note = (kind) => (event) => window.benchEvents.push([kind, performance.timeOrigin + event.timeStamp]);
      document.addEventListener('mousemove', note('mouse'), true);
      document.addEventListener('keydown', note('key'), true);
      return true;
    })()`);
    // The first motion after a lock is dropped by the player; spend it before measuring.
    let x = box.x;
    await mouse('mouseMoved', x += 1, box.y);
    await new Promise((resolve) => setTimeout(resolve, 200));
    for (let i = 0; i < 40; i++) {
      await mouse('mouseMoved', x += 5, box.y);
      await new Promise((resolve) => setTimeout(resolve, 50));
      await page.send('Input.dispatchKeyEvent', { type: 'keyDown', code: 'KeyA', key: 'a', text: 'a', windowsVirtualKeyCode: 65 });
      await page.send('Input.dispatchKeyEvent', { type: 'keyUp', code: 'KeyA', key: 'a', windowsVirtualKeyCode: 65 });
      await new Promise((resolve) => setTimeout(resolve, 50 + Math.random() * 20));
    }
    const events = await page.evaluate('window.benchEvents');
    const { offset } = await page.clockOffset();
    await page.close();
    await waitFor(() => readRecord(files.record).at(-1) === 'call deinit', { what: 'the host to stop' });
    const runTimes = new Map(recordEntries(files.record, 'time').map((entry) => [entry.frame, entry.us / 1000]));
    const motionRuns = recordEntries(files.record, 'mouse').filter((entry) => entry.x !== 0).map((entry) => entry.frame);
    // A key reaches the callback between runs (in_run=0 after run N): the core has it from run N + 1.
    const keyRuns = recordEntries(files.record, 'keyboard').filter((entry) => entry.down === 1)
      .map((entry) => entry.frame + (entry.in_run ? 0 : 1));
    const latencies = { mouse: [], key: [] };
    const runsFor = { mouse: motionRuns, key: keyRuns };
    for (const kind of ['mouse', 'key']) {
      const times = events.filter(([k]) => k === kind).map(([, t]) => t + offset);
      // Each event is matched with the first run that saw that kind of input after it.
      const runs = runsFor[kind].map((run) => runTimes.get(run)).filter((t) => t !== undefined);
      let next = 0;
      for (const time of times.slice(kind === 'mouse' ? 1 : 0)) {
        while (next < runs.length && runs[next] < time) next++;
        if (next < runs.length) latencies[kind].push(runs[next++] - time);
      }
    }
    return Object.fromEntries(Object.entries(latencies).map(([kind, values]) => [kind,
      { count: values.length, median: median(values), p99: percentile(values, 0.99),
        withinFrame: values.filter((value) => value <= FRAME_MS).length }]));
  });
}

// A player of the page's own, remade with these options once the first has ended its session.
const REMAKE_PLAYER = (options) => `(async () => {
  window.kalmoPlayer.destroy();
  const { KalmoPlayer } = await import('/player/kalmo_player.js');
  const url = \`ws://\${location.host}/ws?token=\${new URLSearchParams(location.search).get('token')}\`;
  for (;;) {
    await new Promise((resolve) => setTimeout(resolve, 500));
    window.kalmoPlayer = new KalmoPlayer(url, document.getElementById('stage'), ${JSON.stringify(options)});
    await new Promise((resolve) => setTimeout(resolve, 1500));
    if (window.kalmoPlayer.stats.stages.includes('running')) return true;
    window.kalmoPlayer.destroy();
  }
})()`;

// Two busy processes beside the run, as a machine whose other work takes both cores. Each ends
// itself once this process is gone, so a bench that is killed leaves no loop behind.
const HOG = `const parent = ${process.pid}; for (let i = 1; ; i++) if (i % 1e7 === 0 && process.ppid !== parent) process.exit();`;
function startHog() {
  const hogs = [1, 2].map(() => spawn(process.execPath, ['-e', HOG], { stdio: 'ignore' }));
  return () => Promise.all(hogs.map((hog) => new Promise((resolve) => { hog.once('exit', resolve); hog.kill('SIGKILL'); })));
}

// The demo tune at one jitter-buffer target, quiet or beside the hog.
async function measureAudio(browser, dir, { targetMs, loaded }) {
  return withPlay({ core: build.demoCore, content: build.demoContent, data: dir }, async (play) => {
    const page = await browser.open(await play.url);
    await page.evaluate(REMAKE_PLAYER({ audioTargetMs: targetMs }));
    await waitFor(() => page.evaluate('window.kalmoPlayer.stats.audio.playing'), { timeout: 60000, what: 'sound' });
    // The first two seconds are the page's start-up (the player's own notion); the rest is steady state.
    await new Promise((resolve) => setTimeout(resolve, 2000));
    const stopHog = loaded ? startHog() : null;
    await page.evaluate(`(() => { window.benchAudio = [];
      setInterval(() => window.benchAudio.push(window.kalmoPlayer.stats), 100); return true; })()`);
    const before = await page.evaluate('window.kalmoPlayer.stats.audio');
    await new Promise((resolve) => setTimeout(resolve, AUDIO_SECONDS * 1000));
    const stats = await page.evaluate('window.benchAudio');
    await stopHog?.();
    await page.close();
    const samples = stats.map((s) => s.audio);
    const last = samples.at(-1);
    // How far the sound is heard behind the picture: its queue and output against the frame's way to the canvas.
    const trails = stats.filter((s) => Number.isFinite(s.video.arrivalToDrawMs))
      .map((s) => s.audio.bufferedMs + s.audio.outputLatencyMs - s.video.arrivalToDrawMs);
    const delta = (key) => last[key] - before[key];
    return {
      targetMs, loaded, load: os.loadavg()[0], seconds: AUDIO_SECONDS, contextRate: last.contextRate, outputLatencyMs: last.outputLatencyMs,
      finalTargetMs: last.targetMs,
      buffered: { median: median(samples.map((s) => s.bufferedMs)), p99: percentile(samples.map((s) => s.bufferedMs), 0.99) },
      trails: { median: median(trails), p99: percentile(trails, 0.99) },
      underruns: delta('underruns'), stalledUnderruns: delta('stalledUnderruns'), lateBlocks: delta('lateBlocks'),
      cuts: delta('cuts'), cutFrames: delta('cutFrames'),
      consumedPerSecond: delta('framesConsumed') / AUDIO_SECONDS,
    };
  });
}

// The page's main thread blocked as a front-end's work would, with the stream in its worker or on the main thread.
async function measureBlocked(browser, dir, thread, hog) {
  const { scenario } = writeSteadyScenario(dir);
  return withPlay({ core: build.probeCore, content: scenario, data: dir }, async (play) => {
    const page = await browser.open(`${await play.url}&thread=${thread}`);
    await waitFor(() => page.evaluate('window.kalmoPlayer.stats.audio.framesConsumed > 96000'), { what: 'two seconds of sound' });
    const stopHogs = hog ? startHog() : null;
    try {
      await page.evaluate(`(() => { window.benchAudio = [];
        setInterval(() => window.benchAudio.push(window.kalmoPlayer.stats.audio), 100); return true; })()`);
      const before = await page.evaluate('window.kalmoPlayer.stats.audio');
      const spans = await page.evaluate(`(${blockMainThread})({ everyMs: 500, blockMs: 100, count: ${BLOCKS}, longMs: 1000 })`);
      await new Promise((resolve) => setTimeout(resolve, 500));
      const after = await page.evaluate('window.kalmoPlayer.stats.audio');
      const samples = await page.evaluate('window.benchAudio');
      const { drawn } = await page.evaluate('window.kalmoPlayer.timeline()');
      await page.close();
      const from = spans[0][0];
      // Past the last block, so the first frame drawn after it closes the last gap.
      const to = spans.at(-1)[1] + 400;
      const inRun = drawn.filter(([, at]) => at >= from && at <= to);
      const blockedMs = spans.reduce((sum, [start, end]) => sum + end - start, 0);
      const drawnInBlocks = inRun.filter(([, at]) => spans.some(([start, end]) => at > start && at < end)).length;
      let longestGap = 0;
      for (let i = 1; i < inRun.length; i++) longestGap = Math.max(longestGap, inRun[i][1] - inRun[i - 1][1]);
      const toDrawn = inRun.map(([arrived, at]) => at - arrived);
      const trails = samples.map((sample) => sample.trailsPictureMs).filter(Number.isFinite);
      return {
        thread, hog, blocks: spans.length, drawnPerBlockedSecond: drawnInBlocks / (blockedMs / 1000), longestGap,
        toDrawn: { median: median(toDrawn), p99: percentile(toDrawn, 0.99) },
        underruns: after.underruns - before.underruns, trails: median(trails),
      };
    } finally {
      await stopHogs?.();
    }
  });
}

// The demo tune in the player, the hog started once it sounds; figures over LOADED_SOUND_SECONDS from 10 s later.
const SAMPLE_LOADED_SOUND = `(() => { window.benchLoadedSound = [];
  setInterval(() => { const a = window.kalmoPlayer.stats.audio;
    window.benchLoadedSound.push({ bufferedMs: a.bufferedMs, targetMs: a.targetMs, followedLateMs: a.followedLateMs,
      targetCeilingMs: a.targetCeilingMs, trailsPictureMs: a.trailsPictureMs }); }, 100);
  return true; })()`;

// On a machine this busy kalmo-play may miss the harness's ten seconds to start: a few tries.
async function measureLoadedSound(browser, dir) {
  for (let attempt = 1; ; attempt++) {
    try {
      return await measureLoadedSoundOnce(browser, dir);
    } catch (error) {
      if (attempt === 4 || !/printed no URL/.test(error.message)) throw error;
      console.error(`kalmo-play did not start in time (try ${attempt}); again`);
    }
  }
}

async function measureLoadedSoundOnce(browser, dir) {
  return withPlay({ core: build.demoCore, content: build.demoContent, data: dir }, async (play) => {
    const page = await browser.open(await play.url);
    await waitFor(() => page.evaluate('window.kalmoPlayer.stats.audio.framesConsumed > 0'), { timeout: 120000, what: 'sound' });
    const stopHogs = startHog();
    const loads = [os.loadavg()[0]];
    const loadTimer = setInterval(() => loads.push(os.loadavg()[0]), 5000);
    try {
      await new Promise((resolve) => setTimeout(resolve, LOADED_SOUND_SETTLE_MS));
      const before = await page.evaluate('window.kalmoPlayer.stats.audio');
      await page.evaluate(SAMPLE_LOADED_SOUND);
      await new Promise((resolve) => setTimeout(resolve, LOADED_SOUND_SECONDS * 1000));
      const after = await page.evaluate('window.kalmoPlayer.stats.audio');
      const samples = await page.evaluate('window.benchLoadedSound');
      await page.close();
      loads.push(os.loadavg()[0]);
      const delta = (key) => after[key] - before[key];
      const of = (key) => samples.map((sample) => sample[key]);
      const targets = of('targetMs');
      return {
        seconds: LOADED_SOUND_SECONDS, loads, contextRate: after.contextRate, outputLatencyMs: after.outputLatencyMs,
        underruns: delta('underruns'), stalledUnderruns: delta('stalledUnderruns'), silences: delta('silences'),
        dryOuts: delta('dryOuts'), lateBlocks: delta('lateBlocks'), maxLateMs: after.maxLateMs, cuts: delta('cuts'),
        cutFrames: delta('cutFrames'), lateCallbacks: delta('lateCallbacks'), consumedPerSecond: delta('framesConsumed') / LOADED_SOUND_SECONDS,
        buffered: { median: median(of('bufferedMs')), p99: percentile(of('bufferedMs'), 0.99) },
        trails: { median: median(of('trailsPictureMs')), p99: percentile(of('trailsPictureMs'), 0.99) },
        target: { low: Math.min(...targets), high: Math.max(...targets), end: after.targetMs, ceiling: Math.max(...of('targetCeilingMs')) },
        followedLateMs: Math.max(...of('followedLateMs')),
      };
    } finally {
      clearInterval(loadTimer);
      await stopHogs();
    }
  });
}

function loadedSoundReport(sound) {
  const when = new Date().toISOString().slice(0, 16).replace('T', ' ');
  const { loads } = sound;
  return [
    `web player bench, ${when} UTC, ${os.cpus().length} processors`,
    'command: node web/bench/browser_bench.js' + (process.argv.length > 2 ? ` ${process.argv.slice(2).join(' ')}` : ''),
    `The demo tune in the player beside two busy processes (node -e 'for (;;) {}'), started once it sounded; ${sound.seconds} s`,
    `counted from ${LOADED_SOUND_SETTLE_MS / 1000} s after that; context ${sound.contextRate} Hz, output latency ${fixed(sound.outputLatencyMs, 1)} ms`,
    `machine's 1-minute load average: ${fixed(loads[0], 1)} at the start, ${fixed(loads.at(-1), 1)} at the end, ` +
      `${fixed(Math.min(...loads), 1)} to ${fixed(Math.max(...loads), 1)} during (the bench's own load included)`,
    '',
    `underruns ${sound.underruns} (goal at most 1: ${sound.underruns <= 1 ? 'met' : 'NOT met'}; ${sound.stalledUnderruns} after a late block)`,
    `dry-outs of the ring ${sound.dryOuts}, of which silences ${sound.silences} (the tune never pauses: a silence here is a stall`,
    ' whose sound never came, as when the host drops a backlog of over half a second)',
    `buffered med/p99 ${fixed(sound.buffered.median, 1)} / ${fixed(sound.buffered.p99, 1)} ms; ` +
      `sound behind the picture med/p99 ${fixed(sound.trails.median, 1)} / ${fixed(sound.trails.p99, 1)} ms`,
    `target ${sound.target.low} to ${sound.target.high} ms (${sound.target.end} ms at the end; highest ceiling in force ` +
      `${sound.target.ceiling} ms), following lateness of up to ${fixed(sound.followedLateMs, 0)} ms`,
    `late blocks ${sound.lateBlocks} (the worst ${fixed(sound.maxLateMs, 0)} ms behind its run's schedule); late audio callbacks ` +
      `${sound.lateCallbacks}; cuts ${sound.cuts} (${sound.cutFrames} frames); ${fixed(sound.consumedPerSecond, 0)} frames played a second`,
  ];
}

function blockedTable(blocked) {
  const lines = [];
  lines.push(`The page's main thread blocked 100 ms every 500 ms (${BLOCKS} times), then 1 s; probe 160x100 at 60 fps with sound`);
  lines.push('stream thread  beside       drawn per blocked s   longest without a draw   msg->drawn med/p99   underruns   sound behind picture');
  for (const b of blocked) {
    lines.push(`${b.thread.padEnd(14)} ${(b.hog ? '2 busy procs' : 'nothing').padEnd(12)} ${fixed(b.drawnPerBlockedSecond, 1).padStart(19)}` +
      `   ${`${fixed(b.longestGap, 0)} ms`.padStart(22)}   ${fixed(b.toDrawn.median).padStart(8)} / ${fixed(b.toDrawn.p99).padEnd(8)}` +
      `   ${String(b.underruns).padStart(9)}   ${`${fixed(b.trails, 1)} ms`.padStart(20)}`);
  }
  const [worker, main] = blocked;
  lines.push(`frames drawn while blocked, worker / main thread: ${fixed(worker.drawnPerBlockedSecond / Math.max(main.drawnPerBlockedSecond, 0.1), 0)}x ` +
    '(the main-thread path, like ImageBitmaps handed to the page, cannot show a frame while the page is blocked)');
  return lines;
}

function report(streams, renderers, input, audio, blocked) {
  const lines = [];
  const when = new Date().toISOString().slice(0, 16).replace('T', ' ');
  lines.push(`web player bench, ${when} UTC, ${os.cpus().length} processors, load average ${os.loadavg()[0].toFixed(1)} at the end`);
  lines.push('command: node web/bench/browser_bench.js' + (process.argv.length > 2 ? ` ${process.argv.slice(2).join(' ')}` : ''));
  lines.push('chromium headless over the DevTools protocol, Network domain off; probe core at 60 fps, XRGB8888');
  lines.push('');
  lines.push(`Core frame -> canvas, ms (${STREAM_SECONDS} s per size, 2D canvas; goal p99 <= ${fixed(2 * FRAME_MS, 1)})`);
  lines.push('size       core->page msg med/p99   page msg->drawn med/p99   core->canvas med/p99   shown  dropped(page)  goal');
  for (const s of streams) {
    lines.push(`${`${s.width}x${s.height}`.padEnd(10)} ${fixed(s.toPage.median).padStart(8)} / ${fixed(s.toPage.p99).padEnd(8)}` +
      `     ${fixed(s.inPage.median).padStart(8)} / ${fixed(s.inPage.p99).padEnd(8)}      ` +
      `${fixed(s.toCanvas.median).padStart(7)} / ${fixed(s.toCanvas.p99).padEnd(8)}   ${String(s.shown).padStart(5)}  ` +
      `${String(s.dropped).padStart(6)}         ${s.toCanvas.p99 <= 2 * FRAME_MS ? 'met' : 'NOT met'}`);
  }
  lines.push(`(clock tie error at most ${fixed(Math.max(...streams.map((s) => s.clockError)), 2)} ms; core->page msg holds the host's`);
  lines.push(' pipe, the bridge and the WebSocket; the bridge bench, section web-bridge, times the bridge alone)');
  lines.push('');
  lines.push(`Renderer at 640x480, 60 fps (${STREAM_SECONDS} s each), ms per frame: the draw call, and the call until`);
  lines.push('its pixels are readable (a one-pixel read-back, which waits for WebGL\'s asynchronous upload)');
  lines.push('renderer   call med   call p99   landed med   landed p99   dropped(page)');
  for (const r of renderers) {
    lines.push(`${r.renderer.padEnd(9)} ${fixed(r.drawMs.median, 3).padStart(9)}  ${fixed(r.drawMs.p99, 3).padStart(9)}` +
      `  ${fixed(r.landedMs.median, 3).padStart(11)}  ${fixed(r.landedMs.p99, 3).padStart(11)}   ${String(r.dropped).padStart(13)}`);
  }
  const [twoD, webgl] = renderers;
  lines.push(`2D / WebGL landed time ratio: ${fixed(twoD.landedMs.median / webgl.landedMs.median)}x (below 1: 2D is faster)`);
  lines.push('');
  lines.push(`Input event in the page -> the core's next input poll, ms (goal: within one frame, ${fixed(FRAME_MS, 1)})`);
  for (const [kind, figures] of Object.entries(input)) {
    lines.push(`${kind.padEnd(6)} median ${fixed(figures.median)}  p99 ${fixed(figures.p99)}  within a frame ` +
      `${figures.withinFrame}/${figures.count}`);
  }
  lines.push('');
  lines.push(`Audio, demo tune, ${audio[0].seconds} s steady per run (context ${audio[0].contextRate} Hz, ` +
    `output latency ${fixed(audio[0].outputLatencyMs, 1)} ms); load: the machine's 1-minute load average after the run`);
  lines.push('target  beside the run  load  buffered med/p99 ms  trails picture med/p99 ms  underruns (stream late)  late blocks' +
    '  cuts (frames)  target at end  frames/s');
  for (const a of audio) {
    lines.push(`${String(a.targetMs).padStart(4)} ms  ${(a.loaded ? '2 busy loops' : 'nothing').padEnd(13)}  ` +
      `${fixed(a.load, 1).padStart(4)}  ` +
      `${fixed(a.buffered.median, 1).padStart(8)} / ${fixed(a.buffered.p99, 1).padEnd(8)}  ` +
      `${fixed(a.trails.median, 1).padStart(12)} / ${fixed(a.trails.p99, 1).padEnd(10)}  ` +
      `${String(a.underruns).padStart(9)} (${a.stalledUnderruns})${' '.repeat(11)}${String(a.lateBlocks).padStart(5)}  ` +
      `${String(a.cuts).padStart(6)} (${a.cutFrames})  ${String(a.finalTargetMs).padStart(10)} ms  ${fixed(a.consumedPerSecond, 0)}`);
  }
  lines.push('(trails picture: buffered + output latency - the frame\'s arrival-to-draw time; a late block reached the');
  lines.push(' page more than 10 ms behind its run\'s schedule, and an underrun it ended counts as the stream\'s)');
  lines.push('', ...blockedTable(blocked));
  return lines;
}

function writeSection(lines, name = 'web-player', title = 'Web player (browser)') {
  writeResultsSection(RESULTS, { name, title, lines });
}

const LOADED_SOUND_SECTION = ['web-player-loaded-sound', 'Web player: sound beside a busy machine'];

async function main() {
  const dir = temporaryDirectory('bench');
  const browser = await Browser.launch();
  try {
    if (options.only === 'loaded-sound') {
      const lines = loadedSoundReport(await measureLoadedSound(browser, dir));
      console.log(lines.join('\n'));
      writeSection(lines, ...LOADED_SOUND_SECTION);
      return;
    }
    const blocked = [];
    for (const hog of [false, true]) {
      for (const thread of ['worker', 'main']) blocked.push(await measureBlocked(browser, dir, thread, hog));
    }
    if (options.only === 'threads') {
      console.log([`load average ${os.loadavg()[0].toFixed(1)} at the end`, ...blockedTable(blocked)].join('\n'));
      return;
    }
    const streams = [];
    for (const [width, height] of [[320, 200], [640, 480]]) streams.push(await measureStream(browser, dir, width, height, '2d'));
    const renderers = [streams[1], await measureStream(browser, dir, 640, 480, 'webgl')];
    const input = await measureInput(browser, dir);
    const audio = [];
    for (const loaded of [false, true]) {
      for (const targetMs of [30, 50]) audio.push(await measureAudio(browser, dir, { targetMs, loaded }));
    }
    const lines = report(streams, renderers, input, audio, blocked);
    console.log(lines.join('\n'));
    writeSection(lines);
    const soundLines = loadedSoundReport(await measureLoadedSound(browser, dir));
    console.log(['', ...soundLines].join('\n'));
    writeSection(soundLines, ...LOADED_SOUND_SECTION);
  } finally {
    await browser.close();
  }
}

await main();
