// Who the bridge lets in, decided here and nowhere else. bridge_server.js asks
// checkPage() of every HTTP request and checkSocket() of every WebSocket
// handshake (and of its plain-GET twin, the refusal probe); each answers
// null or { status, reason }. The rules, in the order they are applied, and
// what each defends against:
//
//   1. Plain HTTP only from loopback. A page over plain HTTP from another
//      device is no secure context (no AudioWorklet, no SharedArrayBuffer)
//      and its token crosses the network in clear: such a client is told to
//      run `kalmo-play --lan` instead. (On the TLS port, a plain request never
//      gets this far: secure_port.js answers it with plainOnTlsPortText().)
//   2. The Host header names one of the bridge's own names or addresses,
//      with its port. Defends against DNS rebinding: a foreign site whose
//      name was made to resolve here gets nothing, not even the page.
//   3. A WebSocket's Origin is one of the bridge's own origins (its scheme,
//      one of its names, its port). Defends against cross-site WebSocket
//      hijacking: another site's page in the user's browser cannot drive a
//      host. For the probe, which a same-origin fetch sends without Origin,
//      Sec-Fetch-Site stands in. Checked before the token, so a foreign page
//      cannot spend the user's token attempts and lock the user out.
//   4. An address with 10 wrong tokens within a minute is refused for five
//      minutes, and every wrong token is logged. The token alone (192 random
//      bits, compared in constant time) makes guessing hopeless; the limit
//      keeps a guesser from loading the machine and the log shows one.
//   5. The token from the printed URL.
import { randomBytes, timingSafeEqual } from 'node:crypto';
import { acceptedHosts, isLoopback, plainAddress, isWildcard } from './network_addresses.js';

export const TOKEN_BYTES = 24;
export const FAILED_TOKENS_ALLOWED = 10;
export const FAILED_TOKEN_WINDOW_MS = 60_000;
export const BLOCKED_MS = 5 * 60_000;
// Bounds the table of addresses, whatever a network throws at it.
const MAX_TRACKED_ADDRESSES = 4096;
const HOSTS_REFRESH_MS = 1000;

export const SECURE_CONTEXT_WHY = 'sound and the stream worker need a secure context, which a page over plain HTTP '
  + 'from another device is not';

export function newToken() {
  return randomBytes(TOKEN_BYTES).toString('base64url');
}

export function sameToken(given, token) {
  const a = Buffer.from(given ?? '');
  const b = Buffer.from(token);
  return a.length === b.length && timingSafeEqual(a, b);
}

// Why the bridge will not serve plain HTTP on this address, or null. Bound
// to one network address, only other devices could reach it, and none may.
export function plainBindRefusal(bind) {
  if (isWildcard(bind) || isLoopback(bind) || bind === 'localhost') return null;
  return `plain HTTP on ${bind} would serve only other devices, and ${SECURE_CONTEXT_WHY}: run kalmo-play --lan `
    + '(HTTPS) instead';
}

export function plainFromNetworkText() {
  return `This kalmo-play bridge serves plain HTTP to this computer only: ${SECURE_CONTEXT_WHY}.\n`
    + 'On the computer running it, stop it and run kalmo-play --lan, then open one of the https:// '
    + 'addresses it prints.\n';
}

// `host` is the request's Host header when it names this bridge, else null.
export function plainOnTlsPortText(host, path) {
  const where = host ? `https://${host}${path}` : 'the https:// address kalmo-play printed';
  return `This kalmo-play bridge speaks HTTPS only: ${SECURE_CONTEXT_WHY}.\nOpen ${where} instead.\n`;
}

export class Admission {
  #token;
  #secure;
  #port;
  #hostsOf;
  #hosts;
  #hostsAt = -Infinity;
  #now;
  #log;
  #failures = new Map();

  // token; secure (HTTPS); port; bind and extraNames (whose hosts are
  // accepted); now (a clock in ms, for tests); log (a function taking a line).
  constructor({ token, secure, port, bind, extraNames = [], now = Date.now, log = () => {} }) {
    this.#token = token;
    this.#secure = secure;
    this.#port = port;
    this.#hostsOf = () => acceptedHosts({ bind, extraNames });
    this.#now = now;
    this.#log = log;
  }

  get scheme() { return this.#secure ? 'https' : 'http'; }

  checkPage(request) {
    if (!this.#secure && !isLoopback(request.socket.remoteAddress)) return { status: 403, reason: plainFromNetworkText() };
    if (!this.namesThisBridge(request.headers.host)) {
      return { status: 403, reason: `host ${request.headers.host ?? '(none)'} is not this bridge` };
    }
    return null;
  }

  // `probe`: the plain GET a page sends to learn why its socket was refused.
  checkSocket(request, { probe = false } = {}) {
    const page = this.checkPage(request);
    if (page) return page;
    const origin = this.#originRefusal(request.headers, probe);
    if (origin) return { status: 403, reason: origin };
    const address = plainAddress(request.socket.remoteAddress);
    const blockedFor = this.#blockedFor(address);
    if (blockedFor > 0) {
      return { status: 429, reason: `too many wrong tokens from ${address}: try again in ${Math.ceil(blockedFor / 60_000)} min` };
    }
    const token = new URL(request.url, 'http://bridge').searchParams.get('token');
    if (!sameToken(token, this.#token)) {
      this.#failed(address);
      return { status: 403, reason: 'missing or wrong token' };
    }
    return null;
  }

  // True when a Host header names this bridge: one of its hosts, its port.
  namesThisBridge(host) {
    const url = this.#parse(this.scheme, host);
    return Boolean(url) && this.#isOwn(url);
  }

  #originRefusal(headers, probe) {
    const origin = headers.origin;
    if (origin === undefined && probe && headers['sec-fetch-site'] === 'same-origin') return null;
    if (origin === undefined) return probe && headers['sec-fetch-site'] ? 'requests from another site get nothing' : 'no Origin header';
    let url;
    try {
      url = new URL(origin);
    } catch {
      url = null;
    }
    const own = url && url.origin === origin && url.protocol === `${this.scheme}:` && this.#isOwn(url);
    return own ? null : `origin ${origin} is not this bridge`;
  }

  #parse(scheme, host) {
    if (typeof host !== 'string' || !host || /[\s/\\?#@]/.test(host)) return null;
    try {
      return new URL(`${scheme}://${host}`);
    } catch {
      return null;
    }
  }

  #isOwn(url) {
    const port = Number(url.port || (url.protocol === 'https:' ? 443 : 80));
    if (port !== this.#port) return false;
    // An address that came up after the start (a new lease, a cable plugged
    // in) is learnt on its first miss, at most once a second.
    if (!this.#hosts?.has(url.hostname) && this.#now() - this.#hostsAt >= HOSTS_REFRESH_MS) {
      this.#hosts = this.#hostsOf();
      this.#hostsAt = this.#now();
    }
    return this.#hosts.has(url.hostname);
  }

  #blockedFor(address) {
    const entry = this.#failures.get(address);
    return entry?.blockedUntil ? entry.blockedUntil - this.#now() : 0;
  }

  #failed(address) {
    const now = this.#now();
    let entry = this.#failures.get(address);
    if (!entry || (entry.blockedUntil && entry.blockedUntil <= now)) entry = { times: [], blockedUntil: 0 };
    entry.times = [...entry.times.filter((time) => now - time < FAILED_TOKEN_WINDOW_MS), now];
    this.#failures.delete(address);
    this.#failures.set(address, entry);
    this.#log(`wrong token from ${address} (${entry.times.length} in the last minute)`);
    if (entry.times.length >= FAILED_TOKENS_ALLOWED) {
      entry.blockedUntil = now + BLOCKED_MS;
      this.#log(`${address} refused for ${BLOCKED_MS / 60_000} minutes after ${entry.times.length} wrong tokens`);
    }
    if (this.#failures.size > MAX_TRACKED_ADDRESSES) this.#failures.delete(this.#failures.keys().next().value);
  }
}
