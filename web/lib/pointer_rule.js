// The pointer rule: how a parent turns the hand's motion into the mouse
// lines that keep a core's own cursor under the hand. Browser-safe, no DOM;
// the player's game cursor (player/input/game_cursor.js) feeds it positions and times, and
// the native viewer follows the same rule in C++.
//
// 1. Units. Hand positions are in frame pixels, fractional: a picture shown
//    W CSS pixels wide for a frame of w pixels moves w/W frame pixels per CSS
//    pixel (Chromium gives pointer-lock movement in CSS pixels at any
//    devicePixelRatio). A mouse line carries whole motion units.
// 2. Speed: motion units per frame pixel of hand motion. It undoes the
//    core's own factor: 1/0.9 for the core named "ScummVM" (the host answers
//    its scummvm_mouse_speed with 0.9), 1 for any other core.
// 3. The core's cursor is modelled. Per axis, at each poll of the summed
//    delta d (nothing happens when d = 0): when d and the remainder r have
//    opposite signs, r becomes 0; r += d * (1/speed) in single precision; the
//    integer part of r, toward zero, moves the cursor and leaves r; the cursor
//    is clamped to 0..frame width (height). Each line's d is chosen by trying
//    the few candidates around the wanted move on the model and keeping one
//    that lands the modelled cursor exactly on the hand's whole pixel (the
//    smallest remainder wins a tie). So fractions lost at a change of
//    direction are made up, and nothing drifts.
// 4. Lines meet polls. The host sums the lines it read before a poll, which
//    is harmless while they go one way (the sum moves the cursor as the
//    lines would one by one) but not when they change direction. A frame
//    that comes after a line is the sign it had a poll (frames alike are not
//    sent, but the core's own cursor moving changes the picture), so a line
//    that turns an axis round waits REVERSAL_GAP_MS after that axis' last
//    line, and, when that line moved the cursor, for a frame after it too,
//    or REVERSAL_LONGEST_MS without one.
// 5. Placement. To bring the cursor under the hand (on capture; in follow
//    mode on every entry of the pointer into the picture) a pin line of
//    -(2 * size * speed + 16) on both axes drives the cursor into the
//    top-left corner, where the core clamps it; the model then knows it
//    exactly. The move to the hand must not share the pin's poll, or the
//    cursor stays in the corner: it waits at least PIN_MIN_MS, then for two
//    frames after the pin (the first may have left the host before the pin
//    came), or one and PIN_ONE_FRAME_MS, or PIN_LONGEST_MS without any (a
//    cursor already in the corner changes nothing, so nothing is sent).
//    A move sent that way is checked: it takes the cursor out of the
//    corner, so a frame must follow; when none comes within PIN_CHECK_MS
//    the pin and the move may have shared a poll, and the placement starts
//    again (at most PIN_RETRIES times). The move has landed, so a click may
//    follow it at the hand, after the same waits as the pin's.
// 6. Follow mode aims the model at the pointer's own place over the picture,
//    clamped to it; captured mode aims at the place reached by adding the
//    scaled motion to the click point without clamping (the core clamps; so
//    the virtual pointer shown with it is clamped step by step).

export const SCUMMVM_LIBRARY = 'ScummVM';
// The host's fixed answer to ScummVM's scummvm_mouse_speed.
export const SCUMMVM_MOUSE_FACTOR = 0.9;
// Two polls at 50 or 60 frames a second.
export const REVERSAL_GAP_MS = 40;
export const REVERSAL_LONGEST_MS = 150;
export const PIN_MIN_MS = 40;
export const PIN_ONE_FRAME_MS = 100;
export const PIN_LONGEST_MS = 250;
export const PIN_CHECK_MS = 400;
export const PIN_RETRIES = 3;
// What one mouse line may carry per axis.
const LINE_LIMIT = 32767;

// When a line sent at `since`, with `frames` frames seen after it, has surely had its poll: a later time to
// ask again, or null. The first frame may have left the host before the line came, so two are wanted, or
// one and a longer wait, or a still longer wait for a picture that did not change.
function pollWait({ since, frames }, now) {
  const elapsed = now - since;
  if (elapsed < PIN_MIN_MS) return since + PIN_MIN_MS;
  if (frames >= 2 || elapsed >= PIN_LONGEST_MS) return null;
  if (frames === 1) return elapsed >= PIN_ONE_FRAME_MS ? null : since + PIN_ONE_FRAME_MS;
  return since + PIN_LONGEST_MS;
}

// The library name in the host's `core` message ("ScummVM 2.8.0 · API 1"): the text before the version.
export function coreLibraryName(message) {
  const text = String(message ?? '').replace(/\s*·\s*API\s+\d+\s*$/u, '').trim();
  const space = text.lastIndexOf(' ');
  return space > 0 ? text.slice(0, space) : text;
}

// The mode and speed a core gets when the page asks for neither.
export function pointerDefaults(libraryName) {
  const scummvm = libraryName === SCUMMVM_LIBRARY;
  return { mode: scummvm ? 'follow' : 'captured', speed: scummvm ? 1 / SCUMMVM_MOUSE_FACTOR : 1 };
}

// A usable speed: a finite positive number, else the fallback.
export function validSpeed(speed, fallback) {
  return Number.isFinite(speed) && speed > 0 ? speed : fallback;
}

// One axis of the core's cursor as the model sees it. `limit` is the clamp's
// upper end; Infinity leaves the axis unclamped.
export class CursorAxis {
  constructor(factor, limit = Infinity) {
    this.factor = Math.fround(factor);
    this.limit = limit;
    this.position = 0;
    this.remainder = 0;
  }

  // Where one poll of delta `d` leaves the axis, without changing it.
  after(d) {
    if (d === 0) return { position: this.position, remainder: this.remainder };
    let remainder = this.remainder;
    if ((d > 0 && remainder < 0) || (d < 0 && remainder > 0)) remainder = 0;
    remainder = Math.fround(remainder + Math.fround(d * this.factor));
    const whole = Math.trunc(remainder);
    remainder = Math.fround(remainder - whole);
    const lowest = Number.isFinite(this.limit) ? 0 : -Infinity;
    return { position: Math.min(Math.max(this.position + whole, lowest), this.limit), remainder };
  }

  apply(d) {
    Object.assign(this, this.after(d));
  }

  // The delta whose poll brings the cursor nearest to `target` (exactly, where one does).
  deltaToward(target) {
    const wanted = target - this.position;
    if (wanted === 0) return 0;
    const guess = Math.round(wanted / this.factor);
    let best = 0;
    let bestScore = [Math.abs(wanted), Math.abs(this.remainder)];
    for (let d = guess - 3; d <= guess + 3; d++) {
      if (d === 0 || Math.abs(d) > LINE_LIMIT) continue;
      const { position, remainder } = this.after(d);
      const score = [Math.abs(target - position), Math.abs(remainder)];
      if (score[0] < bestScore[0] || (score[0] === bestScore[0] && score[1] < bestScore[1])) {
        best = d;
        bestScore = score;
      }
    }
    return best;
  }
}

// Turns hand positions into mouse-line motion for one core and one frame size.
export class PointerRule {
  constructor({ speed = 1 } = {}) {
    this.speed = validSpeed(speed, 1);
    this.axes = [new CursorAxis(1 / this.speed, 0), new CursorAxis(1 / this.speed, 0)];
    this.size = [0, 0];
    // Per axis: the sign and time of the last non-zero delta sent, whether it moved the cursor, frames since.
    this.last = [0, 1].map(() => ({ sign: 0, at: -Infinity, moved: false, frames: 0 }));
    this.placement = null;
    // The line that what follows must wait for (the move that ended a placement, a press), until it had its poll.
    this.landing = null;
    // A move that followed a pin on time alone, waiting for a frame to show it landed.
    this.check = null;
  }

  setSpeed(speed) {
    this.speed = validSpeed(speed, this.speed);
    for (const axis of this.axes) axis.factor = Math.fround(1 / this.speed);
  }

  setFrameSize(width, height) {
    this.size = [width, height];
  }

  // Whether the model clamps like the core (follow mode, placement) or follows motion unclamped (captured).
  setClamped(clamped) {
    this.axes.forEach((axis, i) => { axis.limit = clamped ? this.size[i] : Infinity; });
  }

  // Starts bringing the cursor to the hand; returns the pin line's motion, to be sent at once on a line of its own.
  pin(now) {
    this.setClamped(true);
    const retries = this.check ? this.check.retries + 1 : 0;
    this.check = null;
    this.placement = { since: now, frames: 0, retries };
    this.landing = null;
    const motion = this.axes.map((axis, i) => {
      const d = -Math.min(LINE_LIMIT, Math.ceil(2 * this.size[i] * this.speed) + 16);
      this.send(i, d, now);
      return d;
    });
    return { dx: motion[0], dy: motion[1] };
  }

  get placing() {
    return this.placement !== null;
  }

  // A video frame reached the page.
  onFrame() {
    this.check = null;
    if (this.placement) this.placement.frames++;
    if (this.landing) this.landing.frames++;
    for (const last of this.last) last.frames++;
  }

  // What follows the line sent now waits for that line's poll (landingWait): a press a drag starts from.
  awaitPoll(now) {
    this.landing = { since: now, frames: 0 };
  }

  // When the line awaited (the move that ended the last placement, or awaitPoll's) will have had its poll, or null
  // when it has (or none is awaited).
  landingWait(now) {
    if (this.placing) return now + PIN_MIN_MS;
    // A move that followed its pin on time alone has landed only once a frame shows it, or the pin comes again.
    if (this.check && this.check.retries < PIN_RETRIES) return this.check.since + PIN_CHECK_MS;
    const wait = this.landing && pollWait(this.landing, now);
    if (!wait) this.landing = null;
    return wait;
  }

  // Whether the last placement's move left no sign of landing, so the cursor must be pinned again.
  pinDue(now) {
    return this.check !== null && now - this.check.since >= PIN_CHECK_MS && this.check.retries < PIN_RETRIES;
  }

  // When a delta of `sign` on an axis may go, or null when it may go now.
  reversalWait(i, sign, now) {
    const last = this.last[i];
    if (sign !== -last.sign) return null;
    const elapsed = now - last.at;
    if (elapsed < REVERSAL_GAP_MS) return last.at + REVERSAL_GAP_MS;
    if (!last.moved || last.frames > 0 || elapsed >= REVERSAL_LONGEST_MS) return null;
    return last.at + REVERSAL_LONGEST_MS;
  }

  // The motion to send now so the modelled cursor reaches the hand's whole pixel `target` ([x, y]);
  // `retryAt` is when held motion may go (Infinity when nothing waits on time).
  motionToward(now, target, { clamped }) {
    let unseen = null;
    if (this.placement) {
      const wait = pollWait(this.placement, now);
      if (wait !== null) return { dx: 0, dy: 0, retryAt: wait };
      if (this.placement.frames === 0) unseen = { since: now, retries: this.placement.retries };
      this.placement = null;
      this.awaitPoll(now);
    }
    this.setClamped(clamped);
    let retryAt = Infinity;
    const motion = this.axes.map((axis, i) => {
      const goal = clamped ? Math.min(Math.max(target[i], 0), this.size[i]) : target[i];
      const d = axis.deltaToward(goal);
      if (d === 0) return 0;
      const wait = this.reversalWait(i, Math.sign(d), now);
      if (wait !== null) {
        retryAt = Math.min(retryAt, wait);
        return 0;
      }
      this.send(i, d, now);
      return d;
    });
    if (unseen && (this.axes[0].position || this.axes[1].position)) {
      this.check = unseen;
      retryAt = Math.min(retryAt, now + PIN_CHECK_MS);
    }
    return { dx: motion[0], dy: motion[1], retryAt };
  }

  send(i, d, now) {
    const axis = this.axes[i];
    const from = axis.position;
    axis.apply(d);
    this.last[i] = { sign: Math.sign(d), at: now, moved: axis.position !== from, frames: 0 };
  }

  // Where the model has the core's cursor, for tests and the native viewer's checks.
  get cursor() {
    return { x: this.axes[0].position, y: this.axes[1].position };
  }
}
