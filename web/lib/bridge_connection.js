// One page and its host over the bridge's WebSocket: host packets go as
// binary messages, the relay's notes as JSON text, and the page's text
// messages are its command lines. What is forwarded, thinned and checked is
// the relay's (host_relay.js); this file only speaks WebSocket, and says
// which codec a page's frames travel in.
//
// A frame is not sent while the socket still holds about two video
// messages: the page is then behind, and an older frame would only add to
// its lag.
import { HostRelay, VIDEO_CODECS } from './host_relay.js';

// The codec of a page that names none: raw on loopback, where bytes are
// free, raw frames reach the page soonest and cost the bridge about the
// same CPU as tiles (bench/RESULTS.md, web-tiles). A server giving pages on another machine
// their frames should pass 'tiles'.
export const DEFAULT_VIDEO = 'raw';

// The codec a page asked for with `video=` in its WebSocket URL (`raw` or
// `tiles`), else `fallback`. An unknown name is returned as it is, and
// BridgeConnection refuses it.
export function requestedVideo(requestUrl, fallback = DEFAULT_VIDEO) {
  try {
    return new URL(requestUrl, 'http://bridge').searchParams.get('video') ?? fallback;
  } catch {
    return fallback;
  }
}

export class BridgeConnection {
  #socket;
  #relay;

  // options.video: 'raw' or 'tiles' (requestedVideo gives the page's choice); default DEFAULT_VIDEO.
  constructor(socket, log, { video = DEFAULT_VIDEO } = {}) {
    this.#socket = socket;
    const open = () => socket.readyState === socket.OPEN;
    const known = VIDEO_CODECS.includes(video);
    this.#relay = new HostRelay({
      sendPacket(bytes) {
        if (!open()) return false;
        socket.send(bytes, { binary: true });
        return true;
      },
      sendNote(note) {
        if (open()) socket.send(JSON.stringify(note));
      },
      backlogged: (messageLength) => socket.bufferedAmount > 2 * messageLength,
      // A close reason is at most 123 bytes on the wire; the note carried
      // the full text.
      close: (code, reason) => socket.close(code, reason.replace(/[^\x20-\x7e]/g, '?').slice(0, 123)),
    }, log, { video: known ? video : DEFAULT_VIDEO });
    socket.on('message', (data, isBinary) => {
      if (isBinary) this.refuse('binary messages are not accepted; send command lines as text', 1003);
      else this.#relay.receive(data.toString('utf8'));
    });
    socket.on('error', (error) => this.refuse(`socket error: ${error.message}`));
    if (!known) this.refuse(`unknown video codec ${JSON.stringify(String(video).slice(0, 20))}; ask for raw or tiles`);
  }

  get session() { return this.#relay.session; }
  get closed() { return this.#relay.closed; }
  get stats() { return this.#relay.stats; }
  get video() { return this.#relay.video; }

  attach(session) { this.#relay.attach(session); }
  refuse(reason, code) { this.#relay.refuse(reason, code); }
  stop(graceMs) { return this.#relay.stop(graceMs); }
  end(graceMs) { return this.#relay.end(graceMs); }
}
