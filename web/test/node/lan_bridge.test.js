// The bridge in LAN mode, on loopback only: the page and a playing session
// over HTTPS and WSS with the kept certificate, plain HTTP on the TLS port
// told to use https, refused handshakes and the probe that explains them,
// and kalmo-play --lan's printed URLs, fingerprint and QR code.
import { test as nodeTest } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { networkInterfaces } from 'node:os';
import { join } from 'node:path';
import { createBridgeServer } from '../../lib/bridge_server.js';
import { keptCertificate } from '../../lib/certificate.js';
import { certificateSubjects, pageUrls } from '../../lib/network_addresses.js';
import { Page, get, origin, tryConnect, wsUrl } from './support/bridge_client.js';
import { DEMO_CONTENT, DEMO_CORE, HOST, repo, runDirectories, waitFor } from './support/build.js';

const test = (name, fn) => nodeTest(name, { timeout: 60000 }, fn);

async function lanBridge(t, fields = {}) {
  const run = runDirectories();
  const dataDir = join(run.root, 'data');
  const certificate = await keptCertificate({ dataDir, ...certificateSubjects({ bind: '127.0.0.1' }) });
  const log = [];
  const server = createBridgeServer({
    host: HOST, core: DEMO_CORE, content: DEMO_CONTENT, dataDir, bind: '127.0.0.1', tls: certificate,
    log: (line) => log.push(line), ...fields,
  });
  await server.listen();
  t.after(async () => {
    await server.close();
    run.cleanup();
  });
  return { server, log, ca: certificate.cert, certificate };
}

test('over HTTPS the page is served and a WSS session plays; plain HTTP on the same port is told to use https', async (t) => {
  const { server, ca, certificate } = await lanBridge(t);
  assert.match(server.url, new RegExp(`^https://127\\.0\\.0\\.1:${server.port}/\\?token=[\\w-]{32}$`));
  const page = await get(`${origin(server)}/`, { ca });
  assert.equal(page.status, 200);
  assert.match(page.body, /<!doctype html>/i);
  assert.equal(page.headers['cross-origin-embedder-policy'], 'require-corp');
  assert.equal(page.peer.fingerprint256, certificate.fingerprint);

  const plain = await get(`http://127.0.0.1:${server.port}/?token=abc`);
  assert.equal(plain.status, 400);
  assert.equal(plain.body, 'This kalmo-play bridge speaks HTTPS only: sound and the stream worker need a secure '
    + 'context, which a page over plain HTTP from another device is not.\n'
    + `Open https://127.0.0.1:${server.port}/?token=abc instead.\n`);
  const rebound = await get(`http://127.0.0.1:${server.port}/`, { headers: { Host: 'evil.example' } });
  assert.match(rebound.body, /Open the https:\/\/ address kalmo-play printed instead/);
  assert.equal(await tryConnect(wsUrl(server).replace('wss:', 'ws:'), { Origin: origin(server) }), 400);

  const player = new Page(server, { ca });
  await player.opened();
  await waitFor(() => player.count('video') >= 2, 10000, 'frames over WSS');
  assert.equal(player.packets[0].type, 'status');
  assert.equal(server.hostPids.length, 1);
  player.socket.send('QUIT');
  await player.closed;
  assert.equal(player.note('exit').code, 0);
  assert.equal(player.note('stats').video, 'raw', 'a page on this computer gets raw frames unless it asks');
});

test('a refused handshake and the probe give the same answer; wrong tokens lock out their address', async (t) => {
  const { server, log, ca } = await lanBridge(t, { now: () => 0 });
  const probe = async (token, headers) => {
    const answer = await get(`${origin(server)}/ws?token=${encodeURIComponent(token)}`, { ca, headers });
    assert.equal(answer.headers['access-control-allow-origin'], undefined);
    return [answer.status, JSON.parse(answer.body)];
  };
  const own = { 'Sec-Fetch-Site': 'same-origin' };
  assert.deepEqual(await probe(server.token, own), [200, { refused: false }]);
  assert.deepEqual(await probe(server.token, { Origin: 'https://evil.example' }),
    [403, { refused: true, reason: 'origin https://evil.example is not this bridge' }]);
  assert.deepEqual(await probe(server.token, { 'Sec-Fetch-Site': 'cross-site' }),
    [403, { refused: true, reason: 'requests from another site get nothing' }]);
  assert.deepEqual(await probe(server.token, { ...own, Host: `evil.example:${server.port}` }),
    [403, { refused: true, reason: `host evil.example:${server.port} is not this bridge` }]);
  assert.equal(await tryConnect(wsUrl(server), { Origin: 'https://evil.example' }, { ca }), 403);
  assert.equal(await tryConnect(wsUrl(server), { Origin: origin(server), Host: `evil.example:${server.port}` }, { ca, servername: 'localhost' }), 403);

  // Ten wrong tokens, handshakes and probes alike, and the address is shut out.
  for (let i = 0; i < 5; i++) {
    assert.equal(await tryConnect(wsUrl(server, 'guess'), { Origin: origin(server) }, { ca }), 403);
    assert.deepEqual(await probe('guess', own), [403, { refused: true, reason: 'missing or wrong token' }]);
  }
  assert.equal(await tryConnect(wsUrl(server), { Origin: origin(server) }, { ca }), 429);
  assert.deepEqual(await probe(server.token, own), [429, { refused: true, reason: 'too many wrong tokens from 127.0.0.1: try again in 5 min' }]);
  assert.equal(log.filter((line) => /^wrong token from 127\.0\.0\.1/.test(line)).length, 10);
  assert.ok(log.includes('127.0.0.1 refused for 5 minutes after 10 wrong tokens'));
  assert.equal(server.hostPids.length, 0);
});

test("the URLs name every usable network address and the machine's names, IPv6 in brackets", () => {
  const urls = pageUrls({ secure: true, bind: '::', port: 4433, token: 'T' });
  const hosts = urls.map((url) => new URL(url).hostname);
  for (const entry of Object.values(networkInterfaces()).flat()) {
    const linkLocal = entry.family === 'IPv6' && entry.address.startsWith('fe80');
    const host = entry.family === 'IPv6' ? `[${entry.address}]` : entry.address;
    assert.equal(hosts.includes(host), !entry.internal && !linkLocal, entry.address);
  }
  assert.ok(urls.every((url) => url.startsWith('https://') && url.endsWith(':4433/?token=T')));
  assert.deepEqual(pageUrls({ secure: false, bind: '0.0.0.0', port: 80, token: 'T' }), ['http://127.0.0.1:80/?token=T']);
});

// kalmo-play --lan run until it printed its fingerprint; resolves with its output.
async function runLan(args) {
  const child = spawn(process.execPath, [join(repo, 'web/bin/kalmo-play.js'), '--core', DEMO_CORE, '--content', DEMO_CONTENT,
    '--host', HOST, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stdout.on('data', (text) => { out += text; });
  child.stderr.on('data', (text) => { err += text; });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  await waitFor(() => /certificate SHA-256 .*\n[\s\S]*▄/.test(out) || child.exitCode !== null, 30000, 'the fingerprint and the QR code');
  child.kill('SIGTERM');
  return { code: await exited, out, err };
}

test('kalmo-play --lan prints its URL, the fingerprint and a QR code, and keeps its certificate; plain --bind to a network address is refused', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const data = join(run.root, 'data');
  const first = await runLan(['--lan', '--bind', '127.0.0.1', '--data', data]);
  assert.equal(first.code, 0, first.err);
  assert.match(first.out, /^kalmo-play: open https:\/\/127\.0\.0\.1:\d+\/\?token=[\w-]{32}\n/);
  const fingerprint = first.out.match(/certificate SHA-256 ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})\n/)[1];
  assert.match(first.err, /made a new certificate \(there was none\)/);
  const again = await runLan(['--lan', '--bind', '127.0.0.1', '--data', data]);
  assert.match(again.err, /using the certificate made before/);
  assert.ok(again.out.includes(fingerprint));

  const plain = spawn(process.execPath, [join(repo, 'web/bin/kalmo-play.js'), '--core', DEMO_CORE, '--content', DEMO_CONTENT,
    '--host', HOST, '--bind', '192.0.2.1'], { stdio: ['ignore', 'ignore', 'pipe'] });
  let said = '';
  plain.stderr.on('data', (text) => { said += text; });
  assert.equal(await new Promise((resolve) => plain.on('exit', resolve)), 2);
  assert.match(said, /plain HTTP on 192\.0\.2\.1 would serve only other devices.*run kalmo-play --lan/);
});
