// The bridge's admission rules on requests as Node's HTTP server hands them
// over, with a fake clock: the token, the Host and Origin checks, plain HTTP
// from the network, and the wrong-token limit per address and its recovery.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  Admission, BLOCKED_MS, FAILED_TOKENS_ALLOWED, FAILED_TOKEN_WINDOW_MS, newToken, plainBindRefusal,
} from '../../lib/admission.js';

const PORT = 43210;
const TOKEN = newToken();

function admission({ secure = true, bind = '127.0.0.1', names = ['play.example'] } = {}) {
  const clock = { now: 1_000_000 };
  const log = [];
  const gate = new Admission({ token: TOKEN, secure, port: PORT, bind, extraNames: names, now: () => clock.now, log: (line) => log.push(line) });
  return { gate, clock, log };
}

function request({ from = '127.0.0.1', host = `127.0.0.1:${PORT}`, origin = `https://127.0.0.1:${PORT}`, token = TOKEN, headers = {} } = {}) {
  return {
    url: `/ws?token=${encodeURIComponent(token)}`,
    socket: { remoteAddress: from },
    headers: { ...(host === null ? {} : { host }), ...(origin === null ? {} : { origin }), ...headers },
  };
}

const status = (refusal) => refusal?.status ?? 'admitted';

test('the token is at least 128 random bits and must match exactly', () => {
  assert.ok(Buffer.from(TOKEN, 'base64url').length * 8 >= 128);
  assert.notEqual(newToken(), TOKEN);
  const { gate } = admission();
  assert.equal(status(gate.checkSocket(request())), 'admitted');
  for (const token of ['', TOKEN.slice(1), `${TOKEN}x`, TOKEN.toUpperCase()]) {
    assert.match(gate.checkSocket(request({ token })).reason, /wrong token/, token);
  }
});

test('Host must name the bridge: its names and addresses with its own port, nothing a rebinding site sends', () => {
  const { gate } = admission();
  for (const host of [`127.0.0.1:${PORT}`, `localhost:${PORT}`, `[::1]:${PORT}`, `PLAY.example:${PORT}`, `0x7f.0.0.1:${PORT}`]) {
    assert.equal(status(gate.checkPage(request({ host }))), 'admitted', host);
  }
  for (const host of [`evil.example:${PORT}`, '127.0.0.1', `127.0.0.1:${PORT + 1}`, `user@127.0.0.1:${PORT}`,
    `127.0.0.1:${PORT}/x`, `127.0.0.2:${PORT}`, '', null]) {
    const refusal = gate.checkPage(request({ host }));
    assert.equal(refusal?.status, 403, `${host}`);
    assert.match(refusal.reason, /is not this bridge/);
  }
  assert.equal(status(gate.checkSocket(request({ host: `evil.example:${PORT}`, origin: `https://evil.example:${PORT}` }))), 403);
});

test("a WebSocket's Origin must be one of the bridge's own origins, and a foreign one costs no token attempt", () => {
  const { gate, log } = admission();
  assert.equal(status(gate.checkSocket(request({ origin: `https://localhost:${PORT}` }))), 'admitted');
  for (const origin of ['https://evil.example', `http://127.0.0.1:${PORT}`, `https://127.0.0.1:${PORT + 1}`,
    `https://127.0.0.1:${PORT}/`, 'null', null]) {
    assert.equal(status(gate.checkSocket(request({ origin, token: 'wrong' }))), 403, `${origin}`);
  }
  assert.equal(log.length, 0, 'foreign origins were not counted as token attempts');
  // The probe: a same-origin fetch carries Sec-Fetch-Site instead of Origin.
  const probe = (headers) => status(gate.checkSocket(request({ origin: null, headers }), { probe: true }));
  assert.equal(probe({ 'sec-fetch-site': 'same-origin' }), 'admitted');
  assert.equal(probe({ 'sec-fetch-site': 'cross-site' }), 403);
  assert.equal(probe({}), 403);
  assert.equal(status(gate.checkSocket(request({ origin: null, headers: { 'sec-fetch-site': 'same-origin' } }))), 403,
    'the handshake itself always needs Origin');
});

test('plain HTTP lets in loopback only, and says to run kalmo-play --lan', () => {
  const { gate } = admission({ secure: false, bind: '0.0.0.0' });
  const plain = { origin: `http://127.0.0.1:${PORT}` };
  assert.equal(status(gate.checkSocket(request({ ...plain, from: '::ffff:127.0.0.1' }))), 'admitted');
  for (const from of ['192.168.1.20', '::ffff:10.0.0.2', 'fd00::5']) {
    const refusal = gate.checkPage(request({ ...plain, from }));
    assert.equal(refusal.status, 403);
    assert.match(refusal.reason, /secure context.*\n.*kalmo-play --lan/s);
  }
  assert.equal(plainBindRefusal('127.0.0.1'), null);
  assert.equal(plainBindRefusal('::'), null);
  assert.match(plainBindRefusal('192.168.1.5'), /secure context.*: run kalmo-play --lan/);
});

test('ten wrong tokens in a minute refuse that address for five minutes, logged; others and later are let in', () => {
  const { gate, clock, log } = admission();
  const from = '192.168.1.66';
  const attempt = (token = 'wrong', address = from) => gate.checkSocket(request({ from: address, token }));
  // Failures older than the window do not count.
  for (let i = 0; i < FAILED_TOKENS_ALLOWED - 1; i++) attempt();
  clock.now += FAILED_TOKEN_WINDOW_MS;
  for (let i = 0; i < FAILED_TOKENS_ALLOWED - 1; i++) assert.equal(attempt().status, 403);
  assert.equal(status(attempt(TOKEN)), 'admitted');
  assert.equal(attempt().status, 403);
  assert.match(log.at(-1), /192\.168\.1\.66 refused for 5 minutes after 10 wrong tokens/);
  assert.match(log.at(-2), /wrong token from 192\.168\.1\.66 \(10 in the last minute\)/);
  const blocked = attempt(TOKEN);
  assert.equal(blocked.status, 429, 'even the right token, while refused');
  assert.match(blocked.reason, /try again in 5 min/);
  assert.equal(status(attempt(TOKEN, '192.168.1.67')), 'admitted', 'another address is not held up');
  assert.equal(status(attempt(TOKEN, `::ffff:${from}`)), 429, 'the same address over IPv6 mapping');
  clock.now += BLOCKED_MS - 1;
  assert.equal(attempt(TOKEN).status, 429);
  clock.now += 1;
  assert.equal(status(attempt(TOKEN)), 'admitted');
  assert.equal(attempt().status, 403, 'after the block, a wrong token counts from one again');
  assert.match(log.at(-1), /\(1 in the last minute\)/);
});
