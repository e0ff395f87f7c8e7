// A page as the bridge sees it, from Node: a ws client with an Origin, its
// binary messages read by the package's parser, its JSON notes kept apart.
import WebSocket from 'ws';
import { PacketParser } from '../../../lib/packet_parser.js';

export function origin(server) {
  return `http://127.0.0.1:${server.port}`;
}

export function wsUrl(server, token = server.token) {
  return `ws://127.0.0.1:${server.port}/ws?token=${encodeURIComponent(token)}`;
}

// Resolves with the HTTP status of a refused upgrade, or 'open'.
export function tryConnect(url, headers) {
  return new Promise((resolve) => {
    const socket = new WebSocket(url, { headers });
    socket.on('open', () => {
      socket.terminate();
      resolve('open');
    });
    socket.on('unexpected-response', (request, response) => resolve(response.statusCode));
    socket.on('error', () => {});
  });
}

export class Page {
  constructor(server, { token = server.token, originHeader = origin(server) } = {}) {
    this.packets = [];
    this.notes = [];
    this.parser = new PacketParser();
    this.socket = new WebSocket(wsUrl(server, token), { origin: originHeader });
    this.socket.on('error', () => {});
    this.closed = new Promise((resolve) => this.socket.on('close', (code, reason) => resolve({ code, reason: `${reason}` })));
    this.socket.on('message', (data, isBinary) => {
      if (isBinary) this.packets.push(...this.parser.push(new Uint8Array(data)));
      else this.notes.push(JSON.parse(data));
    });
  }

  opened() {
    return new Promise((resolve, reject) => {
      this.socket.once('open', resolve);
      this.socket.once('unexpected-response', (request, response) => reject(new Error(`refused ${response.statusCode}`)));
    });
  }

  count(type) { return this.packets.filter((packet) => packet.type === type).length; }
  // The latest note of a kind.
  note(kind) { return this.notes.findLast((note) => note.bridge === kind); }
}
