// The player fed through a MessagePort instead of a WebSocket, as an
// Electron renderer or a front-end's own page would feed it. A page of the
// test's own (served cross-origin isolated by a small server here) opens a
// WebSocket to that server, which relays it to a real kalmo-play; the page
// forwards whole packets and the bridge's notes into one end of a
// MessageChannel and command lines back, and hands the other end to
// KalmoPlayer. The picture read back, a key reaching the probe core and the
// ending panel must be those of the WebSocket player.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:http';
import WebSocket, { WebSocketServer } from 'ws';
import { pageFile } from '../../lib/page_files.js';
import {
  build, launchBrowser, startPlay, childProcesses, waitFor, temporaryDirectory, writeScenario, recordEntries,
  probeFrame, readPixels,
} from './support/browser_harness.js';

const PORT_PAGE = `<!doctype html>
<html><head><meta charset="utf-8"><link rel="stylesheet" href="/player/player.css"></head>
<body><div id="stage" style="width: 640px; height: 400px"></div>
<script type="module">
import { KalmoPlayer } from '/player/kalmo_player.js';
const socket = new WebSocket('ws://' + location.host + '/relay');
socket.binaryType = 'arraybuffer';
const channel = new MessageChannel();
const waiting = [];
window.forwarded = { packets: 0, notes: 0, lines: [] };
socket.onmessage = ({ data }) => {
  if (typeof data === 'string') {
    window.forwarded.notes++;
    channel.port1.postMessage(JSON.parse(data));
  } else {
    window.forwarded.packets++;
    channel.port1.postMessage(data, [data]);
  }
};
socket.onopen = () => { for (const line of waiting.splice(0)) socket.send(line); };
socket.onclose = () => channel.port1.close();
channel.port1.onmessage = ({ data }) => {
  window.forwarded.lines.push(data);
  if (socket.readyState === WebSocket.OPEN) socket.send(data);
  else waiting.push(data);
};
window.kalmoPlayer = new KalmoPlayer(channel.port2, document.getElementById('stage'));
</script></body></html>`;

const ISOLATION = { 'Cross-Origin-Opener-Policy': 'same-origin', 'Cross-Origin-Embedder-Policy': 'require-corp',
  'Cache-Control': 'no-store' };

// Serves the test page and the player's files, and relays /relay to kalmo-play's WebSocket
// (which admits only pages of its own origin, so the relay says it comes from there).
async function startPageServer(playUrl) {
  const play = new URL(playUrl);
  const server = createServer(async (request, response) => {
    const { pathname } = new URL(request.url, 'http://test');
    // The same page without the isolation headers, as a front-end that forgot them serves it.
    const isolated = pathname !== '/plain/port.html';
    const page = pathname === '/port.html' || pathname === '/plain/port.html';
    const file = page ? { body: PORT_PAGE, type: 'text/html; charset=utf-8' } : await pageFile(pathname);
    if (!file) {
      response.writeHead(404, ISOLATION).end();
      return;
    }
    response.writeHead(200, { ...(isolated ? ISOLATION : {}), 'Content-Type': file.type }).end(file.body);
  });
  const relay = new WebSocketServer({ server, path: '/relay' });
  relay.on('connection', (page) => {
    const bridge = new WebSocket(`ws://${play.host}/ws?token=${play.searchParams.get('token')}`, { origin: play.origin });
    const early = [];
    bridge.on('open', () => { for (const line of early.splice(0)) bridge.send(line); });
    bridge.on('message', (data, isBinary) => page.send(data, { binary: isBinary }));
    bridge.on('close', () => page.close());
    page.on('message', (data) => {
      if (bridge.readyState === WebSocket.OPEN) bridge.send(data.toString());
      else early.push(data.toString());
    });
    page.on('close', () => bridge.close());
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const origin = `http://127.0.0.1:${server.address().port}`;
  return { url: `${origin}/port.html`, plainUrl: `${origin}/plain/port.html`, close: () => { relay.close(); server.close(); } };
}

let browser;
let play;
let pages;
let record;

before(async () => {
  const dir = temporaryDirectory('port');
  // Frame 5 stays on the canvas while the probe waits for a command line; the keyboard callback records the key.
  const files = writeScenario(dir, 'port', `av 64 40 0 60 48000
[init]
keyboard_callback
[load_game]
pixel_format 1
[every_frame]
poll
[frame 5]
video 1 64 40
[frame 6]
wait_stdin 30000
`);
  record = files.record;
  browser = await launchBrowser();
  play = startPlay({ core: build.probeCore, content: files.scenario, data: dir });
  pages = await startPageServer(await play.url);
});

after(async () => {
  await browser?.close();
  pages?.close();
  await play?.stop();
});

// Opens the port page, waits for run 5's frame on the canvas and taps K; returns the page and the key's record.
async function playThroughPort(url) {
  const page = await browser.newPage({ viewport: { width: 800, height: 600 } });
  await page.goto(url);
  await page.waitForFunction(() => window.kalmoPlayer !== undefined);
  const expected = probeFrame(1, 64, 40, 5);
  await waitFor(async () => {
    const picture = await readPixels(page);
    return picture.width === 64 && Buffer.compare(Buffer.from(picture.data), Buffer.from(expected)) === 0;
  }, { what: 'run 5\'s frame on the canvas' });
  const start = recordEntries(record, 'keyboard').length;
  await page.focus('.kalmo-viewport');
  await page.keyboard.down('KeyK');
  await page.keyboard.up('KeyK');
  const keys = await waitFor(() => {
    const events = recordEntries(record, 'keyboard').slice(start);
    return events.length >= 2 && events;
  }, { what: 'the key at the core' });
  const lines = await page.evaluate(() => window.forwarded.lines);
  assert.ok(lines.some((line) => /^K 107 1 /.test(line)), `the port carried the key line: ${lines.join(' | ')}`);
  return { page, keys };
}

test('a player fed through a MessagePort shows the frame, sends a key to the core and tells a killed host', async () => {
  const { page, keys } = await playThroughPort(pages.url);
  // RETROK_k is 107.
  assert.deepEqual(keys.map((event) => [event.down, event.keycode]), [[1, 107], [0, 107]]);
  const stream = await page.evaluate(() => window.kalmoPlayer.stats.stream);
  assert.deepEqual(stream, { thread: 'worker', reason: '', source: 'port' });

  const [host] = childProcesses(play.child.pid);
  process.kill(host, 'SIGKILL');
  const panel = page.locator('.kalmo-error');
  await waitFor(() => panel.isVisible(), { what: 'the ending panel' });
  assert.equal(await panel.locator('h2').textContent(), 'The host was killed (SIGKILL)');
  assert.equal(await panel.getByRole('button').count(), 0, 'a port belongs to the front-end: no Start again');
  assert.equal(await page.evaluate(() => window.kalmoPlayer.stats.state), 'error');
  await page.close();
  await waitFor(() => childProcesses(play.child.pid).length === 0, { what: 'no host left' });
});

test('a page without cross-origin isolation plays the port on its main thread and says why', async () => {
  const { page, keys } = await playThroughPort(pages.plainUrl);
  assert.deepEqual(keys.map((event) => [event.down, event.keycode]), [[1, 107], [0, 107]]);
  const stream = await page.evaluate(() => window.kalmoPlayer.stats.stream);
  assert.equal(stream.thread, 'main');
  assert.match(stream.reason, /not cross-origin isolated/);
  await page.close();
  await waitFor(() => childProcesses(play.child.pid).length === 0, { what: 'the host to end with its page' });
});
