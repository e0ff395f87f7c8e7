// The local bridge behind kalmo-play: an HTTP server for the player page and
// a WebSocket endpoint at /ws that gives each admitted page one host, running
// the core and content fixed on the server's own command line.
//
// What a web page can do here is decided in admit() and in the limits below:
// the server listens on loopback unless told otherwise; a WebSocket needs the
// random token printed in the URL and an Origin of this very server (so no
// other site, even one whose name points at 127.0.0.1, can drive a host);
// sessions are bounded; messages are short text lines checked field by field
// (commands.js); nothing a page sends names a path or a library.
import { createServer } from 'node:http';
import { randomBytes, timingSafeEqual } from 'node:crypto';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { EventEmitter } from 'node:events';
import { WebSocketServer } from 'ws';
import { defaultHostPath, startHost } from './host_session.js';
import { BridgeConnection, requestedVideo } from './bridge_connection.js';
import { QUIT_GRACE_MS } from './host_relay.js';
import { PLAYER_DIR, pageFile } from './page_files.js';

export { QUIT_GRACE_MS };
// Command lines are at most 128 characters; a larger message is closed by
// the WebSocket layer itself (close code 1009) before it is read.
const MAX_MESSAGE_BYTES = 1024;

const PAGE_HEADERS = {
  // Cross-origin isolation, so the player may use a SharedArrayBuffer ring.
  'Cross-Origin-Opener-Policy': 'same-origin',
  'Cross-Origin-Embedder-Policy': 'require-corp',
  'Cross-Origin-Resource-Policy': 'same-origin',
  'X-Content-Type-Options': 'nosniff',
  // The page's URL holds the token: never hand it to another site.
  'Referrer-Policy': 'no-referrer',
  'Cache-Control': 'no-store',
};

function sameToken(given, token) {
  const a = Buffer.from(given ?? '');
  const b = Buffer.from(token);
  return a.length === b.length && timingSafeEqual(a, b);
}

export function createBridgeServer(options) {
  return new BridgeServer(options);
}

export class BridgeServer extends EventEmitter {
  #options;
  #token = randomBytes(24).toString('base64url');
  #http;
  #sockets;
  #connections = new Set();
  #hosts = new Set();
  #origins = new Set();
  #port = 0;
  #closing = null;

  // core, content (required); host, dataDir, bind ('127.0.0.1'), port (0:
  // any free one), maxSessions (1), playerDir, log (a function taking a line).
  constructor(options) {
    super();
    for (const name of ['core', 'content', 'dataDir']) {
      if (typeof options?.[name] !== 'string' || !options[name]) throw new TypeError(`the bridge needs ${name}`);
    }
    this.#options = {
      host: defaultHostPath(), bind: '127.0.0.1', port: 0, maxSessions: 1, playerDir: PLAYER_DIR,
      log: (line) => process.stderr.write(`kalmo-play: ${line}\n`),
      ...Object.fromEntries(Object.entries(options).filter(([, value]) => value !== undefined)),
    };
    this.#http = createServer((request, response) => this.#serve(request, response));
    this.#http.on('upgrade', (request, socket, head) => this.#upgrade(request, socket, head));
    this.#http.on('clientError', (error, socket) => socket.destroy());
    this.#sockets = new WebSocketServer({ noServer: true, maxPayload: MAX_MESSAGE_BYTES, perMessageDeflate: false });
  }

  get token() { return this.#token; }
  get port() { return this.#port; }
  get url() {
    const bind = this.#options.bind;
    const host = bind === '0.0.0.0' || bind === '::' ? '127.0.0.1' : bind.includes(':') ? `[${bind}]` : bind;
    return `http://${host}:${this.#port}/?token=${this.#token}`;
  }
  // Process ids of the hosts alive now, quitting ones included.
  get hostPids() { return [...this.#hosts].map((session) => session.pid); }

  async listen() {
    await new Promise((resolve, reject) => {
      this.#http.once('error', reject);
      this.#http.listen(this.#options.port, this.#options.bind, () => {
        this.#http.off('error', reject);
        resolve();
      });
    });
    this.#port = this.#http.address().port;
    const bind = this.#options.bind;
    for (const name of ['127.0.0.1', 'localhost', '[::1]', bind.includes(':') ? `[${bind}]` : bind]) {
      this.#origins.add(`http://${name}:${this.#port}`);
    }
    return this.url;
  }

  // Asks every host to quit, kills those still running after the grace
  // time, then stops listening.
  close() {
    this.#closing ??= (async () => {
      this.#http.close();
      await Promise.all([...this.#connections].map((connection) => connection.stop(QUIT_GRACE_MS)));
      await Promise.all([...this.#hosts].map((session) => session.kill('the bridge stopped')));
      for (const client of this.#sockets.clients) client.terminate();
      this.#sockets.close();
      this.#http.closeAllConnections();
    })();
    return this.#closing;
  }

  async #serve(request, response) {
    try {
      if (request.method !== 'GET' && request.method !== 'HEAD') {
        response.writeHead(405, { ...PAGE_HEADERS, Allow: 'GET, HEAD' }).end();
        return;
      }
      const { pathname } = new URL(request.url, 'http://bridge');
      const file = await pageFile(pathname, this.#options.playerDir);
      if (!file) {
        response.writeHead(404, { ...PAGE_HEADERS, 'Content-Type': 'text/plain' }).end('not found\n');
        return;
      }
      response.writeHead(200, { ...PAGE_HEADERS, 'Content-Type': file.type, 'Content-Length': file.body.length });
      response.end(request.method === 'HEAD' ? undefined : file.body);
    } catch (error) {
      this.#options.log(`request for ${request.url} failed: ${error.message}`);
      if (!response.headersSent) response.writeHead(500, PAGE_HEADERS);
      response.end();
    }
  }

  // The reason a WebSocket request is refused, or null to admit it.
  #admit(request) {
    let url;
    try {
      url = new URL(request.url, 'http://bridge');
    } catch {
      return [400, 'unreadable request path'];
    }
    if (url.pathname !== '/ws') return [404, 'WebSocket requests go to /ws'];
    if (this.#closing) return [503, 'the bridge is stopping'];
    if (!sameToken(url.searchParams.get('token'), this.#token)) return [403, 'missing or wrong token'];
    const origin = request.headers.origin;
    if (!origin || !this.#origins.has(origin)) return [403, `origin ${origin ?? '(none)'} is not this server`];
    return null;
  }

  #upgrade(request, socket, head) {
    socket.on('error', () => socket.destroy());
    const refusal = this.#admit(request);
    if (refusal) {
      const [status, reason] = refusal;
      this.#options.log(`WebSocket refused (${status}): ${reason}`);
      socket.end(`HTTP/1.1 ${status} Refused\r\nConnection: close\r\nContent-Type: text/plain\r\n`
        + `Content-Length: ${Buffer.byteLength(reason) + 1}\r\n\r\n${reason}\n`);
      return;
    }
    this.#sockets.handleUpgrade(request, socket, head, (webSocket) => this.#connect(webSocket, request));
  }

  #connect(webSocket, request) {
    const connection = new BridgeConnection(webSocket, this.#options.log, { video: requestedVideo(request.url) });
    const limit = this.#options.maxSessions;
    if (this.#connections.size >= limit) {
      connection.refuse(`another page is playing: this bridge runs at most ${limit} session${limit === 1 ? '' : 's'}`, 1013);
      return;
    }
    this.#connections.add(connection);
    webSocket.once('close', () => {
      this.#connections.delete(connection);
      connection.end(QUIT_GRACE_MS);
    });
    this.#startHostFor(connection).catch((error) => connection.refuse(`the host could not be started: ${error.message}`, 1011));
  }

  async #startHostFor(connection) {
    // A host of a page that just closed may still be quitting (at most the
    // grace time): the next page's host starts once it is gone.
    while (this.#hosts.size >= this.#options.maxSessions) {
      await Promise.race([...this.#hosts].map((session) => session.exited));
    }
    if (connection.closed || this.#closing) return;
    const data = this.#options.dataDir;
    const dirs = { systemDir: 'system', saveDir: 'saves', assetsDir: 'assets', playlistDir: 'playlists' };
    for (const [name, folder] of Object.entries(dirs)) {
      dirs[name] = join(data, folder);
      mkdirSync(dirs[name], { recursive: true });
    }
    const session = startHost({ host: this.#options.host, core: this.#options.core, content: this.#options.content, ...dirs });
    this.#hosts.add(session);
    this.#options.log(`host ${session.pid} started`);
    session.once('exit', (result) => {
      this.#hosts.delete(session);
      this.#options.log(`host ${session.pid} ended: ${result.meaning}`);
      this.emit('hostexit', result);
    });
    connection.attach(session);
    this.emit('session', session);
  }
}
