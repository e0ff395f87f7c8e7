// The WebSocket to kalmo-play. Binary messages are whole host packets, read
// with the package's PacketParser (the same file the Node side uses); text
// messages are the bridge's own JSON notes (exit, diagnostic, refused,
// stats). What goes back is command lines in the host's syntax.

import { PacketParser } from '../lib/packet_parser.js';

export class Connection {
  // handlers: onOpen(), onPacket(packet, arrivedAt), onBridge(message), onClose({clean, code, reason, error})
  constructor(url, handlers) {
    this.handlers = handlers;
    this.parser = new PacketParser();
    this.closed = false;
    this.socket = new WebSocket(url);
    this.socket.binaryType = 'arraybuffer';
    this.socket.onopen = () => handlers.onOpen?.();
    this.socket.onmessage = (event) => this.receive(event);
    this.socket.onclose = (event) => this.finish({ clean: event.wasClean, code: event.code, reason: event.reason });
  }

  receive(event) {
    const arrivedAt = performance.now();
    if (typeof event.data === 'string') {
      let message;
      try {
        message = JSON.parse(event.data);
      } catch {
        return;
      }
      this.handlers.onBridge?.(message);
      return;
    }
    let packets;
    try {
      packets = this.parser.push(new Uint8Array(event.data));
    } catch (error) {
      // The stream lost its place: nothing after this can be trusted.
      this.finish({ clean: false, code: 0, reason: '', error: error.message });
      this.socket.close();
      return;
    }
    for (const packet of packets) this.handlers.onPacket?.(packet, arrivedAt);
  }

  get open() {
    return this.socket.readyState === WebSocket.OPEN;
  }

  // Sends one command line; false when the socket is not open.
  send(line) {
    if (!this.open) return false;
    this.socket.send(line);
    return true;
  }

  close() {
    if (this.socket.readyState <= WebSocket.OPEN) this.socket.close(1000, 'page closed');
  }

  finish(outcome) {
    if (this.closed) return;
    this.closed = true;
    this.handlers.onClose?.(outcome);
  }
}
