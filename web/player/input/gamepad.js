// The gamepad: pads of the Gamepad API's standard mapping, read once an
// animation frame while one is connected (gamepadconnected starts the reads,
// the last pad's gamepaddisconnected ends them), turned into the two paths
// every input source ends in. The left stick and the d-pad move the game's
// cursor (game_cursor.js, so the pointer rule, fractions kept) in game
// pixels; the buttons are its buttons and wheel, or keys through the
// keyboard's key path with its hold. A button never moves the cursor, so a
// click lands where it is.
//
// The stick does nothing inside a round dead zone. Beyond it the speed grows
// with the square of the deflection, so a small push is fine control, and
// while the stick stays out it rises from 1 to STICK_ACCELERATION times
// over STICK_RAMP_MS, so crossing the picture is quick. A d-pad press moves
// one game pixel, and after DPAD_DELAY_MS held one more every
// DPAD_REPEAT_MS. Several pads act as one.

import { SCUMMVM_LIBRARY } from '../../lib/pointer_rule.js';

// Button index (standard mapping) to action: 'leftClick', 'rightClick', 'middleClick', 'wheelUp', 'wheelDown',
// 'cursorUp', 'cursorDown', 'cursorLeft', 'cursorRight', 'menu' (the core's menu key), or a key by its
// `KeyboardEvent.code`. The `gamepadMap` option replaces entries; null unmaps one.
export const DEFAULT_GAMEPAD_MAP = Object.freeze({
  0: 'leftClick', 1: 'rightClick', 2: 'Escape', 3: 'Space', 4: 'wheelUp', 5: 'wheelDown',
  8: 'Enter', 9: 'menu', 12: 'cursorUp', 13: 'cursorDown', 14: 'cursorLeft', 15: 'cursorRight',
});

export const STICK_DEAD_ZONE = 0.2;
// Game pixels a second at full deflection, before the acceleration.
export const STICK_SPEED = 90;
export const STICK_ACCELERATION = 3;
export const STICK_RAMP_MS = 800;
export const DPAD_DELAY_MS = 300;
export const DPAD_REPEAT_MS = 50;
// A longer gap between reads (a stalled page) moves no further than this would.
const LONGEST_STEP_MS = 100;

const MOUSE_BUTTONS = { leftClick: 1, rightClick: 2, middleClick: 4 };
const WHEEL_STEPS = { wheelUp: 1, wheelDown: -1 };
const CURSOR_STEPS = { cursorUp: [0, -1], cursorDown: [0, 1], cursorLeft: [-1, 0], cursorRight: [1, 0] };

// The key that opens the game's own menu: ScummVM's global main menu is F5; other games mostly use Esc.
export function gamepadMenuKey(libraryName) {
  return libraryName === SCUMMVM_LIBRARY ? 'F5' : 'Escape';
}

export class Gamepads {
  // cursor: the game's cursor ({ moveBy(dx, dy) in game pixels, press(bit, down), scroll(notches) }); keys: the
  // keyboard ({ press(name, down) }); onUse() when a pad moves or presses anything; map: the `gamepadMap` option.
  constructor({ cursor, keys, onUse, map }) {
    this.cursor = cursor;
    this.keys = keys;
    this.onUse = onUse;
    this.map = { ...DEFAULT_GAMEPAD_MAP, ...map };
    this.menuKey = gamepadMenuKey('');
    // Button index to { action, since, steps } while it is down; action is what its press did, for the release.
    this.down = new Map();
    this.stickSince = null;
    this.lastRead = null;
    this.frame = null;
    this.listeners = [
      [window, 'gamepadconnected', () => this.start()],
      [window, 'gamepaddisconnected', () => this.read(performance.now())],
      // A hidden page is not read, so nothing it held may stay down; what is still held is pressed again after.
      [document, 'visibilitychange', () => { if (document.hidden) this.releaseAll(); }],
    ];
    for (const [where, type, handler] of this.listeners) where.addEventListener(type, handler);
    if (this.pads().length) this.start();
  }

  setCore(libraryName) {
    this.menuKey = gamepadMenuKey(libraryName);
  }

  pads() {
    return [...(navigator.getGamepads?.() ?? [])].filter((pad) => pad?.connected);
  }

  start() {
    if (this.frame === null) this.frame = requestAnimationFrame((time) => this.read(time));
  }

  read(time) {
    cancelAnimationFrame(this.frame);
    this.frame = null;
    const pads = this.pads();
    if (!pads.length) {
      this.releaseAll();
      this.lastRead = null;
      return;
    }
    const step = this.lastRead === null ? 0 : Math.min(Math.max(time - this.lastRead, 0), LONGEST_STEP_MS);
    this.lastRead = time;
    this.readButtons(pads, time);
    this.readStick(pads, time, step);
    this.frame = requestAnimationFrame((next) => this.read(next));
  }

  readButtons(pads, now) {
    for (const [index, action] of Object.entries(this.map)) {
      const pressed = action && pads.some((pad) => pad.buttons[index]?.pressed);
      const held = this.down.get(index);
      if (pressed && !held) this.press(index, action, now);
      else if (!pressed && held) this.release(index, held);
      else if (held && CURSOR_STEPS[held.action]) this.repeatCursor(held, now);
    }
  }

  press(index, action, now) {
    this.onUse?.();
    const resolved = action === 'menu' ? this.menuKey : action;
    const held = { action: resolved, since: now, steps: 0 };
    this.down.set(index, held);
    if (MOUSE_BUTTONS[resolved]) this.cursor.press(MOUSE_BUTTONS[resolved], true);
    else if (WHEEL_STEPS[resolved]) this.cursor.scroll(WHEEL_STEPS[resolved]);
    else if (CURSOR_STEPS[resolved]) this.repeatCursor(held, now);
    else this.keys.press(resolved, true);
  }

  release(index, held) {
    this.down.delete(index);
    if (MOUSE_BUTTONS[held.action]) this.cursor.press(MOUSE_BUTTONS[held.action], false);
    else if (!WHEEL_STEPS[held.action] && !CURSOR_STEPS[held.action]) this.keys.press(held.action, false);
  }

  // One pixel at the press, then one every DPAD_REPEAT_MS once DPAD_DELAY_MS have passed.
  repeatCursor(held, now) {
    const elapsed = now - held.since;
    const due = 1 + (elapsed < DPAD_DELAY_MS ? 0 : Math.floor((elapsed - DPAD_DELAY_MS) / DPAD_REPEAT_MS) + 1);
    const [x, y] = CURSOR_STEPS[held.action];
    const steps = due - held.steps;
    held.steps = due;
    if (steps > 0) this.cursor.moveBy(x * steps, y * steps);
  }

  // The farthest-pushed left stick moves the hand by its speed over the time since the last read.
  readStick(pads, now, step) {
    let [x, y] = [0, 0];
    for (const pad of pads) {
      const [padX = 0, padY = 0] = pad.axes;
      if (Math.hypot(padX, padY) > Math.hypot(x, y)) [x, y] = [padX, padY];
    }
    const deflection = Math.min(Math.hypot(x, y), 1);
    if (deflection <= STICK_DEAD_ZONE) {
      this.stickSince = null;
      return;
    }
    if (this.stickSince === null) {
      this.stickSince = now;
      this.onUse?.();
    }
    const pushed = (deflection - STICK_DEAD_ZONE) / (1 - STICK_DEAD_ZONE);
    const ramp = 1 + (STICK_ACCELERATION - 1) * Math.min((now - this.stickSince) / STICK_RAMP_MS, 1);
    const distance = STICK_SPEED * pushed * pushed * ramp * step / 1000;
    const length = Math.hypot(x, y);
    if (distance > 0) this.cursor.moveBy(distance * x / length, distance * y / length);
  }

  releaseAll() {
    for (const [index, held] of this.down) this.release(index, held);
    this.stickSince = null;
  }

  destroy() {
    cancelAnimationFrame(this.frame);
    this.frame = null;
    this.releaseAll();
    for (const [where, type, handler] of this.listeners) where.removeEventListener(type, handler);
  }
}
