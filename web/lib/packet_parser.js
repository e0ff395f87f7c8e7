// Reassembles the host's packet stream from chunks of any size into typed
// packets. A plain ES module with no Node APIs: the browser player imports
// this very file, so the page and the parent read the stream the same way.
//
// A packet is "KLMP", a type byte (1 video, 2 audio, 3 status) and a
// little-endian u32 payload length, then the payload. A packet lying inside
// one chunk is returned as views of that chunk; one spanning chunks is copied
// once into a buffer of its exact length. Any fault in the stream is final:
// after a desynchronisation nothing that follows can be trusted.

const HEADER_BYTES = 9;
const SIZE_FIELDS_BYTES = 8;
const MAGIC = [0x4b, 0x4c, 0x4d, 0x50];
const MAX_FRAME_SIDE = 8192;
const MAX_AUDIO_FRAMES = 65536;
// The host's status lines stay under a kilobyte; a length far beyond that
// means the stream lost its place, and waiting for it would hold memory.
const MAX_STATUS_BYTES = 65536;
const TYPE_NAMES = { 1: 'video', 2: 'audio', 3: 'status' };

// Node can hand out memory without zeroing it first; a packet buffer is
// overwritten whole at once, so where that exists it saves a pass over
// every assembled frame. Browsers fall back to a plain Uint8Array.
const allocatePacket = typeof globalThis.Buffer?.allocUnsafeSlow === 'function'
  ? (length) => globalThis.Buffer.allocUnsafeSlow(length)
  : (length) => new Uint8Array(length);

const littleEndianPlatform = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;
const statusDecoder = new TextDecoder('utf-8');

export class PacketStreamError extends Error {
  constructor(message, offset) {
    super(`${message} (at byte ${offset} of the stream)`);
    this.name = 'PacketStreamError';
    this.offset = offset;
    // Packets the failing push completed before the fault, so none is lost.
    this.packets = [];
  }
}

export class PacketParser {
  #chunks = [];
  #firstChunkStart = 0;
  #buffered = 0;
  #streamOffset = 0;
  #expectedLength = 0;
  #error = null;

  // Returns the packets this chunk completes, in stream order.
  push(chunk) {
    if (this.#error) throw this.#error;
    if (!(chunk instanceof Uint8Array)) throw new TypeError('PacketParser.push takes a Uint8Array');
    const packets = [];
    if (chunk.length === 0) return packets;
    this.#chunks.push(chunk);
    this.#buffered += chunk.length;
    try {
      for (;;) {
        if (this.#expectedLength === 0) this.#expectedLength = this.#readHeader();
        if (this.#expectedLength === 0 || this.#buffered < this.#expectedLength) break;
        const start = this.#streamOffset;
        const bytes = this.#take(this.#expectedLength);
        this.#expectedLength = 0;
        packets.push(decodePacket(bytes, start));
      }
    } catch (error) {
      if (!(error instanceof PacketStreamError)) throw error;
      error.packets = packets;
      this.#fail(error);
    }
    return packets;
  }

  // Called when the stream closes: a stream cut inside a packet is an error.
  end() {
    if (this.#error) throw this.#error;
    if (this.#buffered > 0) {
      const whole = this.#expectedLength || 'at least 9';
      this.#fail(new PacketStreamError(
        `stream ended inside a packet: ${this.#buffered} of its ${whole} bytes arrived`, this.#streamOffset));
    }
  }

  // Bytes held that do not yet make a whole packet.
  get pending() { return this.#buffered; }

  #fail(error) {
    this.#error = error;
    this.#chunks = [];
    this.#buffered = 0;
    throw error;
  }

  // The pending packet's whole length once its header (and for frames and
  // audio, the two size fields) has arrived and checks out; 0 until then.
  #readHeader() {
    if (this.#buffered < HEADER_BYTES) return 0;
    const start = this.#streamOffset;
    for (let i = 0; i < 4; i++) {
      if (this.#byteAt(i) !== MAGIC[i]) throw new PacketStreamError('bad packet magic', start + i);
    }
    const type = this.#byteAt(4);
    if (!TYPE_NAMES[type]) throw new PacketStreamError(`unknown packet type ${type}`, start + 4);
    const length = this.#u32At(5);
    if (type === 3) {
      if (length > MAX_STATUS_BYTES) {
        throw new PacketStreamError(`status length ${length} is beyond ${MAX_STATUS_BYTES}`, start + 5);
      }
      return HEADER_BYTES + length;
    }
    if (length < SIZE_FIELDS_BYTES) {
      throw new PacketStreamError(`${TYPE_NAMES[type]} length ${length} is shorter than its size fields`, start + 5);
    }
    if (this.#buffered < HEADER_BYTES + SIZE_FIELDS_BYTES) return 0;
    const first = this.#u32At(9);
    const second = this.#u32At(13);
    if (type === 1) checkVideoSizes(first, second, length, start);
    else checkAudioSizes(second, length, start);
    return HEADER_BYTES + length;
  }

  #byteAt(index) {
    let position = this.#firstChunkStart + index;
    for (const chunk of this.#chunks) {
      if (position < chunk.length) return chunk[position];
      position -= chunk.length;
    }
    throw new RangeError('byte beyond the buffered stream');
  }

  #u32At(index) {
    return (this.#byteAt(index) | (this.#byteAt(index + 1) << 8) | (this.#byteAt(index + 2) << 16)
      | (this.#byteAt(index + 3) << 24)) >>> 0;
  }

  // Removes `length` bytes from the front: a view when they lie in one
  // chunk, else one copy into an exact-length buffer.
  #take(length) {
    const first = this.#chunks[0];
    const from = this.#firstChunkStart;
    let bytes;
    if (length <= first.length - from) {
      bytes = first.subarray(from, from + length);
      this.#advance(first, from + length);
    } else {
      bytes = allocatePacket(length);
      let filled = 0;
      while (filled < length) {
        const chunk = this.#chunks[0];
        const start = this.#firstChunkStart;
        const count = Math.min(chunk.length - start, length - filled);
        bytes.set(start === 0 && count === chunk.length ? chunk : chunk.subarray(start, start + count), filled);
        filled += count;
        this.#advance(chunk, start + count);
      }
    }
    this.#buffered -= length;
    this.#streamOffset += length;
    return bytes;
  }

  #advance(firstChunk, position) {
    if (position < firstChunk.length) {
      this.#firstChunkStart = position;
      return;
    }
    this.#chunks.shift();
    this.#firstChunkStart = 0;
  }
}

function checkVideoSizes(width, height, length, start) {
  if (width < 1 || width > MAX_FRAME_SIDE) {
    throw new PacketStreamError(`video width ${width} is outside 1..${MAX_FRAME_SIDE}`, start + 9);
  }
  if (height < 1 || height > MAX_FRAME_SIDE) {
    throw new PacketStreamError(`video height ${height} is outside 1..${MAX_FRAME_SIDE}`, start + 13);
  }
  const wanted = SIZE_FIELDS_BYTES + width * height * 4;
  if (length !== wanted) {
    throw new PacketStreamError(`video length ${length} disagrees with ${width}x${height} (${wanted})`, start + 5);
  }
}

function checkAudioSizes(frames, length, start) {
  if (frames < 1 || frames > MAX_AUDIO_FRAMES) {
    throw new PacketStreamError(`audio frame count ${frames} is outside 1..${MAX_AUDIO_FRAMES}`, start + 13);
  }
  const wanted = SIZE_FIELDS_BYTES + frames * 4;
  if (length !== wanted) {
    throw new PacketStreamError(`audio length ${length} disagrees with ${frames} frames (${wanted})`, start + 5);
  }
}

function readU32(bytes, index) {
  return (bytes[index] | (bytes[index + 1] << 8) | (bytes[index + 2] << 16) | (bytes[index + 3] << 24)) >>> 0;
}

function decodePacket(bytes, start) {
  const type = bytes[4];
  const payload = HEADER_BYTES + SIZE_FIELDS_BYTES;
  if (type === 1) {
    return { type: 'video', width: readU32(bytes, 9), height: readU32(bytes, 13), rgba: bytes.subarray(payload), bytes };
  }
  if (type === 2) {
    const frames = readU32(bytes, 13);
    return { type: 'audio', sampleRate: readU32(bytes, 9), frames, samples: readSamples(bytes, payload, frames * 2), bytes };
  }
  return decodeStatus(bytes, start);
}

// A view where the platform is little-endian and the samples sit on an even
// address; otherwise (half the packets: the payload starts at an odd offset)
// one small copy read little-endian.
function readSamples(bytes, from, count) {
  const byteOffset = bytes.byteOffset + from;
  if (littleEndianPlatform && byteOffset % 2 === 0) return new Int16Array(bytes.buffer, byteOffset, count);
  const samples = new Int16Array(count);
  const view = new DataView(bytes.buffer, byteOffset, count * 2);
  for (let i = 0; i < count; i++) samples[i] = view.getInt16(i * 2, true);
  return samples;
}

function decodeStatus(bytes, start) {
  const text = statusDecoder.decode(bytes.subarray(HEADER_BYTES));
  let json;
  try {
    json = JSON.parse(text);
  } catch (error) {
    throw new PacketStreamError(`status is not JSON: ${error.message}`, start + HEADER_BYTES);
  }
  if (json === null || typeof json !== 'object' || Array.isArray(json) || typeof json.state !== 'string') {
    throw new PacketStreamError('status is not a JSON object with a "state" text', start + HEADER_BYTES);
  }
  // The packet's own fields win over members of the same name in the JSON.
  return { ...json, type: 'status', state: json.state, text, bytes };
}
