// One host and the one viewer it plays for, whatever carries the messages
// (the bridge's WebSocket, a MessagePort): forwards every host packet whole,
// sends the viewer the bridge's notes (diagnostic lines, stats, the exit and
// its meaning, a refusal), checks each command line the viewer sends before
// the host sees it, and ends the host when the viewer goes (QUIT, then a
// kill after a grace time).
//
// The host's output is never paused (a full pipe would stall the game).
// Video is thinned per viewer instead: a frame equal to the last one sent is
// skipped, and so is a frame the viewer's transport says it cannot take yet.
// With a session in video: 'latest', frames that arrive before this process
// gets round to forwarding the last one are replaced by the newest. Audio
// and status always go.
//
// A viewer is { sendPacket(bytes) -> sent, sendNote(object), backlogged(frameLength)
// -> skip this frame, close(code, reason) }. Close codes are WebSocket's;
// a transport without them ignores the code.
import { Buffer } from 'node:buffer';
import { CommandError, parseCommandLine } from './commands.js';

// A viewer that went away gets its host QUIT; the host is killed this long after.
export const QUIT_GRACE_MS = 2000;
export const CLOSE_NORMAL = 1000;
export const CLOSE_GOING_AWAY = 1001;
export const CLOSE_POLICY = 1008;

const STATS_INTERVAL_MS = 1000;
// Commands pile up in our memory if the host stops reading its input.
const MAX_INPUT_BACKLOG = 1 << 20;

export class HostRelay {
  #viewer;
  #log;
  #session = null;
  #lastSentFrame = null;
  #sentVideo = 0;
  #droppedVideo = 0;
  #repeatedVideo = 0;
  #sessionDropsBefore = 0;
  #pendingTake = null;
  #statsTimer;
  #closed = false;

  constructor(viewer, log = () => {}) {
    this.#viewer = viewer;
    this.#log = log;
    this.#statsTimer = setInterval(() => this.#sendStats(), STATS_INTERVAL_MS);
    this.#statsTimer.unref();
  }

  get session() { return this.#session; }
  get closed() { return this.#closed; }
  get stats() {
    const replaced = this.#session ? this.#session.stats.droppedVideo - this.#sessionDropsBefore : 0;
    return { sentVideo: this.#sentVideo, droppedVideo: this.#droppedVideo + replaced, repeatedVideo: this.#repeatedVideo };
  }

  // Hands the viewer its host: from now on the host's output goes to it.
  attach(session) {
    this.#session = session;
    this.#sessionDropsBefore = session.stats.droppedVideo;
    session.on('status', (packet) => this.#sendPacket(packet.bytes));
    session.on('audio', (packet) => this.#sendPacket(packet.bytes));
    session.on('video', (packet) => this.#forwardFrame(packet));
    session.on('videoready', () => this.#takeFrameSoon());
    session.on('diagnostic', (line) => this.#sendNote({ bridge: 'diagnostic', line }));
    // Through the promise, so a session that ended before it was attached
    // still gets its viewer told.
    session.exited.then((result) => {
      this.#takeFrameNow();
      this.#sendStats();
      this.#sendNote({ bridge: 'exit', code: result.code, signal: result.signal, meaning: result.meaning });
      this.#close(CLOSE_NORMAL, 'the host ended');
    });
  }

  // One message from the viewer: a command line, checked here and nowhere
  // else before it reaches the host. Anything else ends the viewer.
  receive(text) {
    if (this.#closed) return;
    let line;
    try {
      line = parseCommandLine(text);
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

  // Says why, then closes this viewer only.
  refuse(reason, code = CLOSE_POLICY) {
    if (this.#closed) return;
    this.#log(`connection refused: ${reason}`);
    this.#sendNote({ bridge: 'refused', reason });
    this.#close(code, reason);
  }

  // This side stops: the host is asked to quit (killed after graceMs), and
  // its exit note reaches the viewer before the viewer is closed.
  stop(graceMs) {
    if (this.#session) return this.#session.quit({ timeoutMs: graceMs });
    this.#close(CLOSE_GOING_AWAY, 'the bridge is stopping');
    return Promise.resolve(null);
  }

  // The viewer is gone: ask the host to quit, kill it if it has not ended
  // after graceMs.
  end(graceMs) {
    this.#closed = true;
    clearInterval(this.#statsTimer);
    return this.#session ? this.#session.quit({ timeoutMs: graceMs }) : Promise.resolve(null);
  }

  #takeFrameSoon() {
    this.#pendingTake ??= setImmediate(() => this.#takeFrameNow());
  }

  #takeFrameNow() {
    clearImmediate(this.#pendingTake);
    this.#pendingTake = null;
    const frame = this.#session.takeVideo();
    if (frame) this.#forwardFrame(frame);
  }

  #forwardFrame(packet) {
    const bytes = packet.bytes;
    if (this.#closed) return;
    if (this.#viewer.backlogged(bytes.length)) {
      this.#droppedVideo++;
      return;
    }
    if (this.#lastSentFrame && sameBytes(this.#lastSentFrame, bytes)) {
      this.#repeatedVideo++;
      return;
    }
    if (this.#sendPacket(bytes)) {
      this.#sentVideo++;
      this.#lastSentFrame = bytes;
    }
  }

  #sendPacket(bytes) {
    return !this.#closed && this.#viewer.sendPacket(bytes);
  }

  #sendNote(note) {
    if (!this.#closed) this.#viewer.sendNote(note);
  }

  #sendStats() {
    this.#sendNote({ bridge: 'stats', ...this.stats });
  }

  #close(code, reason) {
    if (this.#closed) return;
    this.#closed = true;
    clearInterval(this.#statsTimer);
    this.#viewer.close(code, reason);
  }
}

function sameBytes(a, b) {
  if (a.length !== b.length) return false;
  return Buffer.from(a.buffer, a.byteOffset, a.length).equals(Buffer.from(b.buffer, b.byteOffset, b.length));
}
