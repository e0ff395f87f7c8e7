// The local bridge behind kalmo-play: an HTTP (or, given a certificate,
// HTTPS) server for the player page and a WebSocket endpoint at /ws that
// gives each admitted page one host, running the core and content fixed on
// the server's own command line.
//
// Who may connect is admission.js's alone: this file asks it of every
// request and turns its answer into a status. What a page may do once in is
// bounded here and in commands.js: sessions are bounded; messages are short
// text lines checked field by field; nothing a page sends names a path or a
// library.
import { createServer } from 'node:http';
import { createServer as createHttpsServer } from 'node:https';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { EventEmitter } from 'node:events';
import { WebSocketServer } from 'ws';
import { defaultHostPath, startHost } from './host_session.js';
import { BridgeConnection, DEFAULT_VIDEO, requestedVideo } from './bridge_connection.js';
import { QUIT_GRACE_MS } from './host_relay.js';
import { PLAYER_DIR, pageFile } from './page_files.js';
import { Admission, newToken, plainBindRefusal, plainOnTlsPortText } from './admission.js';
import { createSecurePort } from './secure_port.js';
import { isLoopback, pageUrls } from './network_addresses.js';

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

export function createBridgeServer(options) {
  return new BridgeServer(options);
}

export class BridgeServer extends EventEmitter {
  #options;
  #token = newToken();
  #http;
  #listener;
  #sockets;
  #admission;
  #connections = new Set();
  #hosts = new Set();
  #port = 0;
  #closing = null;

  // core, content (required); host, dataDir, bind ('127.0.0.1'), port (0:
  // any free one), maxSessions (1), playerDir, log (a function taking a line);
  // tls ({ cert, key } in PEM: serve HTTPS and WSS), names (more host names
  // the machine is reached by), now (the admission's clock, for tests).
  constructor(options) {
    super();
    for (const name of ['core', 'content', 'dataDir']) {
      if (typeof options?.[name] !== 'string' || !options[name]) throw new TypeError(`the bridge needs ${name}`);
    }
    this.#options = {
      host: defaultHostPath(), bind: '127.0.0.1', port: 0, maxSessions: 1, playerDir: PLAYER_DIR, names: [],
      now: Date.now, log: (line) => process.stderr.write(`kalmo-play: ${line}\n`),
      ...Object.fromEntries(Object.entries(options).filter(([, value]) => value !== undefined)),
    };
    const plainRefusal = this.#options.tls ? null : plainBindRefusal(this.#options.bind);
    if (plainRefusal) throw new TypeError(plainRefusal);
    const serve = (request, response) => this.#serve(request, response);
    if (this.#options.tls) {
      const { cert, key } = this.#options.tls;
      this.#http = createHttpsServer({ cert, key, minVersion: 'TLSv1.2' }, serve);
      this.#http.on('tlsClientError', (error, socket) => socket.destroy());
      this.#listener = createSecurePort(this.#http, (request) => {
        const host = this.#admission?.namesThisBridge(request.headers.host) ? request.headers.host : null;
        return plainOnTlsPortText(host, request.url);
      });
    } else {
      this.#http = createServer(serve);
      this.#listener = this.#http;
    }
    this.#http.on('upgrade', (request, socket, head) => this.#upgrade(request, socket, head));
    this.#http.on('clientError', (error, socket) => socket.destroy());
    this.#sockets = new WebSocketServer({ noServer: true, maxPayload: MAX_MESSAGE_BYTES, perMessageDeflate: false });
  }

  get token() { return this.#token; }
  get port() { return this.#port; }
  get secure() { return Boolean(this.#options.tls); }
  // The page's URLs with the token: over HTTPS one per network address and
  // name of the machine, else the loopback one.
  get urls() {
    const { bind, names } = this.#options;
    return pageUrls({ secure: this.secure, bind, port: this.#port, token: this.#token, extraNames: names });
  }
  get url() { return this.urls[0]; }
  // Process ids of the hosts alive now, quitting ones included.
  get hostPids() { return [...this.#hosts].map((session) => session.pid); }

  async listen() {
    await new Promise((resolve, reject) => {
      this.#listener.once('error', reject);
      this.#listener.listen(this.#options.port, this.#options.bind, () => {
        this.#listener.off('error', reject);
        resolve();
      });
    });
    this.#port = this.#listener.address().port;
    const { bind, names, now, log } = this.#options;
    this.#admission = new Admission({ token: this.#token, secure: this.secure, port: this.#port, bind, extraNames: names, now, log });
    return this.url;
  }

  // Asks every host to quit, kills those still running after the grace
  // time, then stops listening.
  close() {
    this.#closing ??= (async () => {
      this.#listener.close();
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
      const { pathname } = new URL(request.url, 'http://bridge');
      const reading = request.method === 'GET' || request.method === 'HEAD';
      if (pathname === '/ws' && reading) {
        this.#answerProbe(request, response);
        return;
      }
      const refusal = this.#admission.checkPage(request);
      if (refusal) {
        this.#refuse(response, refusal);
        return;
      }
      if (!reading) {
        response.writeHead(405, { ...PAGE_HEADERS, Allow: 'GET, HEAD' }).end();
        return;
      }
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

  #refuse(response, { status, reason }) {
    this.#options.log(`request refused (${status}): ${reason.trim()}`);
    response.writeHead(status, { ...PAGE_HEADERS, 'Content-Type': 'text/plain; charset=utf-8' }).end(`${reason.trim()}\n`);
  }

  // A page whose socket closed before opening cannot read the handshake's
  // status: it asks /ws again as a plain GET and gets the same decision as
  // JSON, with the handshake's status. Same-origin only (no CORS headers).
  #answerProbe(request, response) {
    const refusal = this.#socketRefusal(request, { probe: true });
    const [status, body] = refusal ? [refusal.status, { refused: true, reason: refusal.reason.trim() }] : [200, { refused: false }];
    const text = JSON.stringify(body);
    response.writeHead(status, { ...PAGE_HEADERS, 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
    response.end(request.method === 'HEAD' ? undefined : text);
  }

  #socketRefusal(request, options) {
    if (this.#closing) return { status: 503, reason: 'the bridge is stopping' };
    return this.#admission.checkSocket(request, options);
  }

  #upgrade(request, socket, head) {
    socket.on('error', () => socket.destroy());
    let refusal;
    try {
      refusal = new URL(request.url, 'http://bridge').pathname === '/ws'
        ? this.#socketRefusal(request) : { status: 404, reason: 'WebSocket requests go to /ws' };
    } catch {
      refusal = { status: 400, reason: 'unreadable request path' };
    }
    if (refusal) {
      const reason = refusal.reason.trim();
      this.#options.log(`WebSocket refused (${refusal.status}): ${reason}`);
      socket.end(`HTTP/1.1 ${refusal.status} Refused\r\nConnection: close\r\nContent-Type: text/plain; charset=utf-8\r\n`
        + `Content-Length: ${Buffer.byteLength(reason) + 1}\r\n\r\n${reason}\n`);
      return;
    }
    this.#sockets.handleUpgrade(request, socket, head, (webSocket) => this.#connect(webSocket, request));
  }

  #connect(webSocket, request) {
    // Another device is on Wi-Fi, where changed tiles cost far fewer bytes
    // than whole frames; a page may still name its codec.
    const video = requestedVideo(request.url, isLoopback(request.socket.remoteAddress) ? DEFAULT_VIDEO : 'tiles');
    const connection = new BridgeConnection(webSocket, this.#options.log, { video });
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
