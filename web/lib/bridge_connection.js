// One page and its host: forwards each host packet to the page's WebSocket
// as one binary message, the bridge's own notes as JSON text, and the
// page's command lines to the host after checking them.
//
// The host's output is never paused (a full pipe would stall the game).
// Instead video is thinned per connection: a frame is not sent while the
// socket still holds about two frames, nor when it equals the last frame
// sent. Audio and status always go.
import { Buffer } from 'node:buffer';
import { CommandError, parseCommandLine } from './commands.js';

const STATS_INTERVAL_MS = 1000;
// Commands pile up in our memory if the host stops reading its input.
const MAX_INPUT_BACKLOG = 1 << 20;

export class BridgeConnection {
  #socket;
  #log;
  #session = null;
  #lastSentFrame = null;
  #sentVideo = 0;
  #droppedVideo = 0;
  #repeatedVideo = 0;
  #statsTimer;
  #closed = false;

  constructor(socket, log) {
    this.#socket = socket;
    this.#log = log;
    socket.on('message', (data, isBinary) => this.#receive(data, isBinary));
    socket.on('error', (error) => this.refuse(`socket error: ${error.message}`));
    this.#statsTimer = setInterval(() => this.#sendStats(), STATS_INTERVAL_MS);
    this.#statsTimer.unref();
  }

  get session() { return this.#session; }
  get closed() { return this.#closed; }
  get stats() {
    return { sentVideo: this.#sentVideo, droppedVideo: this.#droppedVideo, repeatedVideo: this.#repeatedVideo };
  }

  // Hands the connection its host: from now on its output goes to the page.
  attach(session) {
    this.#session = session;
    session.on('status', (packet) => this.#sendBinary(packet.bytes));
    session.on('audio', (packet) => this.#sendBinary(packet.bytes));
    session.on('video', (packet) => this.#forwardFrame(packet));
    session.on('diagnostic', (line) => this.#sendNote({ bridge: 'diagnostic', line }));
    session.once('exit', (result) => {
      this.#sendStats();
      this.#sendNote({ bridge: 'exit', code: result.code, signal: result.signal, meaning: result.meaning });
      this.#close(1000, 'the host ended');
    });
  }

  // Says why, then closes this connection only.
  refuse(reason, code = 1008) {
    if (this.#closed) return;
    this.#log(`connection refused: ${reason}`);
    this.#sendNote({ bridge: 'refused', reason });
    this.#close(code, reason);
  }

  #receive(data, isBinary) {
    if (this.#closed) return;
    if (isBinary) {
      this.refuse('binary messages are not accepted; send command lines as text', 1003);
      return;
    }
    let line;
    try {
      line = parseCommandLine(data.toString('utf8'));
    } catch (error) {
      if (!(error instanceof CommandError)) throw error;
      this.refuse(`bad command: ${error.message}`);
      return;
    }
    if (!this.#session) return;
    if (this.#session.inputBacklog > MAX_INPUT_BACKLOG) {
      this.refuse('the host is not reading its input; too many commands are waiting');
      return;
    }
    this.#session.command(line);
  }

  #forwardFrame(packet) {
    const bytes = packet.bytes;
    if (this.#socket.bufferedAmount > 2 * bytes.length) {
      this.#droppedVideo++;
      return;
    }
    if (this.#lastSentFrame && sameBytes(this.#lastSentFrame, bytes)) {
      this.#repeatedVideo++;
      return;
    }
    if (this.#sendBinary(bytes)) {
      this.#sentVideo++;
      this.#lastSentFrame = bytes;
    }
  }

  #sendBinary(bytes) {
    if (this.#closed || this.#socket.readyState !== this.#socket.OPEN) return false;
    this.#socket.send(bytes, { binary: true });
    return true;
  }

  #sendNote(note) {
    if (this.#closed || this.#socket.readyState !== this.#socket.OPEN) return;
    this.#socket.send(JSON.stringify(note));
  }

  #sendStats() {
    this.#sendNote({ bridge: 'stats', ...this.stats });
  }

  #close(code, reason) {
    if (this.#closed) return;
    this.#closed = true;
    clearInterval(this.#statsTimer);
    // A close reason is at most 123 bytes on the wire; the note above
    // carried the full text.
    this.#socket.close(code, reason.replace(/[^\x20-\x7e]/g, '?').slice(0, 123));
  }

  // The server stops: the host is asked to quit (killed after graceMs), and
  // its exit note reaches the page before the socket closes.
  stop(graceMs) {
    if (this.#session) return this.#session.quit({ timeoutMs: graceMs });
    this.#close(1001, 'the bridge is stopping');
    return Promise.resolve(null);
  }

  // The page is gone: ask the host to quit, kill it if it has not ended
  // after graceMs.
  end(graceMs) {
    this.#closed = true;
    clearInterval(this.#statsTimer);
    return this.#session ? this.#session.quit({ timeoutMs: graceMs }) : Promise.resolve(null);
  }
}

function sameBytes(a, b) {
  if (a.length !== b.length) return false;
  return Buffer.from(a.buffer, a.byteOffset, a.length).equals(Buffer.from(b.buffer, b.byteOffset, b.length));
}
