// The player's link to its host: a WebSocket to kalmo-play, or a
// MessagePort whose other end a front-end feeds (an Electron main process,
// or a page's own forwarder). Both carry the same things: whole host packets
// (binary messages, or transferred ArrayBuffers), read with the package's
// PacketParser (the same file the Node side uses); the bridge's notes (JSON
// text on the socket, plain objects on the port: exit, diagnostic, refused,
// stats); and command lines in the host's syntax the other way.
//
// A browser tells a page nothing about a WebSocket refused at its handshake
// (a wrong token, a foreign origin or host, too many wrong tokens), so a
// socket that closes before it opened asks the bridge why, with a plain GET
// of the same URL, and passes the answer on as the bridge's refused note.
//
// Frames may come instead as tile messages (lib/tile_codec.js), told apart
// from host packets by their first four bytes. Their decoding is
// asynchronous (the browser inflates them) but in order, and sound and
// status never wait behind it: they are handed on the moment they arrive.
// When the decoder loses its place it asks the bridge for a whole frame.

import { PacketParser } from '../lib/packet_parser.js';
import { TileDecoder, isTileMessage } from '../lib/tile_codec.js';
import { WHOLE_FRAME_REQUEST } from '../lib/commands.js';

// A whole frame asked for and not come (itself lost) is asked for again after this long.
const WHOLE_FRAME_RETRY_MS = 1000;
export const VIDEO_CODECS = ['raw', 'tiles'];

// The WebSocket URL with the codec the player asks the bridge for; a port (its front-end chose) or no choice, as it is.
export function withVideoCodec(source, video) {
  if (video === undefined || typeof source !== 'string') return source;
  if (!VIDEO_CODECS.includes(video)) throw new RangeError(`video must be ${VIDEO_CODECS.join(' or ')}, not ${video}`);
  const url = new URL(source);
  url.searchParams.set('video', video);
  return url.href;
}

// Long enough for a loaded machine, short enough that a silent bridge still ends in "Connection lost".
const ASK_WHY_MS = 5000;

// The bridge's answer to why it refused `url`: { reason, kind } or null when it gave none.
async function askWhyRefused(url) {
  try {
    const address = new URL(url);
    address.protocol = address.protocol === 'wss:' ? 'https:' : 'http:';
    const response = await fetch(address, { cache: 'no-store', signal: AbortSignal.timeout(ASK_WHY_MS) });
    const answer = await response.json();
    if (!answer?.refused) return null;
    const kind = typeof answer.refused === 'string' ? answer.refused : '';
    return { reason: String(answer.reason ?? kind), kind };
  } catch {
    return null;
  }
}

class SocketLink {
  constructor(url, connection) {
    this.socket = new WebSocket(url);
    this.socket.binaryType = 'arraybuffer';
    this.everOpen = false;
    this.socket.onopen = () => {
      this.everOpen = true;
      connection.opened();
    };
    this.socket.onmessage = ({ data }) => {
      if (typeof data !== 'string') {
        connection.receivePackets(data);
        return;
      }
      let message;
      try {
        message = JSON.parse(data);
      } catch {
        return;
      }
      connection.receiveNote(message);
    };
    this.socket.onclose = async (event) => {
      const outcome = { clean: event.wasClean, code: event.code, reason: event.reason };
      const refusal = this.everOpen ? null : await askWhyRefused(url);
      if (refusal) connection.receiveNote({ bridge: 'refused', ...refusal });
      connection.finish(outcome);
    };
  }

  get open() {
    return this.socket.readyState === WebSocket.OPEN;
  }

  send(line) {
    this.socket.send(line);
  }

  close() {
    if (this.socket.readyState <= WebSocket.OPEN) this.socket.close(1000, 'page closed');
  }
}

class PortLink {
  constructor(port, connection) {
    this.port = port;
    this.closed = false;
    port.onmessage = ({ data }) => {
      if (data instanceof ArrayBuffer) connection.receivePackets(data);
      else if (data && typeof data === 'object' && typeof data.bridge === 'string') connection.receiveNote(data);
    };
    // The other end closing (where browsers report it) ends the session like a closed socket.
    port.addEventListener('close', () => {
      this.closed = true;
      connection.finish({ clean: false, code: 0, reason: 'the port closed' });
    });
    port.start();
    // A port is connected from the start; the open is reported once the caller has its handle.
    queueMicrotask(() => connection.opened());
  }

  get open() {
    return !this.closed;
  }

  send(line) {
    this.port.postMessage(line);
  }

  close() {
    if (this.closed) return;
    this.port.postMessage('QUIT');
    this.closed = true;
    this.port.close();
  }
}

export class Connection {
  // source: a WebSocket URL or a MessagePort.
  // handlers: onOpen(), onPacket(packet, arrivedAt), onBridge(message), onClose({clean, code, reason, error})
  constructor(source, handlers) {
    this.handlers = handlers;
    this.parser = new PacketParser();
    this.tiles = null;
    this.wholeAskedAt = null;
    this.videoCounts = { codec: 'raw', lostTileMessages: 0, wholeFrameRequests: 0 };
    this.closed = false;
    this.kind = typeof source === 'string' ? 'websocket' : 'port';
    this.link = this.kind === 'websocket' ? new SocketLink(source, this) : new PortLink(source, this);
  }

  opened() {
    if (!this.closed) this.handlers.onOpen?.();
  }

  receivePackets(buffer) {
    if (this.closed) return;
    const arrivedAt = performance.now();
    const bytes = new Uint8Array(buffer);
    if (this.parser.pending === 0 && isTileMessage(bytes)) {
      this.receiveTiles(bytes, arrivedAt);
      return;
    }
    let packets;
    try {
      packets = this.parser.push(bytes);
    } catch (error) {
      // The stream lost its place: nothing after this can be trusted.
      for (const packet of error.packets ?? []) this.handlers.onPacket?.(packet, arrivedAt);
      this.finish({ clean: false, code: 0, reason: '', error: error.message });
      this.link.close();
      return;
    }
    for (const packet of packets) this.handlers.onPacket?.(packet, arrivedAt);
  }

  receiveTiles(bytes, arrivedAt) {
    if (!this.tiles) {
      this.tiles = new TileDecoder();
      this.videoCounts.codec = 'tiles';
    }
    this.tiles.decode(bytes).then(({ frame }) => {
      if (this.closed) return;
      if (frame) {
        this.wholeAskedAt = null;
        this.handlers.onPacket?.(frame, arrivedAt);
        return;
      }
      this.videoCounts.lostTileMessages++;
      const now = performance.now();
      if (this.wholeAskedAt !== null && now - this.wholeAskedAt < WHOLE_FRAME_RETRY_MS) return;
      this.wholeAskedAt = now;
      if (this.send(WHOLE_FRAME_REQUEST)) this.videoCounts.wholeFrameRequests++;
    });
  }

  receiveNote(message) {
    if (this.closed) return;
    this.handlers.onBridge?.(message);
    // The far end of a port closes it after these; not every browser reports that close.
    if (this.kind === 'port' && (message.bridge === 'exit' || message.bridge === 'refused')) {
      this.finish({ clean: true, code: 1000, reason: message.bridge });
    }
  }

  get open() {
    return !this.closed && this.link.open;
  }

  // Sends one command line; false when the link is not open.
  send(line) {
    if (!this.open) return false;
    this.link.send(line);
    return true;
  }

  close() {
    this.link.close();
  }

  finish(outcome) {
    if (this.closed) return;
    this.closed = true;
    this.handlers.onClose?.(outcome);
  }
}
