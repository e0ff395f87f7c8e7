// One host and the one viewer it plays for, whatever carries the messages
// (the bridge's WebSocket, a MessagePort): forwards every host packet whole,
// sends the viewer the bridge's notes (diagnostic lines, stats, the exit and
// its meaning, a refusal), checks each command line the viewer sends before
// the host sees it, and ends the host when the viewer goes (QUIT, then a
// kill after a grace time).
//
// Each viewer gets its frames in one of two codecs, chosen when it connects:
// 'raw', every frame a whole host packet, or 'tiles', the tiles that changed
// since the last frame that viewer got, deflated (tile_codec.js). A viewer
// may ask for a whole frame (the tile decoder lost its place): it is sent
// from the last frame at once, and the next frames follow from it.
//
// The host's output is never paused (a full pipe would stall the game).
// Video is thinned per viewer instead: a frame equal to the last one sent is
// skipped, and so is a frame the viewer's transport says it cannot take yet;
// the newest such frame is held and goes once the transport has drained, so
// the viewer always ends on the current picture. With a session in video:
// 'latest', frames that arrive before this process gets round to forwarding
// the last one are replaced by the newest. Audio and status always go.
//
// A viewer is { sendPacket(bytes) -> sent, sendNote(object), backlogged(messageLength)
// -> skip this frame, close(code, reason) }; messageLength is the size of a
// typical video message in its codec. Close codes are WebSocket's; a
// transport without them ignores the code.
import { Buffer } from 'node:buffer';
import { deflateRawSync } from 'node:zlib';
import { CommandError, WHOLE_FRAME_REQUEST, parsePageMessage } from './commands.js';
import { TileEncoder } from './tile_codec.js';

// A viewer that went away gets its host QUIT; the host is killed this long after.
export const QUIT_GRACE_MS = 2000;
export const CLOSE_NORMAL = 1000;
export const CLOSE_GOING_AWAY = 1001;
export const CLOSE_POLICY = 1008;

const STATS_INTERVAL_MS = 1000;
export const VIDEO_CODECS = Object.freeze(['raw', 'tiles']);
// Deflate's fastest level: level 6 made the demo's frames a third the size
// for 2.5 times the CPU, and six times on a 640x480 picture changing all
// over, where level 1 is already past the bridge's budget (bench/RESULTS.md,
// web-tiles).
const TILE_DEFLATE_LEVEL = 1;
const deflateTiles = (bytes) => deflateRawSync(bytes, { level: TILE_DEFLATE_LEVEL });
// A tile message may be tiny; the backlog is judged against at least this
// much, so a few queued sound blocks do not count as a slow viewer.
const TILE_BACKLOG_UNIT = 16 * 1024;
// How often a held frame looks whether its viewer has drained.
const DRAIN_CHECK_MS = 5;
// Commands pile up in our memory if the host stops reading its input.
const MAX_INPUT_BACKLOG = 1 << 20;

export class HostRelay {
  #viewer;
  #log;
  #session = null;
  #codec;
  #encoder = null;
  #lastSentFrame = null;
  #lastMessageLength = 0;
  #heldFrame = null;
  #drainTimer = null;
  #resentWhole = false;
  #sentVideo = 0;
  #droppedVideo = 0;
  #repeatedVideo = 0;
  #skippedVideo = 0;
  #wholeFrames = 0;
  #videoBytes = { raw: 0, tiles: 0 };
  #sessionDropsBefore = 0;
  #pendingTake = null;
  #statsTimer;
  #closed = false;

  // video: 'raw' (the default) or 'tiles'.
  constructor(viewer, log = () => {}, { video = 'raw' } = {}) {
    if (!VIDEO_CODECS.includes(video)) throw new TypeError(`video must be ${VIDEO_CODECS.join(' or ')}, not ${video}`);
    this.#viewer = viewer;
    this.#log = log;
    this.#codec = video;
    if (video === 'tiles') this.#encoder = new TileEncoder({ deflate: deflateTiles });
    this.#statsTimer = setInterval(() => this.#sendStats(), STATS_INTERVAL_MS);
    this.#statsTimer.unref();
  }

  get session() { return this.#session; }
  get closed() { return this.#closed; }
  get video() { return this.#codec; }
  // skippedVideo: frames never sent because the viewer's transport was backed up (part of droppedVideo);
  // wholeFrames: tile messages holding a whole frame; videoBytes: video bytes handed to the transport, by codec.
  get stats() {
    const replaced = this.#session ? this.#session.stats.droppedVideo - this.#sessionDropsBefore : 0;
    const held = this.#heldFrame ? 1 : 0;
    return { sentVideo: this.#sentVideo, droppedVideo: this.#droppedVideo + replaced + held, repeatedVideo: this.#repeatedVideo,
      skippedVideo: this.#skippedVideo + held, wholeFrames: this.#wholeFrames, video: this.#codec, videoBytes: { ...this.#videoBytes } };
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

  // One message from the viewer: a command line, checked (commands.js) before
  // it reaches the host, or the request for a whole frame, which stays here.
  // Anything else ends the viewer.
  receive(text) {
    if (this.#closed) return;
    let line;
    try {
      line = parsePageMessage(text);
    } catch (error) {
      if (!(error instanceof CommandError)) throw error;
      this.refuse(`bad command: ${error.message}`);
      return;
    }
    if (line === WHOLE_FRAME_REQUEST) {
      this.#resendWhole();
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
    clearTimeout(this.#drainTimer);
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
    if (this.#closed) return;
    if (this.#heldFrame) {
      // Replaced by a newer frame before its viewer drained.
      this.#heldFrame = null;
      this.#skippedVideo++;
      this.#droppedVideo++;
    }
    if (this.#viewer.backlogged(this.#backlogUnit(packet))) {
      this.#heldFrame = packet;
      this.#drainTimer ??= setTimeout(() => this.#sendHeldFrame(), DRAIN_CHECK_MS);
      return;
    }
    this.#sendFrame(packet, false);
  }

  #sendHeldFrame() {
    this.#drainTimer = null;
    const packet = this.#heldFrame;
    this.#heldFrame = null;
    if (packet) this.#forwardFrame(packet);
  }

  #backlogUnit(packet) {
    return this.#encoder ? Math.max(this.#lastMessageLength, TILE_BACKLOG_UNIT) : packet.bytes.length;
  }

  // `again`: the viewer asked for this frame whole, so it goes even if it was sent before.
  #sendFrame(packet, again) {
    let message = packet.bytes;
    let whole = false;
    if (this.#encoder) {
      if (again) this.#encoder.requestWhole();
      const encoded = this.#encoder.encode(packet);
      if (encoded) ({ message, whole } = encoded);
      else message = null;
    } else if (!again && this.#lastSentFrame && sameBytes(this.#lastSentFrame.bytes, message)) {
      message = null;
    }
    if (!message) {
      this.#repeatedVideo++;
      return;
    }
    if (!this.#sendPacket(message)) return;
    this.#sentVideo++;
    if (whole) this.#wholeFrames++;
    this.#videoBytes[this.#codec] += message.length;
    this.#lastMessageLength = message.length;
    this.#lastSentFrame = packet;
    this.#resentWhole = again;
  }

  // The last frame again, whole, once per frame of the host (commands.js
  // says why); when there is none yet, it was already resent, or the viewer
  // is backed up, the next frame goes whole instead.
  #resendWhole() {
    this.#encoder?.requestWhole();
    const last = this.#lastSentFrame;
    if (!last || this.#resentWhole || this.#heldFrame || this.#viewer.backlogged(this.#backlogUnit(last))) return;
    this.#sendFrame(last, true);
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
    clearTimeout(this.#drainTimer);
    this.#viewer.close(code, reason);
  }
}

function sameBytes(a, b) {
  if (a.length !== b.length) return false;
  return Buffer.from(a.buffer, a.byteOffset, a.length).equals(Buffer.from(b.buffer, b.byteOffset, b.length));
}
