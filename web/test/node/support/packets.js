// Builds host packets byte by byte for the parser and bridge tests.

export function packet(type, payload) {
  const bytes = new Uint8Array(9 + payload.length);
  bytes.set([0x4b, 0x4c, 0x4d, 0x50, type], 0);
  new DataView(bytes.buffer).setUint32(5, payload.length, true);
  bytes.set(payload, 9);
  return bytes;
}

// Pixel i of the frame carries the bytes of (seed + i) so frames differ.
export function videoPacket(width, height, seed = 0) {
  const payload = new Uint8Array(8 + width * height * 4);
  const view = new DataView(payload.buffer);
  view.setUint32(0, width, true);
  view.setUint32(4, height, true);
  for (let i = 0; i < width * height; i++) view.setUint32(8 + i * 4, (seed + i) >>> 0, true);
  return packet(1, payload);
}

export function audioPacket(sampleRate, samples) {
  const payload = new Uint8Array(8 + samples.length * 2);
  const view = new DataView(payload.buffer);
  view.setUint32(0, sampleRate, true);
  view.setUint32(4, samples.length / 2, true);
  samples.forEach((sample, i) => view.setInt16(8 + i * 2, sample, true));
  return packet(2, payload);
}

export function statusPacket(message) {
  const text = typeof message === 'string' ? message : JSON.stringify(message);
  return packet(3, new TextEncoder().encode(text));
}

export function concat(parts) {
  const total = parts.reduce((sum, part) => sum + part.length, 0);
  const out = new Uint8Array(total);
  let at = 0;
  for (const part of parts) {
    out.set(part, at);
    at += part.length;
  }
  return out;
}
