#!/usr/bin/env node
// A stand-in host for the tile bench: takes the six paths like the real one,
// reads its plan as JSON from the content path ({ "scene": "room" | "pan",
// "width": W, "height": H }) and sends "running", then a frame and an
// 800-frame block of sound every 1/60 s until QUIT. Scenes are drawn from a
// 256-colour palette, as adventure games paint them:
//   room  a still, dithered room with a 20x40 character walking across it
//         (a step of one pixel a frame, a new pose every six frames);
//   pan   the same painted picture panning one pixel a frame: every tile
//         changes in every frame.
// Also imported by the bench for its frames (sceneFrames).
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import { packet } from '../test/node/support/packets.js';

const FRAME_MS = 1000 / 60;
const SPRITE_WIDTH = 20;
const SPRITE_HEIGHT = 40;

function hash(x, y) {
  let h = Math.imul(x, 0x27d4eb2d) ^ Math.imul(y, 0x165667b1);
  h = Math.imul(h ^ (h >>> 15), 0x85ebca6b);
  return (h ^ (h >>> 13)) >>> 0;
}

// A palette of soft colour ramps, as an adventure game's background uses.
function palette() {
  const colours = new Uint32Array(256);
  for (let i = 0; i < 256; i++) {
    const ramp = i >> 5;
    const level = (i & 31) * 6 + 40;
    const [r, g, b] = [[1, 0.8, 0.6], [0.5, 0.7, 1], [0.6, 1, 0.6], [1, 1, 0.8], [0.9, 0.5, 0.4], [0.7, 0.6, 0.9],
      [0.4, 0.4, 0.5], [1, 0.9, 0.5]][ramp].map((share) => Math.min(255, Math.round(level * share)));
    colours[i] = (0xff << 24 | b << 16 | g << 8 | r) >>> 0;
  }
  return colours;
}

// A painted picture `width` wide: walls, a floor, shapes, shading dithered between neighbouring colours.
function paintedPicture(width, height, colours) {
  const words = new Uint32Array(width * height);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const floor = y > height * 0.7;
      const ramp = floor ? 4 : ((x >> 6) + (y >> 5)) % 3;
      const shade = floor ? 8 + ((y - height * 0.7) / height) * 60 : 10 + 12 * Math.sin(x / 23) * Math.cos(y / 17) + 8;
      const dither = (hash(x, y) & 3) === 0 ? 1 : 0;
      words[y * width + x] = colours[(ramp << 5) | Math.max(0, Math.min(31, Math.floor(shade) + dither))];
    }
  }
  return words;
}

// frame(n) -> Uint32Array of RGBA words for frame n of the scene.
export function sceneFrames({ scene, width, height }) {
  const colours = palette();
  if (scene === 'pan') {
    const wide = width * 2;
    const picture = paintedPicture(wide, height, colours);
    const frame = new Uint32Array(width * height);
    return (n) => {
      const shift = n % width;
      for (let y = 0; y < height; y++) frame.set(picture.subarray(y * wide + shift, y * wide + shift + width), y * width);
      return frame;
    };
  }
  const room = paintedPicture(width, height, colours);
  const frame = new Uint32Array(room);
  const top = Math.floor(height * 0.75) - SPRITE_HEIGHT;
  let last = 0;
  return (n) => {
    const path = 2 * (width - SPRITE_WIDTH);
    const step = n % path;
    const left = step < width - SPRITE_WIDTH ? step : path - step;
    const pose = Math.floor(n / 6) % 4;
    // Restore the room where the character stood, then draw it where it stands.
    for (let y = top; y < top + SPRITE_HEIGHT; y++) frame.set(room.subarray(y * width + last, y * width + last + SPRITE_WIDTH), y * width + last);
    for (let y = 0; y < SPRITE_HEIGHT; y++) {
      for (let x = 0; x < SPRITE_WIDTH; x++) {
        const limb = y > 26 && ((x < 10) === (pose % 2 === 0)) && (y - 26) % 4 < 2 + (pose >> 1);
        const body = (x - 10) ** 2 / 64 + (y - 18) ** 2 / 300 < 1 || (y < 9 && (x - 10) ** 2 + (y - 5) ** 2 < 18);
        if (body || limb) frame[(top + y) * width + left + x] = colours[(5 << 5) | ((x + y + pose) & 15) + 10];
      }
    }
    last = left;
    return frame;
  };
}

function run(plan) {
  // Writes to a pipe block on Linux, as the real host's do: a slow reader stalls this host.
  const send = (bytes) => process.stdout.write(bytes);
  const frameOf = sceneFrames(plan);
  const video = Buffer.alloc(8 + plan.width * plan.height * 4);
  video.writeUInt32LE(plan.width, 0);
  video.writeUInt32LE(plan.height, 4);
  const audio = Buffer.alloc(8 + 800 * 4);
  audio.writeUInt32LE(48000, 0);
  audio.writeUInt32LE(800, 4);
  send(packet(3, Buffer.from('{"state":"running"}')));
  const started = performance.now();
  let n = 0;
  const next = () => {
    const words = frameOf(n);
    Buffer.from(words.buffer, words.byteOffset, words.byteLength).copy(video, 8);
    send(packet(1, video));
    send(packet(2, audio));
    n++;
    setTimeout(next, Math.max(0, started + n * FRAME_MS - performance.now()));
  };
  next();
  process.stdin.on('data', (data) => {
    if (!String(data).includes('QUIT')) return;
    send(packet(3, Buffer.from('{"state":"stopped"}')));
    process.exit(0);
  });
  process.stdin.on('end', () => process.exit(0));
}

if (process.argv[1] === fileURLToPath(import.meta.url)) run(JSON.parse(readFileSync(process.argv[3], 'utf8')));
