// Touch: fingers and pens over the picture (Pointer Events of type 'touch'
// and 'pen'), turned into what the game's cursor (game_cursor.js) is asked
// to do, in one of two modes:
//
// - direct (the default): the cursor goes where the finger is. Each touch
//   brings it under the finger by a placement, so a tap clicks there once
//   the cursor has landed; a drag moves it with no button (hover texts
//   show); a press held still HOLD_MS shows a ring and, released, is a
//   right click, or, moved, a left-button drag.
// - touchpad: the finger moves the cursor relatively, faster for a fast
//   finger; a tap clicks where the cursor is; a hold works as above.
//
// In both, a two-finger tap is a right click and two fingers moved up or
// down turn the wheel. armRightClick() makes the next click a right one
// (an on-screen toggle). The picture's style (player.css) keeps the browser
// from scrolling, zooming, navigating or selecting under a finger; the touch
// events a style cannot cover have their default prevented here.

import { BUTTON_LEFT, BUTTON_RIGHT } from './game_cursor.js';

const MODES = ['direct', 'touchpad'];
// How long a still press takes to count as held.
export const HOLD_MS = 500;
// How far (CSS pixels) a finger may wander and still tap or hold.
const STILL_PX = 10;
// CSS pixels two fingers travel for one wheel notch.
const WHEEL_STEP_PX = 40;
// Touchpad gain: 1 up to SLOW_PX_PER_MS, rising GAIN_PER_PX_PER_MS for each pixel per millisecond faster, at most
// GAIN_LIMIT; a finger's steps closer in time than SHORTEST_STEP_MS count as that far apart.
const SLOW_PX_PER_MS = 0.3;
const GAIN_PER_PX_PER_MS = 1.5;
const GAIN_LIMIT = 3;
const SHORTEST_STEP_MS = 8;

export function touchpadGain(pixelsPerMs) {
  return Math.min(GAIN_LIMIT, 1 + Math.max(0, pixelsPerMs - SLOW_PX_PER_MS) * GAIN_PER_PX_PER_MS);
}

const isFingerOrPen = (event) => event.pointerType === 'touch' || event.pointerType === 'pen';

export class Touch {
  // display: the Display; target: the element around the picture; cursor: the GameCursor; mode ('direct' |
  // 'touchpad', direct when anything else); onGesture() for the touch that may start audio; onUse() on every touch.
  constructor(display, target, { cursor, mode, onGesture, onUse }) {
    this.display = display;
    this.target = target;
    this.cursor = cursor;
    this.mode = MODES.includes(mode) ? mode : 'direct';
    this.onGesture = onGesture;
    this.onUse = onUse;
    // A front-end's toggle may watch this: called with false once an armed right click is used.
    this.onArmChange = null;
    this.armed = false;
    // Fingers down by pointerId: where each is now and started, in client pixels, and its last event's time.
    this.fingers = new Map();
    this.gesture = null;
    this.counts = { taps: 0, rightClicks: 0, drags: 0, cancelled: 0 };
    this.ring = document.createElement('div');
    this.ring.className = 'kalmo-touch-ring';
    this.ring.hidden = true;
    target.append(this.ring);
    const overPicture = (event) => { if (event.target === this.display.canvas) event.preventDefault(); };
    this.listeners = [
      [target, 'pointerdown', (event) => this.onDown(event)],
      [target, 'pointermove', (event) => this.onMove(event)],
      [target, 'pointerup', (event) => this.onUp(event, false)],
      [target, 'pointercancel', (event) => this.onUp(event, true)],
      // Prevented touches make no mouse events or click, and no scroll or zoom where touch-action is honoured in part.
      [target, 'touchstart', overPicture, { passive: false }],
      [target, 'touchmove', overPicture, { passive: false }],
    ];
    for (const [where, type, handler, options] of this.listeners) where.addEventListener(type, handler, options);
  }

  // The next click of a touch is a right click (false disarms).
  armRightClick(armed = true) {
    this.armed = armed;
  }

  onDown(event) {
    if (!isFingerOrPen(event)) return;
    const spot = this.display.toFrame(event.clientX, event.clientY);
    if (!this.gesture && !spot.inside) return;
    event.preventDefault();
    this.onUse?.();
    const at = { x: event.clientX, y: event.clientY };
    this.fingers.set(event.pointerId, { at, start: at, time: event.timeStamp });
    if (this.gesture) {
      // A second finger: a two-finger tap or the wheel, never a hold.
      this.gesture.fingers = Math.max(this.gesture.fingers, this.fingers.size);
      if (!this.gesture.dragging) this.endHold();
      return;
    }
    this.target.focus({ preventScroll: true });
    this.gesture = { fingers: 1, moved: false, held: false, dragging: false, cancelled: false, owed: { x: 0, y: 0 } };
    this.holdTimer = setTimeout(() => this.onHold(at), HOLD_MS);
    if (this.mode === 'direct') this.cursor.placeAt(spot.x + 0.5, spot.y + 0.5);
  }

  onHold(at) {
    const gesture = this.gesture;
    if (!gesture || gesture.moved || this.fingers.size !== 1) return;
    gesture.held = true;
    const box = this.target.getBoundingClientRect();
    this.ring.style.left = `${at.x - box.left}px`;
    this.ring.style.top = `${at.y - box.top}px`;
    this.ring.hidden = false;
  }

  endHold() {
    clearTimeout(this.holdTimer);
    this.ring.hidden = true;
    if (this.gesture) this.gesture.held = false;
  }

  onMove(event) {
    const finger = this.fingers.get(event.pointerId);
    if (!finger) return;
    const dx = event.clientX - finger.at.x;
    const dy = event.clientY - finger.at.y;
    const elapsed = event.timeStamp - finger.time;
    finger.at = { x: event.clientX, y: event.clientY };
    finger.time = event.timeStamp;
    const gesture = this.gesture;
    if (!gesture.moved && Math.hypot(finger.at.x - finger.start.x, finger.at.y - finger.start.y) > STILL_PX) {
      gesture.moved = true;
      if (!gesture.held) clearTimeout(this.holdTimer);
    }
    if (gesture.fingers > 1) {
      // The wheel follows the fingers' midpoint; drawn down, the page's content would come down: wheel up.
      if (gesture.moved && !gesture.dragging) this.cursor.scroll(dy / this.fingers.size / WHEEL_STEP_PX);
      return;
    }
    if (this.mode === 'touchpad') {
      const gain = touchpadGain(Math.hypot(dx, dy) / Math.max(elapsed, SHORTEST_STEP_MS));
      const scale = this.display.frameScale();
      gesture.owed.x += dx * scale.x * gain;
      gesture.owed.y += dy * scale.y * gain;
    }
    if (gesture.held && gesture.moved && !gesture.dragging) {
      // The button goes down where the hold was; the cursor follows once the core has read it there.
      gesture.dragging = 'pressing';
      this.counts.drags++;
      this.ring.hidden = true;
      this.cursor.whenPlaced(() => this.cursor.press(BUTTON_LEFT, true, () => {
        gesture.dragging = 'pressed';
        this.steer(gesture, finger);
      }));
      return;
    }
    this.steer(gesture, finger);
  }

  // Moves the cursor after the finger: to it (direct), or by the motion owed since it last moved (touchpad).
  steer(gesture, finger) {
    if (gesture.dragging === 'pressing') return;
    if (this.mode === 'direct') {
      const spot = this.display.toFrame(finger.at.x, finger.at.y);
      this.cursor.moveTo(spot.x + 0.5, spot.y + 0.5, { inside: spot.inside });
      return;
    }
    this.cursor.moveBy(gesture.owed.x, gesture.owed.y);
    gesture.owed = { x: 0, y: 0 };
  }

  onUp(event, cancelled) {
    if (!this.fingers.delete(event.pointerId)) return;
    if (cancelled) {
      this.counts.cancelled++;
      this.gesture.cancelled = true;
    } else {
      this.onGesture?.();
    }
    if (this.fingers.size) return;
    const gesture = this.gesture;
    this.gesture = null;
    this.endHold();
    if (gesture.dragging) {
      this.cursor.whenPlaced(() => this.cursor.press(BUTTON_LEFT, false));
      return;
    }
    if (gesture.cancelled || gesture.moved) return;
    const right = gesture.held || gesture.fingers > 1 || this.armed;
    if (right) this.counts.rightClicks++;
    else this.counts.taps++;
    this.cursor.whenPlaced(() => this.cursor.click(right ? BUTTON_RIGHT : BUTTON_LEFT));
    if (this.armed) {
      this.armed = false;
      this.onArmChange?.(false);
    }
  }

  destroy() {
    clearTimeout(this.holdTimer);
    for (const [where, type, handler, options] of this.listeners) where.removeEventListener(type, handler, options);
    this.ring.remove();
  }
}
