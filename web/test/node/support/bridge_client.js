// A page as the bridge sees it, from Node: a ws client with an Origin, its
// binary messages read by the package's parser, its JSON notes kept apart.
// For a bridge serving HTTPS (`server.secure`), `ca` is the certificate to trust.
import { get as httpGet } from 'node:http';
import { request as httpsRequest } from 'node:https';
import WebSocket from 'ws';
import { PacketParser } from '../../../lib/packet_parser.js';

export function origin(server) {
  return `${server.secure ? 'https' : 'http'}://127.0.0.1:${server.port}`;
}

export function wsUrl(server, token = server.token) {
  return `${server.secure ? 'wss' : 'ws'}://127.0.0.1:${server.port}/ws?token=${encodeURIComponent(token)}`;
}

// A GET over HTTPS trusting `ca` alone (checked for localhost, whatever
// Host says), or over plain HTTP: status, headers, body and the
// certificate the server showed.
export function get(url, { ca, headers = {} } = {}) {
  return new Promise((resolve, reject) => {
    const send = url.startsWith('https:') ? httpsRequest : httpGet;
    const request = send(url, { ca, headers, servername: 'localhost' }, (response) => {
      let body = '';
      const peer = response.socket.getPeerCertificate?.();
      response.on('data', (chunk) => { body += chunk; });
      response.on('end', () => resolve({ status: response.statusCode, headers: response.headers, body, peer }));
    });
    request.on('error', reject);
    request.end();
  });
}

// Resolves with the HTTP status of a refused upgrade, or 'open'.
// `options` go to the ws client (a `ca` to trust, say).
export function tryConnect(url, headers, options = {}) {
  return new Promise((resolve) => {
    const socket = new WebSocket(url, { headers, ...options });
    socket.on('open', () => {
      socket.terminate();
      resolve('open');
    });
    socket.on('unexpected-response', (request, response) => resolve(response.statusCode));
    socket.on('error', () => {});
  });
}

export class Page {
  constructor(server, { token = server.token, originHeader = origin(server), ca } = {}) {
    this.packets = [];
    this.notes = [];
    this.parser = new PacketParser();
    this.socket = new WebSocket(wsUrl(server, token), { origin: originHeader, ca });
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
