// The mouse: it turns the browser's mouse events into what the game's
// cursor (game_cursor.js) is asked to do (aim, place, buttons 1/2/4, the
// wheel), in one of two modes:
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
// (counted). Pointer events from a finger or a pen are touch.js's.

import { pointerDefaults } from '../../lib/pointer_rule.js';

// Larger single steps than this are Chromium's spurious jumps, not a hand.
const JUMP_LIMIT = 250;
// Wheel deltas per notch by deltaMode (pixels, lines, pages).
const WHEEL_PER_NOTCH = [100, 3, 1];
const BUTTON_BITS = { 0: 1, 1: 4, 2: 2 };
// Chromium holds mousemove back to the next animation frame; pointerrawupdate
// comes as the motion happens (secure contexts, which loopback is).
const MOTION_EVENT = typeof window !== 'undefined' && 'onpointerrawupdate' in window ? 'pointerrawupdate' : 'mousemove';
const MODES = ['follow', 'captured'];

export class Mouse {
  // display: the Display; cursor: the GameCursor; onLockChange(locked); onLockRefused(); onGesture() for the click
  // that may start audio; onUse() whenever the mouse is used; mode ('follow' | 'captured'), chosen from the core
  // when undefined.
  constructor(display, target, { cursor, onLockChange, onLockRefused, onGesture, onUse, mode }) {
    this.display = display;
    this.target = target;
    this.cursor = cursor;
    this.onLockChange = onLockChange;
    this.onLockRefused = onLockRefused;
    this.onGesture = onGesture;
    this.onUse = onUse;
    this.askedMode = MODES.includes(mode) ? mode : undefined;
    // Whether the system pointer is over the picture (unlocked).
    this.inside = false;
    // Under the lock: the virtual pointer (clamped step by step, as the core clamps) and the unclamped sum of motion.
    this.virtual = { x: 0, y: 0 };
    this.reach = { x: 0, y: 0 };
    this.locked = false;
    this.playsUnlocked = false;
    this.skipNextMotion = false;
    this.counts = { droppedMotion: 0, lockRefusals: 0 };
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
  }

  // The core's library name (from the host's `core` message) picks the mode the page left open; the cursor,
  // new with the core, is brought under the hand again.
  setCore(libraryName) {
    this.mode = this.askedMode ?? pointerDefaults(libraryName).mode;
    if (this.mode === 'follow') this.unlock();
    this.display.canvas.style.cursor = this.mode === 'follow' ? 'none' : '';
    if (this.locked || (this.following && this.inside)) this.cursor.place();
  }

  get following() {
    return this.mode === 'follow' || this.playsUnlocked;
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
    if (!this.playsUnlocked && this.inside) this.follow(this.cursor.pointer, true);
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
      this.cursor.placeAt(click.x, click.y, { reach: [Math.floor(click.x), Math.floor(click.y)] });
    } else {
      this.inside = false;
      this.cursor.releaseButtons();
      const { x, y } = this.cursor.pointer;
      if (this.following) this.cursor.leave();
      else this.cursor.pointAt(x, y, false);
    }
    this.onLockChange?.(locked);
  }

  // Aims the cursor at the system pointer's place; `entered` brings it under the pointer first.
  follow(spot, entered) {
    if (entered) this.cursor.placeAt(spot.x, spot.y, { inside: spot.inside });
    else this.cursor.moveTo(spot.x, spot.y, { inside: spot.inside });
  }

  onButton(event, down) {
    const bit = BUTTON_BITS[event.button];
    if (!bit) return;
    if (down) {
      this.onGesture?.();
      this.onUse?.();
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
    this.cursor.press(bit, down);
  }

  onMotion(event) {
    // A finger or a pen moves the cursor through touch.js.
    if (event.pointerType && event.pointerType !== 'mouse') return;
    if (!this.locked) {
      if (event.target !== this.display.canvas && !this.target.contains(event.target)) return;
      this.onUse?.();
      const spot = this.display.toFrame(event.clientX, event.clientY);
      const entered = spot.inside && !this.inside;
      this.inside = spot.inside;
      if (this.following) this.follow(spot, entered);
      else this.cursor.pointAt(spot.x, spot.y, spot.inside);
      return;
    }
    const { movementX, movementY } = event;
    if (this.skipNextMotion || Math.abs(movementX) > JUMP_LIMIT || Math.abs(movementY) > JUMP_LIMIT) {
      this.skipNextMotion = false;
      this.counts.droppedMotion++;
      return;
    }
    this.onUse?.();
    const scale = this.display.frameScale();
    const right = Math.max(this.display.width - 1, 0);
    const bottom = Math.max(this.display.height - 1, 0);
    this.reach.x += movementX * scale.x;
    this.reach.y += movementY * scale.y;
    this.virtual.x = Math.min(Math.max(this.virtual.x + movementX * scale.x, 0), right);
    this.virtual.y = Math.min(Math.max(this.virtual.y + movementY * scale.y, 0), bottom);
    this.cursor.moveTo(this.virtual.x, this.virtual.y, { reach: [Math.floor(this.reach.x), Math.floor(this.reach.y)] });
  }

  // Leaving the player for the page around it: the pointer is off the picture.
  onLeave() {
    if (this.locked || !this.inside) return;
    this.inside = false;
    this.cursor.leave();
  }

  onWheel(event) {
    event.preventDefault();
    if (!this.locked && !(this.following && this.inside)) return;
    // Wheel up is positive for the host, negative deltaY for the browser.
    this.cursor.scroll(-event.deltaY / (WHEEL_PER_NOTCH[event.deltaMode] ?? 100));
  }

  destroy() {
    for (const [where, type, handler, options] of this.listeners) where.removeEventListener(type, handler, options);
    this.unlock();
  }
}
