// One page and its host over the bridge's WebSocket: host packets go as
// binary messages, the relay's notes as JSON text, and the page's text
// messages are its command lines. What is forwarded, thinned and checked is
// the relay's (host_relay.js); this file only speaks WebSocket.
//
// A frame is not sent while the socket still holds about two frames: the
// page is then behind, and an older frame would only add to its lag.
import { HostRelay } from './host_relay.js';

export class BridgeConnection {
  #socket;
  #relay;

  constructor(socket, log) {
    this.#socket = socket;
    const open = () => socket.readyState === socket.OPEN;
    this.#relay = new HostRelay({
      sendPacket(bytes) {
        if (!open()) return false;
        socket.send(bytes, { binary: true });
        return true;
      },
      sendNote(note) {
        if (open()) socket.send(JSON.stringify(note));
      },
      backlogged: (frameLength) => socket.bufferedAmount > 2 * frameLength,
      // A close reason is at most 123 bytes on the wire; the note carried
      // the full text.
      close: (code, reason) => socket.close(code, reason.replace(/[^\x20-\x7e]/g, '?').slice(0, 123)),
    }, log);
    socket.on('message', (data, isBinary) => {
      if (isBinary) this.refuse('binary messages are not accepted; send command lines as text', 1003);
      else this.#relay.receive(data.toString('utf8'));
    });
    socket.on('error', (error) => this.refuse(`socket error: ${error.message}`));
  }

  get session() { return this.#relay.session; }
  get closed() { return this.#relay.closed; }
  get stats() { return this.#relay.stats; }

  attach(session) { this.#relay.attach(session); }
  refuse(reason, code) { this.#relay.refuse(reason, code); }
  stop(graceMs) { return this.#relay.stop(graceMs); }
  end(graceMs) { return this.#relay.end(graceMs); }
}
