// The tile codec between the bridge and the player: a frame goes as the
// tiles that changed since the last frame that viewer got, deflated, and the
// player rebuilds the host's frame from them bit for bit. A plain ES module
// with no Node API: the bridge encodes with it (given zlib's raw deflate),
// the player decodes with it (the browser's DecompressionStream by default).
//
// A tile message, integers little-endian:
//    0  "KLMT"            (host packets start "KLMP": one look tells them apart)
//    4  u8  kind          0 whole frame, 1 changed tiles
//    5  u8  tile side     in pixels, 4..64; tiles are square, row-major from the top left
//    6  u16 0
//    8  u32 sequence      this frame's number on this connection, from 1
//   12  u32 base          kind 1: the sequence of the frame the changes apply to; kind 0: 0
//   16  u32 width         1..8192
//   20  u32 height        1..8192
//   24  u32 body length   bytes of the inflated body
//   28  the body, raw deflate (RFC 1951):
//       kind 0: the frame's RGBA rows, packed;
//       kind 1: a bitmap of the tiles, bit (i & 7) of byte (i >> 3) set when
//               tile i changed, padded with zeros to a multiple of 4 bytes;
//               then each changed tile's RGBA rows in tile order, cut at the
//               frame's right and bottom edges.
// A frame whose tiles mostly changed goes whole: that is smaller (deflate
// sees whole rows) and cheaper to rebuild. The decoder applies changes only
// to the frame they name; anything else (a base it does not hold, a size it
// does not hold, a body that fails) leaves it waiting for a whole frame,
// which the player then asks the bridge for.

export const TILE_MAGIC = [0x4b, 0x4c, 0x4d, 0x54];
export const TILE_HEADER_BYTES = 28;
export const KIND_WHOLE = 0;
export const KIND_CHANGES = 1;
export const DEFAULT_TILE_SIDE = 16;
const MAX_FRAME_SIDE = 8192;
// Past this share of changed tiles a whole frame is no larger and rebuilds faster.
const WHOLE_FRAME_SHARE = 0.75;

export class TileCodecError extends Error {
  constructor(message) {
    super(message);
    this.name = 'TileCodecError';
  }
}

// True for a tile message, false for anything else (a host packet).
export function isTileMessage(bytes) {
  return bytes.length >= 4 && bytes[0] === TILE_MAGIC[0] && bytes[1] === TILE_MAGIC[1]
    && bytes[2] === TILE_MAGIC[2] && bytes[3] === TILE_MAGIC[3];
}

function tileGrid(width, height, side) {
  const across = Math.ceil(width / side);
  const down = Math.ceil(height / side);
  const count = across * down;
  return { across, down, count, bitmapBytes: Math.ceil(count / 32) * 4 };
}

// 32-bit words over the frame's bytes: a view when aligned, else one copy.
function pixelWords(rgba) {
  if (rgba.byteOffset % 4 === 0) return new Uint32Array(rgba.buffer, rgba.byteOffset, rgba.length / 4);
  const copy = new Uint32Array(rgba.length / 4);
  new Uint8Array(copy.buffer).set(rgba);
  return copy;
}

export class TileEncoder {
  #deflate;
  #side;
  #previous = null;
  #width = 0;
  #height = 0;
  #sequence = 0;
  #wantWhole = true;
  #scratch = null;

  // deflate(bytes) -> Uint8Array: raw deflate, synchronous; tileSide: 4..64.
  constructor({ deflate, tileSide = DEFAULT_TILE_SIDE }) {
    if (typeof deflate !== 'function') throw new TypeError('TileEncoder needs a deflate function');
    if (!Number.isInteger(tileSide) || tileSide < 4 || tileSide > 64) throw new RangeError('tile side must be 4..64');
    this.#deflate = deflate;
    this.#side = tileSide;
  }

  // The next frame goes whole (the viewer lost its place).
  requestWhole() {
    this.#wantWhole = true;
  }

  // The message for this frame ({message, whole}), or null when no pixel
  // changed since the last frame encoded. The frame's bytes are kept, not
  // copied, as the next base: they must not change afterwards.
  encode({ width, height, rgba }) {
    const words = pixelWords(rgba);
    const sizeChanged = width !== this.#width || height !== this.#height;
    let whole = this.#wantWhole || sizeChanged || !this.#previous;
    let changed = null;
    if (!whole) {
      changed = this.#changedTiles(words, width, height);
      if (changed.count === 0) return null;
      whole = changed.count > changed.grid.count * WHOLE_FRAME_SHARE;
    }
    const base = whole ? 0 : this.#sequence;
    const body = whole ? rgba : this.#changesBody(words, width, height, changed);
    this.#sequence = (this.#sequence + 1) >>> 0 || 1;
    this.#previous = words;
    this.#width = width;
    this.#height = height;
    this.#wantWhole = false;
    return { message: this.#message(whole ? KIND_WHOLE : KIND_CHANGES, base, width, height, body), whole };
  }

  #message(kind, base, width, height, body) {
    const packed = this.#deflate(body);
    const message = new Uint8Array(TILE_HEADER_BYTES + packed.length);
    const view = new DataView(message.buffer);
    message.set(TILE_MAGIC, 0);
    message[4] = kind;
    message[5] = this.#side;
    view.setUint32(8, this.#sequence, true);
    view.setUint32(12, base, true);
    view.setUint32(16, width, true);
    view.setUint32(20, height, true);
    view.setUint32(24, body.length, true);
    message.set(packed, TILE_HEADER_BYTES);
    return message;
  }

  // Compares each tile with the previous frame's, row by row, stopping at its first difference.
  #changedTiles(words, width, height) {
    const side = this.#side;
    const grid = tileGrid(width, height, side);
    const previous = this.#previous;
    const flags = new Uint8Array(grid.count);
    let count = 0;
    for (let ty = 0; ty < grid.down; ty++) {
      const top = ty * side;
      const bottom = Math.min(top + side, height);
      for (let tx = 0; tx < grid.across; tx++) {
        const left = tx * side;
        const right = Math.min(left + side, width);
        search: for (let y = top; y < bottom; y++) {
          const end = y * width + right;
          for (let i = y * width + left; i < end; i++) {
            if (words[i] !== previous[i]) {
              flags[ty * grid.across + tx] = 1;
              count++;
              break search;
            }
          }
        }
      }
    }
    return { grid, flags, count };
  }

  #changesBody(words, width, height, { grid, flags }) {
    const side = this.#side;
    const capacity = grid.bitmapBytes + width * height * 4;
    if (!this.#scratch || this.#scratch.byteLength < capacity) this.#scratch = new ArrayBuffer(capacity);
    const bitmap = new Uint8Array(this.#scratch, 0, grid.bitmapBytes);
    bitmap.fill(0);
    const out = new Uint32Array(this.#scratch, 0, capacity / 4);
    let at = grid.bitmapBytes / 4;
    for (let tile = 0; tile < grid.count; tile++) {
      if (!flags[tile]) continue;
      bitmap[tile >> 3] |= 1 << (tile & 7);
      const left = (tile % grid.across) * side;
      const top = Math.floor(tile / grid.across) * side;
      const right = Math.min(left + side, width);
      const bottom = Math.min(top + side, height);
      for (let y = top; y < bottom; y++) {
        const end = y * width + right;
        for (let i = y * width + left; i < end; i++) out[at++] = words[i];
      }
    }
    return new Uint8Array(this.#scratch, 0, at * 4);
  }
}

// Raw inflate with the platform's DecompressionStream, into a buffer of
// exactly `length` bytes; a body longer or shorter than that is an error.
export async function inflateRaw(bytes, length) {
  const out = new Uint8Array(length);
  const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate-raw'));
  const reader = stream.getReader();
  let filled = 0;
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    if (filled + value.length > length) {
      reader.cancel().catch(() => {});
      throw new TileCodecError(`the body inflates beyond its stated ${length} bytes`);
    }
    out.set(value, filled);
    filled += value.length;
  }
  if (filled !== length) throw new TileCodecError(`the body inflates to ${filled} bytes, not ${length}`);
  return out;
}

function readHeader(bytes) {
  if (!isTileMessage(bytes) || bytes.length < TILE_HEADER_BYTES) throw new TileCodecError('not a tile message');
  const view = new DataView(bytes.buffer, bytes.byteOffset, TILE_HEADER_BYTES);
  const header = {
    kind: bytes[4], side: bytes[5], sequence: view.getUint32(8, true), base: view.getUint32(12, true),
    width: view.getUint32(16, true), height: view.getUint32(20, true), bodyLength: view.getUint32(24, true),
  };
  if (header.kind !== KIND_WHOLE && header.kind !== KIND_CHANGES) throw new TileCodecError(`unknown kind ${header.kind}`);
  if (header.side < 4 || header.side > 64) throw new TileCodecError(`tile side ${header.side} is outside 4..64`);
  for (const name of ['width', 'height']) {
    if (header[name] < 1 || header[name] > MAX_FRAME_SIDE) throw new TileCodecError(`${name} ${header[name]} is outside 1..${MAX_FRAME_SIDE}`);
  }
  const pixels = header.width * header.height * 4;
  const most = header.kind === KIND_WHOLE ? pixels : tileGrid(header.width, header.height, header.side).bitmapBytes + pixels;
  if (header.kind === KIND_WHOLE ? header.bodyLength !== pixels : header.bodyLength > most || header.bodyLength % 4 !== 0) {
    throw new TileCodecError(`body length ${header.bodyLength} does not fit a ${header.width}x${header.height} frame`);
  }
  return header;
}

export class TileDecoder {
  #inflate;
  #frame = null;
  #sequence = 0;
  #tail = Promise.resolve();

  // inflate(bytes, length) -> Promise<Uint8Array of length bytes>; defaults to inflateRaw.
  constructor({ inflate = inflateRaw } = {}) {
    this.#inflate = inflate;
  }

  // Messages are decoded one after another in the order given. Resolves with
  // {frame: {type:'video', width, height, rgba}} (a new buffer each time,
  // never written again), or {lost: reason} when the message cannot be
  // applied: the decoder then waits for a whole frame.
  decode(bytes) {
    const result = this.#tail.then(() => this.#decodeOne(bytes));
    this.#tail = result.then(() => {}, () => {});
    return result;
  }

  // The sequence of the frame held, 0 when none (at the start, or after a loss).
  get sequence() { return this.#sequence; }

  async #decodeOne(bytes) {
    let header;
    try {
      header = readHeader(bytes);
      if (header.kind === KIND_CHANGES) {
        if (!this.#frame || header.base !== this.#sequence) throw new TileCodecError(`changes to frame ${header.base}, holding ${this.#sequence}`);
        if (header.width !== this.#frame.width || header.height !== this.#frame.height) throw new TileCodecError('changes of another size');
      }
      const body = await this.#inflate(bytes.subarray(TILE_HEADER_BYTES), header.bodyLength);
      const rgba = header.kind === KIND_WHOLE ? body : this.#applyChanges(header, body);
      this.#frame = { type: 'video', width: header.width, height: header.height, rgba };
      this.#sequence = header.sequence;
      return { frame: this.#frame };
    } catch (error) {
      this.#frame = null;
      this.#sequence = 0;
      return { lost: error instanceof TileCodecError ? error.message : `the body did not inflate: ${error.message}` };
    }
  }

  #applyChanges({ width, height, side, bodyLength }, body) {
    const grid = tileGrid(width, height, side);
    // A copy: the frame held may still be waiting to be painted.
    const rgba = new Uint8Array(this.#frame.rgba);
    const out = new Uint32Array(rgba.buffer);
    const words = pixelWords(body);
    let at = grid.bitmapBytes / 4;
    for (let tile = 0; tile < grid.count; tile++) {
      if (!(body[tile >> 3] & (1 << (tile & 7)))) continue;
      const left = (tile % grid.across) * side;
      const top = Math.floor(tile / grid.across) * side;
      const right = Math.min(left + side, width);
      const bottom = Math.min(top + side, height);
      if (at + (right - left) * (bottom - top) > words.length) throw new TileCodecError('the body ends inside a tile');
      for (let y = top; y < bottom; y++) {
        const end = y * width + right;
        for (let i = y * width + left; i < end; i++) out[i] = words[at++];
      }
    }
    if (at * 4 !== bodyLength) throw new TileCodecError(`the body holds ${bodyLength - at * 4} bytes past its tiles`);
    return rgba;
  }
}
