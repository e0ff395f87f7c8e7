// The game's cursor: the one place in the player that moves the core's own
// cursor, presses its buttons and sends the mouse lines (M dx dy buttons
// wheel px py inside). Every pointing input source (mouse, touch, gamepad)
// says what it wants here and nothing else writes M lines; how motion is
// chosen is the pointer rule's (lib/pointer_rule.js), which models the
// core's cursor so it lands exactly where it is aimed.
//
// Interface, all in frame (game) pixels:
// - moveTo(x, y, { inside, reach }): aim the cursor at a place on the
//   picture (fractions allowed, floored) and report the pointer there;
//   `reach` ([x, y], whole) aims the model elsewhere, unclamped (the
//   captured mouse, whose motion the core clamps itself).
// - moveBy(dx, dy): move the aim by relative motion, within the picture,
//   from where it was (or from where the model has the cursor).
// - pointAt(x, y, inside): report the pointer without moving the cursor.
// - leave(): the pointer is off the picture; the cursor stays.
// - placeAt(x, y, { inside, reach, then }): aim as moveTo does and bring
//   the cursor exactly there: a pin into the top-left corner, then the
//   move, and `then()` once that move has had its poll, so a button
//   pressed in `then` goes down where it was aimed. place(then) does so at
//   the aim there is; whenPlaced(then) runs `then` at the next line when no
//   placement is under way, else once it has landed.
// - press(bit, down, then), click(bit), releaseButtons(): buttons 1 left,
//   2 right, 4 middle; `then()`, given with a press, runs once the line
//   carrying it has had its poll, so motion sent from there cannot share
//   that poll and the press lands where the cursor was. scroll(notches):
//   the wheel, up positive.
// - onFrame() for every video frame received; setCore(libraryName) when a
//   core starts (its speed, and a fresh model).
//
// The first change in a refresh interval goes at once and later ones gather
// until the next refresh. The host keeps the button state of the last line
// before each input poll, so a press stays reported PRESS_HOLD_MS after it
// was sent, and a click as short as a tap still lands.

import { MouseAccumulator } from '../../lib/mouse_accumulator.js';
import { mouseLine } from '../../lib/commands.js';
import { PointerRule, pointerDefaults, validSpeed } from '../../lib/pointer_rule.js';

// Three runs at 60 frames a second.
const PRESS_HOLD_MS = 50;

export const BUTTON_LEFT = 1;
export const BUTTON_RIGHT = 2;
export const BUTTON_MIDDLE = 4;

export class GameCursor {
  // display: the Display; send(line) returns false when the line could not go; speed (motion units per frame
  // pixel) is chosen from the core when undefined.
  constructor(display, { send, speed }) {
    this.display = display;
    this.send = send;
    this.askedSpeed = validSpeed(speed, undefined);
    this.wheel = new MouseAccumulator();
    this.buttons = 0;
    // Presses not yet sent, and presses sent less than PRESS_HOLD_MS ago, stay reported.
    this.unsentPresses = 0;
    this.heldPresses = 0;
    this.pointer = { x: 0, y: 0, inside: false };
    // Where the cursor is aimed: whole pixels and whether the model clamps; null while nothing steers it.
    this.aim = null;
    // The aim with its fraction, which relative motion adds to.
    this.spot = { x: 0, y: 0 };
    this.afterLanding = [];
    this.afterPress = [];
    this.sent = null;
    this.sentThisRefresh = false;
    this.pinWanted = false;
    this.flushing = false;
    this.backstopAt = Infinity;
    this.counts = { lines: 0, placements: 0 };
    this.setCore('');
    this.animationFrame = requestAnimationFrame(() => this.onRefresh());
  }

  // A new core is a new cursor: the model starts afresh, at the core's speed unless the page chose one.
  setCore(libraryName) {
    this.rule = new PointerRule({ speed: this.askedSpeed ?? pointerDefaults(libraryName).speed });
  }

  get speed() {
    return this.rule.speed;
  }

  // Every video frame the stream received, drawn or not: a placement waits for them.
  onFrame() {
    this.rule.onFrame();
    this.changed();
  }

  moveTo(x, y, options) {
    this.aimAt(x, y, options);
    this.changed();
  }

  placeAt(x, y, { then, ...options } = {}) {
    this.aimAt(x, y, options);
    this.place(then);
  }

  aimAt(x, y, { inside = true, reach = null } = {}) {
    this.spot = { x, y };
    this.pointer = { x: Math.floor(x), y: Math.floor(y), inside };
    this.aim = reach ? { x: reach[0], y: reach[1], clamped: false } : { ...this.pointer, clamped: true };
  }

  moveBy(dx, dy) {
    const from = this.aim ? this.spot : { x: this.rule.cursor.x + 0.5, y: this.rule.cursor.y + 0.5 };
    const within = (value, size) => Math.min(Math.max(value, 0), Math.max(size - 0.001, 0));
    this.moveTo(within(from.x + dx, this.display.width), within(from.y + dy, this.display.height));
  }

  pointAt(x, y, inside) {
    this.pointer = { x, y, inside };
    this.aim = null;
    this.changed();
  }

  leave() {
    if (!this.pointer.inside) return;
    this.pointer = { ...this.pointer, inside: false };
    this.changed();
  }

  place(then) {
    this.pinWanted = true;
    this.counts.placements++;
    this.whenPlaced(then);
  }

  whenPlaced(then) {
    if (then) this.afterLanding.push(then);
    this.changed();
  }

  press(bit, down, then) {
    if (then) this.afterPress.push(then);
    if (down) {
      this.buttons |= bit;
      this.unsentPresses |= bit;
    } else {
      this.buttons &= ~bit;
    }
    this.changed();
  }

  // The release waits for the press's poll: a host held up past PRESS_HOLD_MS would read both at once.
  click(bit) {
    this.press(bit, true, () => this.press(bit, false));
  }

  releaseButtons() {
    this.buttons = 0;
    this.changed();
  }

  scroll(notches) {
    this.wheel.add(0, 0, notches);
    this.changed();
  }

  onRefresh() {
    this.animationFrame = requestAnimationFrame(() => this.onRefresh());
    this.sentThisRefresh = false;
    this.flush();
  }

  // After any change: sends at once unless a line already went in this refresh interval.
  changed() {
    if (this.flushing) return;
    if (!this.sentThisRefresh) {
      this.flush();
      return;
    }
    // A page that stops painting skips refresh callbacks; a release must still go out.
    this.flushBy(performance.now() + 40);
  }

  flushBy(time) {
    if (this.backstopAt <= time) return;
    clearTimeout(this.backstop);
    this.backstopAt = time;
    this.backstop = setTimeout(() => {
      this.backstopAt = Infinity;
      this.flush();
    }, Math.max(0, time - performance.now()));
  }

  // The motion the rule wants sent now, or null while a placement waits.
  motion(now) {
    if (!this.aim) return { dx: 0, dy: 0 };
    const { dx, dy, retryAt } = this.rule.motionToward(now, [this.aim.x, this.aim.y], { clamped: this.aim.clamped });
    if (retryAt !== Infinity) this.flushBy(retryAt);
    return this.rule.placing ? null : { dx, dy };
  }

  // Runs what waited for the last placement's move, or a press, to have had its poll.
  runLanded(now) {
    if (!this.afterLanding.length || this.pinWanted) return;
    const wait = this.rule.landingWait(now);
    if (wait !== null) {
      this.flushBy(wait);
      return;
    }
    const waiting = this.afterLanding;
    this.afterLanding = [];
    this.flushing = true;
    try {
      for (const then of waiting) then();
    } finally {
      this.flushing = false;
    }
  }

  // Sends what gathered as one line, when anything changed.
  flush() {
    const now = performance.now();
    this.rule.setFrameSize(this.display.width, this.display.height);
    // A pin with a button down would drag whatever it holds into the corner.
    const repin = this.rule.pinDue(now) && !this.reportedButtons();
    if ((this.pinWanted || repin) && this.display.width) {
      if (!this.pinWanted) this.counts.placements++;
      const { dx, dy } = this.rule.pin(now);
      this.pinWanted = !this.sendLine(dx, dy, 0);
      return;
    }
    // First what waited for a landing, so the aims and buttons it sets go in this line.
    this.runLanded(now);
    const motion = this.motion(now);
    if (!motion) return;
    const { dx, dy } = motion;
    const wheel = this.wheel.take().wheel;
    const reported = this.reportedButtons();
    const { x, y, inside } = this.pointer;
    const last = this.sent;
    const changed = dx || dy || wheel || !last || last.buttons !== reported || last.x !== x || last.y !== y ||
      last.inside !== inside;
    if (!changed) return;
    if (!last && !inside && !reported) {
      this.sent = { buttons: 0, x, y, inside };
      return;
    }
    this.sendLine(dx, dy, wheel);
  }

  reportedButtons() {
    return this.buttons | this.unsentPresses | this.heldPresses;
  }

  sendLine(dx, dy, wheel) {
    const reported = this.reportedButtons();
    const { x, y, inside } = this.pointer;
    if (!this.send(mouseLine({ dx, dy, buttons: reported, wheel, x, y, inside: inside ? 1 : 0 }))) return false;
    this.sentThisRefresh = true;
    this.counts.lines++;
    if (this.unsentPresses) this.holdPresses(this.unsentPresses);
    this.unsentPresses = 0;
    if (this.afterPress.length) {
      this.rule.awaitPoll(performance.now());
      this.afterLanding.push(...this.afterPress);
      this.afterPress = [];
      this.flushBy(this.rule.landingWait(performance.now()));
    }
    this.sent = { buttons: reported, x, y, inside };
    return true;
  }

  holdPresses(bits) {
    this.heldPresses |= bits;
    setTimeout(() => {
      this.heldPresses &= ~bits;
      this.changed();
    }, PRESS_HOLD_MS);
  }

  destroy() {
    cancelAnimationFrame(this.animationFrame);
    clearTimeout(this.backstop);
  }
}
