// The mouse: pointer lock on a click into the picture, relative motion summed
// and sent at most once per animation frame as one M line (the first change
// in a refresh interval goes at once, later ones gather until the next
// refresh), buttons 1/2/4 and the wheel, and the pointer's place in frame
// pixels with its inside flag.
//
// Under the lock the pointer is a virtual one, moved by the motion scaled to
// frame pixels and kept on the picture, as the native viewer does. Where
// the browser refuses the lock (a frame without the permission), the game
// gets the visible pointer's clicks and motion over the picture instead. Chromium
// sends the first motion after a lock and, now and then, a single jump of
// hundreds of pixels that the hand never made: both are dropped (counted).

import { MouseAccumulator } from '../../lib/mouse_accumulator.js';
import { mouseLine } from '../../lib/commands.js';

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

export class Mouse {
  // display: the Display; send(line); onLockChange(locked); onLockRefused(); onGesture() for the click that may start audio.
  constructor(display, target, { send, onLockChange, onLockRefused, onGesture }) {
    this.display = display;
    this.target = target;
    this.send = send;
    this.onLockChange = onLockChange;
    this.onLockRefused = onLockRefused;
    this.onGesture = onGesture;
    this.accumulator = new MouseAccumulator();
    this.buttons = 0;
    // Presses not yet sent, and presses sent less than PRESS_HOLD_MS ago, stay reported, so a short click still lands.
    this.unsentPresses = 0;
    this.heldPresses = 0;
    this.pointer = { x: 0, y: 0, inside: false };
    this.virtual = { x: 0, y: 0 };
    this.sent = null;
    this.locked = false;
    this.playsUnlocked = false;
    this.skipNextMotion = false;
    this.sentThisRefresh = false;
    this.counts = { lines: 0, droppedMotion: 0, lockRefusals: 0 };
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
    clearTimeout(this.backstop);
    this.backstop = setTimeout(() => this.flush(), 40);
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

  // Browsers refuse a lock for about a second after Esc, and outside a click.
  refused() {
    this.counts.lockRefusals++;
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
      this.virtual = { x: this.display.width / 2, y: this.display.height / 2 };
      this.pointer = { x: Math.floor(this.virtual.x), y: Math.floor(this.virtual.y), inside: true };
    } else {
      this.buttons = 0;
      this.pointer.inside = false;
    }
    this.onLockChange?.(locked);
  }

  onButton(event, down) {
    const bit = BUTTON_BITS[event.button];
    if (!bit) return;
    if (down && !this.locked) {
      // The click that takes the lock is not a click in the game, unless the lock is being refused.
      this.onGesture?.();
      const inside = this.display.toFrame(event.clientX, event.clientY).inside;
      if (event.button === 0 && inside) {
        event.preventDefault();
        this.target.focus();
        this.lock();
      }
      if (!this.playsUnlocked || !inside) return;
    }
    if (!this.locked && !this.playsUnlocked) return;
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
      if (event.target === this.display.canvas || this.target.contains(event.target)) {
        this.pointer = this.display.toFrame(event.clientX, event.clientY);
        if (this.playsUnlocked && this.pointer.inside) this.accumulator.add(event.movementX, event.movementY);
        this.changed();
      }
      return;
    }
    const { movementX, movementY } = event;
    if (this.skipNextMotion || Math.abs(movementX) > JUMP_LIMIT || Math.abs(movementY) > JUMP_LIMIT) {
      this.skipNextMotion = false;
      this.counts.droppedMotion++;
      return;
    }
    this.accumulator.add(movementX, movementY);
    const scale = this.display.frameScale();
    const right = Math.max(this.display.width - 1, 0);
    const bottom = Math.max(this.display.height - 1, 0);
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
    if (!this.locked) return;
    // Wheel up is positive for the host, negative deltaY for the browser.
    this.accumulator.add(0, 0, -event.deltaY / (WHEEL_PER_NOTCH[event.deltaMode] ?? 100));
    this.changed();
  }

  // Sends what gathered as one line, when anything changed.
  flush() {
    const reported = this.buttons | this.unsentPresses | this.heldPresses;
    const { dx, dy, wheel } = this.accumulator.take();
    const { x, y, inside } = this.pointer;
    const last = this.sent;
    const changed = dx || dy || wheel || !last || last.buttons !== reported || last.x !== x || last.y !== y ||
      last.inside !== inside;
    if (!changed) return;
    if (!last && !inside && !reported) {
      this.sent = { buttons: 0, x, y, inside };
      return;
    }
    if (!this.send(mouseLine({ dx, dy, buttons: reported, wheel, x, y, inside: inside ? 1 : 0 }))) return;
    this.sentThisRefresh = true;
    this.counts.lines++;
    if (this.unsentPresses) this.holdPresses(this.unsentPresses);
    this.unsentPresses = 0;
    this.sent = { buttons: reported, x, y, inside };
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
