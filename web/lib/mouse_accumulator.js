// Turns fractional pointer motion (scaled movementX, wheel deltas) into the
// whole deltas a mouse line carries, keeping what is left over for the next
// line so slow motion still adds up. Browser-safe.

// A mouse line carries at most this much per axis; more waits for the next.
const LINE_LIMIT = 32767;

export class MouseAccumulator {
  #dx = 0;
  #dy = 0;
  #wheel = 0;

  // Non-finite values (a NaN from a division by a zero scale) are ignored.
  add(dx, dy, wheel = 0) {
    if (Number.isFinite(dx)) this.#dx += dx;
    if (Number.isFinite(dy)) this.#dy += dy;
    if (Number.isFinite(wheel)) this.#wheel += wheel;
  }

  // The whole part of what has gathered, truncated toward zero; the
  // fraction (and anything beyond one line's limit) stays.
  take() {
    const dx = wholePart(this.#dx);
    const dy = wholePart(this.#dy);
    const wheel = wholePart(this.#wheel);
    this.#dx -= dx;
    this.#dy -= dy;
    this.#wheel -= wheel;
    return { dx, dy, wheel };
  }

  // True when a take() would return some motion.
  get pending() {
    return Math.abs(this.#dx) >= 1 || Math.abs(this.#dy) >= 1 || Math.abs(this.#wheel) >= 1;
  }

  clear() {
    this.#dx = 0;
    this.#dy = 0;
    this.#wheel = 0;
  }
}

function wholePart(value) {
  const whole = Math.max(-LINE_LIMIT, Math.min(LINE_LIMIT, Math.trunc(value)));
  return whole === 0 ? 0 : whole;
}
