// The LAN bench: the demo core played by Chromium in a network namespace
// standing for a phone, over a veth link limited to 20 Mbit/s each way
// (test/browser/support/lan_network.js), from a bridge serving HTTPS on the
// machine's end of the link, with frames sent raw and as tiles side by side
// in one run. For each it gives frame -> canvas (the bridge has the host's
// frame whole -> the page has drawn it) median and p99, frames drawn a
// second, the frames the bridge skipped for a backed-up link, and the video
// bytes sent a second.
//
// Frames are told apart by a hash of their pixels, taken by the bridge's
// process when the host's frame arrives and by the page when it draws one
// (the stream runs on the page's main thread here, where the bench can reach
// the painter; the link, not the thread, is what this measures). The page's
// clock is tied to this process's by the round trip of least delay among
// twenty. Playwright drives the page: its network instrumentation costs
// nothing that matters at the link's 2.5 MB/s. Figures go to the section
// web-lan of bench/RESULTS.md.
//
//   node web/bench/lan_bench.js [--seconds=10] [--rate=20mbit] [--results=PATH]

import { join } from 'node:path';
import os from 'node:os';
import { chromium } from 'playwright-core';
import { createBridgeServer } from '../lib/bridge_server.js';
import { keptCertificate } from '../lib/certificate.js';
import { certificateSubjects } from '../lib/network_addresses.js';
import {
  build, repoRoot, CHROMIUM_ARGS, temporaryDirectory, waitFor, clockOffset, monotonicMs,
} from '../test/browser/support/browser_harness.js';
import { makePhone } from '../test/browser/support/lan_network.js';
import { spkiHash } from '../test/browser/support/lan_play.js';
import { writeResultsSection } from './results_section.js';

const options = Object.fromEntries(process.argv.slice(2).map((arg) => arg.replace(/^--/, '').split('=')));
const SECONDS = Number(options.seconds ?? 10);
const RATE = options.rate ?? '20mbit';
const RESULTS = options.results ?? join(repoRoot, 'bench/RESULTS.md');
const CODECS = ['raw', 'tiles'];
// Host frames kept for matching: a minute at 60 fps.
const KEPT_FRAMES = 3600;

// FNV-1a over the frame's pixels, four bytes at a time (a host frame's view need not be aligned for a
// Uint32Array); the same function runs in the page, as its source text.
function frameHash(rgba) {
  let hash = 0x811c9dc5;
  for (let i = 0; i + 3 < rgba.length; i += 4) {
    hash = Math.imul(hash ^ (rgba[i] | (rgba[i + 1] << 8) | (rgba[i + 2] << 16) | (rgba[i + 3] << 24)), 16777619);
  }
  return hash >>> 0;
}

const HOOK_DRAWS = `(() => {
  const frameHash = ${frameHash};
  const painter = window.kalmoPlayer.stream.stream.painter;
  window.benchDraws = [];
  painter.onFrameDrawn = (frame, arrivedAt, drawnAt) =>
    window.benchDraws.push([frameHash(frame.rgba), performance.timeOrigin + drawnAt]);
  return true;
})()`;

function percentile(values, fraction) {
  if (values.length === 0) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(fraction * sorted.length))];
}

const fixed = (value, digits = 1) => (Number.isFinite(value) ? value.toFixed(digits) : 'n/a');

async function measure(browser, server, hostFrames, codec) {
  const page = await browser.newPage({ viewport: { width: 800, height: 600 } });
  await page.goto(`${server.url}&thread=main&video=${codec}`, { timeout: 90000 });
  await waitFor(() => page.evaluate(() => window.kalmoPlayer?.stats.video.shown > 30), { timeout: 90000, what: 'frames' });
  await page.evaluate(HOOK_DRAWS);
  const before = await page.evaluate(() => window.kalmoPlayer.stats);
  await new Promise((resolve) => setTimeout(resolve, SECONDS * 1000));
  const draws = await page.evaluate(() => window.benchDraws);
  // The bridge's figures come about once a second: wait for a fresh one to close the span.
  const after = await waitFor(async () => {
    const stats = await page.evaluate(() => window.kalmoPlayer.stats);
    return stats.bridge.sentVideo !== before.bridge.sentVideo && stats;
  }, { timeout: 5000, what: 'the bridge\'s figures' }).catch(() => page.evaluate(() => window.kalmoPlayer.stats));
  const { offset, delay } = await clockOffset((expression) => page.evaluate(expression));
  await page.close();
  const latencies = [];
  for (const [hash, drawnAt] of draws) {
    const drawn = drawnAt + offset;
    // The newest host frame with these pixels that came before the draw.
    const made = hostFrames.findLast((frame) => frame.hash === hash && frame.at <= drawn);
    if (made) latencies.push(drawn - made.at);
  }
  const seconds = SECONDS;
  const sent = after.bridge.sentVideo - before.bridge.sentVideo;
  const dropped = after.bridge.droppedVideo - before.bridge.droppedVideo;
  return {
    codec, matched: latencies.length, drawn: draws.length, clockError: delay / 2,
    median: percentile(latencies, 0.5), p99: percentile(latencies, 0.99),
    drawnPerSecond: draws.length / seconds, skipped: dropped / Math.max(1, sent + dropped),
    bytesPerSecond: Object.values(after.bridge.videoBytes ?? {}).reduce((sum, n) => sum + n, 0) -
      Object.values(before.bridge.videoBytes ?? {}).reduce((sum, n) => sum + n, 0),
  };
}

function report(phone, results) {
  const when = new Date().toISOString().slice(0, 16).replace('T', ' ');
  const lines = [
    `LAN bench, ${when} UTC, ${os.cpus().length} processors, load average ${os.loadavg()[0].toFixed(1)} at the end`,
    `command: node web/bench/lan_bench.js${process.argv.length > 2 ? ` ${process.argv.slice(2).join(' ')}` : ''}`,
    `demo core 320x240 at 60 fps; Chromium in a network namespace, ${phone.rate} each way (tbf, burst 64kb), HTTPS/WSS;`,
    `${SECONDS} s per codec; the page's stream on its main thread`,
    '',
    'codec   frame->canvas med / p99 ms   drawn/s   skipped by the bridge   video sent',
  ];
  for (const r of results) {
    lines.push(`${r.codec.padEnd(6)}  ${fixed(r.median).padStart(14)} / ${fixed(r.p99).padEnd(10)}  ${fixed(r.drawnPerSecond).padStart(7)}` +
      `   ${`${fixed(r.skipped * 100)} %`.padStart(21)}   ${fixed(r.bytesPerSecond / SECONDS / 1e6, 2)} MB/s`);
  }
  lines.push(`(frame->canvas: the bridge has the host's frame whole -> the page drew it; ${results.map((r) =>
    `${r.codec} ${r.matched} of ${r.drawn} draws matched`).join(', ')};`);
  lines.push(` clock tie error at most ${fixed(Math.max(...results.map((r) => r.clockError)), 2)} ms)`);
  return lines;
}

async function main() {
  const phone = makePhone({ rate: RATE });
  if (phone.unavailable) {
    console.error(`lan bench: ${phone.unavailable}; the rate-limited link needs one`);
    process.exitCode = 1;
    return;
  }
  const data = temporaryDirectory('lan-bench');
  const hostFrames = [];
  let server;
  let browser;
  try {
    const subjects = certificateSubjects({ bind: phone.machineAddress, extraNames: [] });
    const certificate = await keptCertificate({ dataDir: data, ...subjects });
    server = createBridgeServer({
      core: build.demoCore, content: build.demoContent, host: build.host, dataDir: data, bind: phone.machineAddress,
      tls: { cert: certificate.cert, key: certificate.key }, log: () => {},
    });
    await server.listen();
    server.on('session', (session) => session.on('video', ({ rgba }) => {
      hostFrames.push({ hash: frameHash(rgba), at: monotonicMs() });
      if (hostFrames.length > KEPT_FRAMES) hostFrames.shift();
    }));
    browser = await chromium.launch({
      executablePath: phone.executablePath,
      args: [...CHROMIUM_ARGS, `--ignore-certificate-errors-spki-list=${spkiHash(certificate.cert)}`],
    });
    const results = [];
    for (const codec of CODECS) {
      // Frames of an earlier session (the same title screen, say) are not this one's.
      hostFrames.length = 0;
      results.push(await measure(browser, server, hostFrames, codec));
      await waitFor(() => server.hostPids.length === 0, { timeout: 10000, what: 'the host to end' });
    }
    const lines = report(phone, results);
    console.log(lines.join('\n'));
    writeResultsSection(RESULTS, { name: 'web-lan', title: 'Web player over a home network (LAN)',
      command: `node web/bench/lan_bench.js ${process.argv.slice(2).join(' ')}`.trim(), lines });
  } finally {
    await browser?.close();
    await server?.close();
    phone.remove();
  }
}

await main();
