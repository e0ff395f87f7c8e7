// What the tests know of the cursor core (tests/cores/cursor_core.cpp): its
// content file, its record of runs, and how it draws its cursor (a magenta
// row at y and a green column at x, crossing in white); and the browser and
// kalmo-play that a test file plays it with.

import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import {
  build, browserAndPlayForFile, readRecord, temporaryDirectory,
} from './browser_harness.js';

// Gaps between the core's runs longer than this mean the host ran late: two lines may then share a poll.
const LATE_RUN_MS = 50;

export function writeCursorContent(dir, { animate = false } = {}) {
  const content = join(dir, 'game.cursor');
  const record = join(dir, 'cursor.rec');
  writeFileSync(content, `record ${record}\nanimate ${animate ? 1 : 0}\n`);
  return { content, record };
}

// For a test file: one browser and one kalmo-play on the cursor core, in `suite.browser`, `suite.play` and
// `suite.record` (its record) once the tests run; every page is closed after each test, the rest after the last.
export function cursorCoreSuite(name) {
  const suite = browserAndPlayForFile(() => {
    const dir = temporaryDirectory(name);
    const files = writeCursorContent(dir);
    suite.record = files.record;
    return { core: build.cursorCore, content: files.content, data: dir };
  });
  return suite;
}

// The record's run lines as objects: n, us, x, y, dx, dy, buttons (numbers) and keys (an array of key codes).
export function cursorRuns(record) {
  return readRecord(record).filter((line) => line.startsWith('run ')).map((line) => {
    const run = {};
    for (const pair of line.split(' ').slice(1)) {
      const [key, value] = pair.split('=');
      run[key] = key === 'keys' ? (value === '-' ? [] : value.split(',').map(Number)) : Number(value);
    }
    return run;
  });
}

// The gaps (in ms) longer than LATE_RUN_MS between runs from the `from`th on.
export function hostStalls(record, from) {
  const runs = cursorRuns(record).slice(Math.max(0, from - 1));
  const late = [];
  for (let i = 1; i < runs.length; i++) {
    const gap = (runs[i].us - runs[i - 1].us) / 1000;
    if (gap > LATE_RUN_MS) late.push(Math.round(gap));
  }
  return late;
}

// The cursor as drawn in `pixels` ({ width, height, data }): the row that is magenta (or white) across, the
// column that is green (or white) down; a cursor at the right or bottom end draws none and reads as width/height.
export function cursorInPixels({ width, height, data }) {
  const colour = (x, y) => {
    const at = (y * width + x) * 4;
    return (data[at] << 16) | (data[at + 1] << 8) | data[at + 2];
  };
  let cursorX = width;
  let cursorY = height;
  for (let y = 0; y < height; y++) {
    let count = 0;
    for (let x = 0; x < width; x++) if (colour(x, y) === 0xff00ff || colour(x, y) === 0xffffff) count++;
    if (count > width * 0.9) cursorY = y;
  }
  for (let x = 0; x < width; x++) {
    let count = 0;
    for (let y = 0; y < height; y++) if (colour(x, y) === 0x00ff00 || colour(x, y) === 0xffffff) count++;
    if (count > height * 0.9) cursorX = x;
  }
  return { x: cursorX, y: cursorY };
}
