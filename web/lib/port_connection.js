// A host session paired with a MessagePort, for a front-end that reaches
// the player without a server: Electron's main process with one end of a
// MessageChannelMain, or Node or a page with a MessageChannel. The relay
// (host_relay.js) decides what is forwarded and checked, as for the bridge;
// this file speaks the port.
//
// Towards the player each message is one whole host packet in an
// ArrayBuffer of its own, or one of the relay's notes as a plain object.
// Towards the host each message must be one command line as a string.
//
// Frames go raw unless the front-end asks for video: 'tiles' (host_relay.js):
// within one machine raw frames arrive soonest.
//
// A port cannot say how much it still holds, so no frame is skipped for a
// slow player: every distinct frame goes, at the game's rate, and the
// player draws the newest it has. Give the session video: 'latest' and
// frames this process could not forward before the next one arrived are
// replaced by the newest here too.
import { HostRelay, QUIT_GRACE_MS } from './host_relay.js';

export function connectPort(session, port, options) {
  return new PortConnection(session, port, options);
}

export class PortConnection {
  #port;
  #relay;
  #graceMs;

  // quitGraceMs: how long the host has to end after QUIT before it is
  // killed; log: a function taking a line, told of refused messages;
  // video: 'raw' (the default) or 'tiles'.
  constructor(session, port, { quitGraceMs = QUIT_GRACE_MS, log, video = 'raw' } = {}) {
    const listens = typeof port?.addEventListener === 'function' || typeof port?.on === 'function';
    if (typeof port?.postMessage !== 'function' || typeof port.close !== 'function' || !listens) {
      throw new TypeError('connectPort needs a MessagePort or an Electron MessagePortMain');
    }
    this.#port = port;
    this.#graceMs = quitGraceMs;
    // Electron's MessagePortMain takes only ports in its transfer list; its
    // messages are copied to the renderer's process anyway.
    const transfers = typeof MessagePort === 'function' && port instanceof MessagePort;
    this.#relay = new HostRelay({
      sendPacket: (bytes) => this.#post(wholeBuffer(bytes), transfers),
      sendNote: (note) => this.#post(note, false),
      backlogged: () => false,
      close: () => {
        port.close();
        this.#relay.end(this.#graceMs);
      },
    }, log, { video });
    listen(port, (data) => this.#relay.receive(data), () => this.#relay.end(this.#graceMs));
    this.#relay.attach(session);
  }

  get session() { return this.#relay.session; }
  get closed() { return this.#relay.closed; }
  get stats() { return this.#relay.stats; }

  // Asks the host to quit (killed after quitGraceMs); the player gets the
  // exit note, then the port is closed. Resolves with the host's exit.
  close() {
    return this.#relay.stop(this.#graceMs);
  }

  #post(message, transfer) {
    try {
      if (transfer) this.#port.postMessage(message, [message]);
      else this.#port.postMessage(message);
      return true;
    } catch {
      // A port that cannot take a message has lost its player.
      this.#relay.end(this.#graceMs);
      return false;
    }
  }
}

// A packet may be a view into a larger pipe chunk: the player gets exactly
// its bytes, copied once into a buffer that can be handed over.
function wholeBuffer(bytes) {
  const buffer = new ArrayBuffer(bytes.length);
  new Uint8Array(buffer).set(bytes);
  return buffer;
}

function listen(port, onMessage, onClose) {
  if (typeof port.addEventListener === 'function') {
    port.addEventListener('message', (event) => onMessage(event.data));
    port.addEventListener('close', onClose);
  } else {
    // Electron's MessagePortMain, an emitter whose events carry `data`.
    port.on('message', (event) => onMessage(event.data));
    port.on('close', onClose);
  }
  port.start?.();
}
