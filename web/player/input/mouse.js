// The mouse: motion, buttons 1/2/4, the wheel and the pointer's place in
// frame pixels with its inside flag, sent as M lines (the first change in a
// refresh interval goes at once, later ones gather until the next refresh).
// What motion to send comes from the pointer rule (lib/pointer_rule.js),
// which keeps the core's own cursor under the hand, in one of two modes:
//
// - follow: no pointer lock. The system pointer is hidden over the picture,
//   the cursor is brought under it on every entry into the picture and then
//   follows its place; Esc is an ordinary key and goes to the game. The
//   default for the ScummVM core, and what a refused lock falls back to.
// - captured: a click into the picture takes the pointer lock and brings
//   the cursor under the click; then the scaled motion moves a virtual
//   pointer. Esc (the browser's) releases the lock. The default for others.
//
// Chromium sends the first motion after a lock and, now and then, a single
// jump of hundreds of pixels that the hand never made: both are dropped
// (counted).

import { MouseAccumulator } from '../../lib/mouse_accumulator.js';
import { mouseLine } from '../../lib/commands.js';
import { PointerRule, pointerDefaults, validSpeed } from '../../lib/pointer_rule.js';

// Larger single steps than this are Chromium's spurious jumps, not a hand.
const JUMP_LIMIT = 250;
// Wheel deltas per notch by deltaMode (pixels, lines, pages).
const WHEEL_PER_NOTCH = [100, 3, 1];
const BUTTON_BITS = { 0: 1, 1: 4, 2: 2 };
// The host keeps the button state of the last line before each input poll,
// so a press and its release in one poll's lines would never be seen: a
// press stays reported this long after it was sent (three runs at 60 fps).
const PRESS_HOLD_MS = 50;
// Chromium holds mousemove back to the next animation frame; pointerrawupdate
// comes as the motion happens (secure contexts, which loopback is).
const MOTION_EVENT = typeof window !== 'undefined' && 'onpointerrawupdate' in window ? 'pointerrawupdate' : 'mousemove';
const MODES = ['follow', 'captured'];

export class Mouse {
  // display: the Display; send(line); onLockChange(locked); onLockRefused(); onGesture() for the click that may
  // start audio; mode ('follow' | 'captured') and speed (motion units per frame pixel), each chosen from the core
  // when undefined.
  constructor(display, target, { send, onLockChange, onLockRefused, onGesture, mode, speed }) {
    this.display = display;
    this.target = target;
    this.send = send;
    this.onLockChange = onLockChange;
    this.onLockRefused = onLockRefused;
    this.onGesture = onGesture;
    this.asked = { mode: MODES.includes(mode) ? mode : undefined, speed: validSpeed(speed, undefined) };
    this.wheel = new MouseAccumulator();
    this.buttons = 0;
    // Presses not yet sent, and presses sent less than PRESS_HOLD_MS ago, stay reported, so a short click still lands.
    this.unsentPresses = 0;
    this.heldPresses = 0;
    this.pointer = { x: 0, y: 0, inside: false };
    // Under the lock: the virtual pointer (clamped step by step, as the core clamps) and the unclamped sum of motion.
    this.virtual = { x: 0, y: 0 };
    this.reach = { x: 0, y: 0 };
    this.sent = null;
    this.locked = false;
    this.playsUnlocked = false;
    this.skipNextMotion = false;
    this.sentThisRefresh = false;
    this.pinWanted = false;
    this.backstopAt = Infinity;
    this.counts = { lines: 0, droppedMotion: 0, lockRefusals: 0, placements: 0 };
    this.setCore('');
    this.listeners = [
      [target, 'mousedown', (event) => this.onButton(event, true)],
      [document, 'mouseup', (event) => this.onButton(event, false)],
      [document, MOTION_EVENT, (event) => this.onMotion(event)],
      [target, 'wheel', (event) => this.onWheel(event), { passive: false }],
      [target, 'contextmenu', (event) => event.preventDefault()],
      [target, 'mouseleave', () => this.onLeave()],
      [document, 'pointerlockchange', () => this.onLockChanged()],
      [document, 'pointerlockerror', () => { if (!this.awaitingLock) this.refused(); }],
    ];
    for (const [where, type, handler, options] of this.listeners) where.addEventListener(type, handler, options);
    this.animationFrame = requestAnimationFrame(() => this.onRefresh());
  }

  // The core's library name (from the host's `core` message) picks the mode and speed the page left open.
  // A new core is a new cursor: the model starts afresh and the cursor is brought under the hand again.
  setCore(libraryName) {
    const defaults = pointerDefaults(libraryName);
    this.mode = this.asked.mode ?? defaults.mode;
    this.rule = new PointerRule({ speed: this.asked.speed ?? defaults.speed });
    if (this.mode === 'follow') this.unlock();
    this.display.canvas.style.cursor = this.mode === 'follow' ? 'none' : '';
    if (this.locked || (this.following && this.pointer.inside)) this.place();
  }

  get speed() {
    return this.rule.speed;
  }

  get following() {
    return this.mode === 'follow' || this.playsUnlocked;
  }

  // Every video frame the stream received, drawn or not: a placement waits for them.
  onFrame() {
    this.rule.onFrame();
    this.changed();
  }

  onRefresh() {
    this.animationFrame = requestAnimationFrame(() => this.onRefresh());
    this.sentThisRefresh = false;
    this.flush();
  }

  // After an input event: sends at once unless a line already went in this refresh interval.
  changed() {
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

  async lock() {
    const element = this.display.canvas;
    const request = element.requestPointerLock({ unadjustedMovement: true });
    // Browsers without the promise form report a refusal only by the pointerlockerror event.
    if (!(request instanceof Promise)) return;
    this.awaitingLock = true;
    try {
      await request;
    } catch (error) {
      // Chromium on Linux refuses raw movement; a plain lock still works.
      if (error?.name !== 'NotSupportedError') {
        this.refused();
        return;
      }
      try {
        await element.requestPointerLock();
      } catch {
        this.refused();
      }
    } finally {
      this.awaitingLock = false;
    }
  }

  // Browsers refuse a lock for about a second after Esc, and outside a click: the pointer is followed instead.
  refused() {
    this.counts.lockRefusals++;
    if (!this.playsUnlocked && this.pointer.inside) this.place();
    this.playsUnlocked = true;
    this.onLockRefused?.();
  }

  unlock() {
    if (document.pointerLockElement) document.exitPointerLock();
  }

  onLockChanged() {
    const locked = document.pointerLockElement === this.display.canvas;
    if (locked === this.locked) return;
    this.locked = locked;
    if (locked) {
      this.playsUnlocked = false;
      this.skipNextMotion = true;
      const click = this.lockClick ?? { x: this.display.width / 2, y: this.display.height / 2 };
      this.virtual = { ...click };
      this.reach = { ...click };
      this.pointer = { x: Math.floor(click.x), y: Math.floor(click.y), inside: true };
      this.place();
    } else {
      this.buttons = 0;
      this.pointer.inside = false;
    }
    this.onLockChange?.(locked);
  }

  // Brings the core's cursor under the hand: a pin line first, the move once the pin has had its poll.
  place() {
    this.pinWanted = true;
    this.counts.placements++;
    this.changed();
  }

  onButton(event, down) {
    const bit = BUTTON_BITS[event.button];
    if (!bit) return;
    if (down) {
      this.onGesture?.();
      const spot = this.display.toFrame(event.clientX, event.clientY);
      if (!this.locked && !this.following) {
        // The click that takes the lock is not a click in the game.
        if (event.button === 0 && spot.inside) {
          event.preventDefault();
          this.target.focus();
          this.lockClick = { x: spot.x + 0.5, y: spot.y + 0.5 };
          this.lock();
        }
        return;
      }
      if (!this.locked && !spot.inside) return;
      if (!this.locked) this.target.focus();
    } else if (!this.locked && !this.following) {
      return;
    }
    event.preventDefault();
    if (down) {
      this.buttons |= bit;
      this.unsentPresses |= bit;
    } else {
      this.buttons &= ~bit;
    }
    this.changed();
  }

  onMotion(event) {
    if (!this.locked) {
      if (event.target !== this.display.canvas && !this.target.contains(event.target)) return;
      const wasInside = this.pointer.inside;
      this.pointer = this.display.toFrame(event.clientX, event.clientY);
      if (this.following && this.pointer.inside && !wasInside) this.place();
      this.changed();
      return;
    }
    const { movementX, movementY } = event;
    if (this.skipNextMotion || Math.abs(movementX) > JUMP_LIMIT || Math.abs(movementY) > JUMP_LIMIT) {
      this.skipNextMotion = false;
      this.counts.droppedMotion++;
      return;
    }
    const scale = this.display.frameScale();
    const right = Math.max(this.display.width - 1, 0);
    const bottom = Math.max(this.display.height - 1, 0);
    this.reach.x += movementX * scale.x;
    this.reach.y += movementY * scale.y;
    this.virtual.x = Math.min(Math.max(this.virtual.x + movementX * scale.x, 0), right);
    this.virtual.y = Math.min(Math.max(this.virtual.y + movementY * scale.y, 0), bottom);
    this.pointer = { x: Math.floor(this.virtual.x), y: Math.floor(this.virtual.y), inside: true };
    this.changed();
  }

  // Leaving the player for the page around it: the pointer is off the picture.
  onLeave() {
    if (this.locked || !this.pointer.inside) return;
    this.pointer = { ...this.pointer, inside: false };
    this.changed();
  }

  onWheel(event) {
    event.preventDefault();
    if (!this.locked && !(this.following && this.pointer.inside)) return;
    // Wheel up is positive for the host, negative deltaY for the browser.
    this.wheel.add(0, 0, -event.deltaY / (WHEEL_PER_NOTCH[event.deltaMode] ?? 100));
    this.changed();
  }

  // The motion the rule wants sent now, or null while a placement waits.
  motion(now) {
    if (!this.locked && !this.following) return { dx: 0, dy: 0 };
    const target = this.locked ? [Math.floor(this.reach.x), Math.floor(this.reach.y)] : [this.pointer.x, this.pointer.y];
    const { dx, dy, retryAt } = this.rule.motionToward(now, target, { clamped: !this.locked });
    if (retryAt !== Infinity) this.flushBy(retryAt);
    return this.rule.placing ? null : { dx, dy };
  }

  // Sends what gathered as one line, when anything changed.
  flush() {
    const now = performance.now();
    this.rule.setFrameSize(this.display.width, this.display.height);
    if ((this.pinWanted || this.rule.pinDue(now)) && this.display.width) {
      if (!this.pinWanted) this.counts.placements++;
      const { dx, dy } = this.rule.pin(now);
      this.pinWanted = !this.sendLine(dx, dy, 0);
      return;
    }
    const motion = this.motion(now);
    if (!motion) return;
    const { dx, dy } = motion;
    const wheel = this.wheel.take().wheel;
    const reported = this.buttons | this.unsentPresses | this.heldPresses;
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

  sendLine(dx, dy, wheel) {
    const reported = this.buttons | this.unsentPresses | this.heldPresses;
    const { x, y, inside } = this.pointer;
    if (!this.send(mouseLine({ dx, dy, buttons: reported, wheel, x, y, inside: inside ? 1 : 0 }))) return false;
    this.sentThisRefresh = true;
    this.counts.lines++;
    if (this.unsentPresses) this.holdPresses(this.unsentPresses);
    this.unsentPresses = 0;
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
    for (const [where, type, handler, options] of this.listeners) where.removeEventListener(type, handler, options);
    this.unlock();
  }
}
