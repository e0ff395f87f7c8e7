// kalmo-play's bridge with WebSocket clients from Node: what it serves, the
// token and origin gate, the session bound, hostile messages, pages closing
// mid-run, video thinning, and the server stopped with its hosts running.
import { test as nodeTest } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, readFileSync, symlinkSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { createBridgeServer } from '../../lib/bridge_server.js';
import { Page, origin, tryConnect, wsUrl } from './support/bridge_client.js';
import {
  DEMO_CONTENT, DEMO_CORE, HOST, INPUT_SCENARIO, PROBE_CORE, processAlive, repo, runDirectories, waitFor,
} from './support/build.js';

const test = (name, fn) => nodeTest(name, { timeout: 30000 }, fn);
const FAKE_HOST = new URL('./support/fake_host.js', import.meta.url).pathname;

async function bridge(t, fields = {}) {
  const run = runDirectories();
  const log = [];
  const server = createBridgeServer({
    host: HOST, core: DEMO_CORE, content: DEMO_CONTENT, dataDir: join(run.root, 'data'),
    log: (line) => log.push(line), ...fields(run),
  });
  await server.listen();
  t.after(async () => {
    await server.close();
    run.cleanup();
  });
  return { server, log, run };
}
const demo = () => ({});

async function noHostLeft(server) {
  await waitFor(() => server.hostPids.length === 0, 4000, 'every host to end');
}

test('the page, the player files and the browser modules are served isolated; nothing else is', async (t) => {
  const { server, run } = await bridge(t, (r) => {
    mkdirSync(join(r.root, 'player', 'audio'), { recursive: true });
    writeFileSync(join(r.root, 'player', 'index.html'), '<p>player</p>');
    writeFileSync(join(r.root, 'player', 'audio', 'ring.js'), 'export {}');
    writeFileSync(join(r.root, 'secret.txt'), 'secret');
    symlinkSync(join(r.root, 'secret.txt'), join(r.root, 'player', 'link.txt'));
    return { playerDir: join(r.root, 'player') };
  });
  const base = `http://127.0.0.1:${server.port}`;
  const page = await fetch(`${base}/`);
  assert.equal(page.status, 200);
  assert.equal(await page.text(), '<p>player</p>');
  assert.equal(page.headers.get('cross-origin-opener-policy'), 'same-origin');
  assert.equal(page.headers.get('cross-origin-embedder-policy'), 'require-corp');
  const ring = await fetch(`${base}/player/audio/ring.js`);
  assert.equal(ring.headers.get('content-type'), 'text/javascript; charset=utf-8');
  const parser = await fetch(`${base}/lib/packet_parser.js`);
  assert.match(await parser.text(), /export class PacketParser/);
  assert.equal(parser.headers.get('cross-origin-embedder-policy'), 'require-corp');
  const refused = ['/lib/host_session.js', '/lib/bridge_server.js', '/lib/../package.json', '/lib/%2e%2e/package.json',
    '/player/../secret.txt', '/player/%2e%2e/secret.txt', '/player/%2e%2e%2fsecret.txt', '/player/link.txt',
    '/player/audio', '/player/audio/', '/player//etc/passwd', '/player/%00', '/player/..%5csecret.txt', '/etc/passwd',
    '/package.json', `/player/${'%2e%2e/'.repeat(8)}etc/passwd`, '/player/%E0%A4%A'];
  for (const path of refused) assert.equal((await fetch(`${base}${path}`)).status, 404, path);
  assert.equal((await fetch(`${base}/`, { method: 'POST' })).status, 405);
  assert.match(server.url, /^http:\/\/127\.0\.0\.1:\d+\/\?token=[\w-]{32}$/);
  await assert.rejects(fetch(`http://127.0.0.2:${server.port}/`), 'bound to 127.0.0.1 alone, not every address');
  assert.equal(readFileSync(join(run.root, 'secret.txt'), 'utf8'), 'secret');
});

test('without web/player/index.html the built-in page shows frames on a canvas', async (t) => {
  const { server } = await bridge(t, (r) => ({ playerDir: join(r.root, 'empty') }));
  const text = await (await fetch(`http://127.0.0.1:${server.port}/`)).text();
  assert.match(text, /<canvas/);
  assert.match(text, /from '\/lib\/packet_parser\.js'/);
});

test('a WebSocket needs the token and the server\'s own origin; refused ones start no host', async (t) => {
  const { server, log } = await bridge(t, demo);
  const good = origin(server);
  assert.equal(await tryConnect(wsUrl(server, ''), { Origin: good }), 403);
  assert.equal(await tryConnect(wsUrl(server, 'x'.repeat(32)), { Origin: good }), 403);
  assert.equal(await tryConnect(wsUrl(server, `${server.token}x`), { Origin: good }), 403);
  assert.equal(await tryConnect(wsUrl(server), { Origin: 'http://evil.example' }), 403);
  assert.equal(await tryConnect(wsUrl(server), { Origin: `http://127.0.0.1:${server.port + 1}` }), 403);
  assert.equal(await tryConnect(wsUrl(server), {}), 403);
  assert.equal(await tryConnect(wsUrl(server).replace('/ws', '/other'), { Origin: good }), 404);
  assert.equal(server.hostPids.length, 0);
  assert.ok(log.some((line) => /wrong token/.test(line)) && log.some((line) => /origin http:\/\/evil\.example/.test(line)));
  const page = new Page(server, { originHeader: `http://localhost:${server.port}` });
  await page.opened();
  await waitFor(() => page.count('video') >= 2, 5000, 'frames');
  assert.equal(page.packets[0].type, 'status');
  assert.equal(page.packets[0].state, 'stage');
  assert.ok(page.notes.some((note) => note.bridge === 'diagnostic' && /^HOST_BUILD=/.test(note.line)));
  assert.equal(server.hostPids.length, 1);
});

test('a second page gets a clear refusal while the first plays on', async (t) => {
  const { server } = await bridge(t, demo);
  const first = new Page(server);
  await first.opened();
  await waitFor(() => first.count('video') >= 1, 5000, 'the first page\'s frames');
  const second = new Page(server);
  const closed = await second.closed;
  assert.equal(closed.code, 1013);
  assert.match(second.note('refused').reason, /at most 1 session/);
  assert.equal(second.packets.length, 0);
  const before = first.count('video');
  await waitFor(() => first.count('video') > before + 2, 5000, 'more frames on the first page');
  assert.equal(server.hostPids.length, 1);
});

test('bad messages close only their own connection, end its host, and the next page plays', async (t) => {
  const { server, log } = await bridge(t, () => ({ maxSessions: 2 }));
  const bystander = new Page(server);
  await bystander.opened();
  await waitFor(() => server.hostPids.length === 1, 5000, 'the bystander\'s host');
  const hostile = [
    [(socket) => socket.send('M 1 2 3 4 5 6 7; rm -rf /'), 1008, /bad command: M line needs 7 fields/],
    [(socket) => socket.send('M 1 2 3 4 5 6 7;rm'), 1008, /bad command: inside is not a decimal/],
    [(socket) => socket.send('LOAD /tmp/evil.so'), 1008, /unknown command/],
    [(socket) => socket.send('K 97 1 97 0\nQUIT'), 1008, /not a decimal/],
    [(socket) => socket.send(Buffer.from('QUIT')), 1003, /binary messages/],
    [(socket) => socket.send('M '.repeat(3000)), 1009, /Max payload/],
  ];
  for (const [send, code, reason] of hostile) {
    const page = new Page(server);
    await page.opened();
    await waitFor(() => page.count('video') >= 1, 5000, 'frames');
    send(page.socket);
    const closed = await page.closed;
    assert.equal(closed.code, code, `${reason}`);
    assert.ok(log.some((line) => reason.test(line)), `logged: ${reason}`);
    await waitFor(() => server.hostPids.length === 1, 4000, 'the hostile page\'s host to end');
  }
  const seen = bystander.count('video');
  await waitFor(() => bystander.count('video') > seen, 5000, 'the bystander\'s frames');
  assert.equal(bystander.socket.readyState, bystander.socket.OPEN);
  bystander.socket.close();
  await noHostLeft(server);
  const next = new Page(server);
  await next.opened();
  await waitFor(() => next.count('video') >= 1, 5000, 'the next page\'s frames');
  next.socket.send('M 1 -1 1 0 10 10 1');
  next.socket.send('RESET');
  await new Promise((resolve) => setTimeout(resolve, 100));
  assert.equal(next.socket.readyState, next.socket.OPEN, 'good lines keep the connection');
});

test('a page closed mid-run makes its host quit cleanly; none is left behind', async (t) => {
  const { server } = await bridge(t, demo);
  const exits = [];
  server.on('hostexit', (result) => exits.push(result));
  const page = new Page(server);
  await page.opened();
  await waitFor(() => page.count('video') >= 2, 5000, 'frames');
  const [pid] = server.hostPids;
  page.socket.terminate();
  await noHostLeft(server);
  assert.equal(exits[0].code, 0);
  assert.equal(exits[0].killed, null);
  assert.equal(processAlive(pid), false);
});

test("the page's command lines reach the core re-serialised", async (t) => {
  const { server, run } = await bridge(t, (r) => ({ core: PROBE_CORE, content: r.file('keys.scn', `record probe.rec\n${INPUT_SCENARIO}`) }));
  const page = new Page(server);
  await page.opened();
  await waitFor(() => page.count('video') >= 3, 5000, 'the third frame');
  page.socket.send('K 097 1 97 0\n');
  page.socket.send('K 98 0 66 0');
  page.socket.send('QUIT');
  await page.closed;
  assert.equal(page.note('exit').code, 0);
  const record = readFileSync(join(run.root, 'data', 'saves', 'probe.rec'), 'utf8');
  assert.deepEqual(record.match(/^keyboard .*$/gm).map((line) => line.replace(/ frame=\d+ in_run=\d/, '')),
    ['keyboard down=1 keycode=97 character=97 modifiers=0', 'keyboard down=0 keycode=98 character=66 modifiers=0']);
});

test('repeated frames are sent once, a slow page has frames dropped, sound and status always arrive', async (t) => {
  const { server, run } = await bridge(t, (r) => ({ host: FAKE_HOST, content: r.file('same.json', '{}') }));
  writeFileSync(join(run.root, 'same.json'), JSON.stringify({ frames: 50, width: 64, height: 48, audio: true }));
  const repeated = new Page(server);
  await repeated.closed;
  assert.equal(repeated.count('video'), 1);
  assert.equal(repeated.count('audio'), 50);
  assert.deepEqual(repeated.packets.filter((p) => p.type === 'status').map((p) => p.state), ['running', 'stopped']);
  assert.equal(repeated.note('exit').code, 0);
  assert.deepEqual(repeated.note('stats'), { bridge: 'stats', sentVideo: 1, droppedVideo: 0, repeatedVideo: 49,
    skippedVideo: 0, wholeFrames: 0, video: 'raw', videoBytes: { raw: 17 + 64 * 48 * 4, tiles: 0 } });
  await noHostLeft(server);

  writeFileSync(join(run.root, 'same.json'), JSON.stringify({ frames: 300, width: 320, height: 240, distinct: true, audio: true }));
  const slow = new Page(server);
  await slow.opened();
  slow.socket.pause();
  await new Promise((resolve) => server.once('hostexit', resolve));
  slow.socket.resume();
  await slow.closed;
  const sent = slow.count('video');
  assert.ok(sent < 300, `frames were dropped (${sent} sent)`);
  assert.equal(slow.count('audio'), 300);
  const stats = slow.note('stats');
  assert.equal(stats.sentVideo, sent, 'the last stats note comes before the exit note');
  assert.equal(stats.sentVideo + stats.droppedVideo + stats.repeatedVideo, 300);
  assert.equal(stats.repeatedVideo, 0);
});

test('kalmo-play stopped by SIGTERM quits its host and tells the page; killed by SIGKILL it leaves none', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  for (const signal of ['SIGTERM', 'SIGKILL']) {
    const child = spawn(join(repo, 'tools/kalmo-play'), ['--core', DEMO_CORE, '--content', DEMO_CONTENT, '--host', HOST,
      '--data', join(run.root, 'data')], { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    let err = '';
    child.stdout.on('data', (text) => { out += text; });
    child.stderr.on('data', (text) => { err += text; });
    const exited = new Promise((resolve) => child.on('exit', (code, sig) => resolve({ code, sig })));
    await waitFor(() => /open http/.test(out), 5000, 'the URL');
    const url = new URL(out.match(/open (\S+)/)[1]);
    const fakeServer = { port: Number(url.port), token: url.searchParams.get('token') };
    const page = new Page(fakeServer);
    await page.opened();
    await waitFor(() => page.count('video') >= 1 && /host \d+ started/.test(err), 5000, 'frames');
    const pid = Number(err.match(/host (\d+) started/)[1]);
    child.kill(signal);
    const result = await exited;
    if (signal === 'SIGTERM') {
      assert.deepEqual(result, { code: 0, sig: null });
      assert.equal(page.note('exit').code, 0);
      assert.equal(processAlive(pid), false);
    } else {
      await waitFor(() => !processAlive(pid), 3000, 'the orphaned host to die');
    }
    page.socket.terminate();
  }
});
