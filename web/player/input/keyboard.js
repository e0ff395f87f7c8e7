// The keyboard: while the picture has focus, each key goes to the game as a
// K line through the package's key table, by the physical key (`code`), so
// layouts, dead keys and AltGr cannot change which key the game sees. The
// character and modifiers come from the same event. Auto-repeat sends no
// further downs, and every key still down is released when the page loses
// focus, is hidden, or the mouse lock ends, so no key stays stuck.
//
// A core that reads key state at its input poll sees only the state of the
// last line before the poll, so a tap whose press and release reach the host
// between two polls would be lost: a release goes at least KEY_HOLD_MS after
// its press was sent. Lines keep the order of the events, so what follows a
// held release waits with it. Releasing everything (blur, hidden page, lock
// ended) sends all that waits and every release at once, so nothing hangs
// on a timer that a closing page may never run.
//
// The player's own shortcuts (Alt+Enter fullscreen, F9 statistics) are held
// back from the game; every other mapped key has its browser default
// prevented, and in fullscreen the keyboard lock keeps Esc and Ctrl+W too.

import { keyCodeFromEvent, modifiersFromEvent, characterFromEvent } from '../../lib/keys.js';
import { keyLine } from '../../lib/commands.js';

// Three runs at 60 frames a second, as the mouse holds its clicks.
export const KEY_HOLD_MS = 50;

export class Keyboard {
  // send(line); shortcuts: { toggleFullscreen(), toggleStats() }; onGesture() for the key that may start audio.
  constructor(target, { send, shortcuts, onGesture }) {
    this.target = target;
    this.send = send;
    this.shortcuts = shortcuts;
    this.onGesture = onGesture;
    // Keys down by `code`: the retro_key each goes as, and when its press was sent.
    this.held = new Map();
    // Key lines not yet sent, in the order of their events.
    this.queue = [];
    this.counts = { lines: 0, repeatsHeldBack: 0, releasesHeld: 0 };
    this.listeners = [
      [target, 'keydown', (event) => this.onKey(event, true)],
      [target, 'keyup', (event) => this.onKey(event, false)],
      [target, 'blur', () => this.releaseAll()],
      [window, 'blur', () => this.releaseAll()],
      [document, 'visibilitychange', () => { if (document.hidden) this.releaseAll(); }],
    ];
    for (const [where, type, handler] of this.listeners) where.addEventListener(type, handler);
  }

  onKey(event, down) {
    this.onGesture?.();
    // A key an input method takes is not the game's: its text comes composed, through the device keyboard.
    if (down && (event.isComposing || event.key === 'Process')) return;
    if (down && this.isShortcut(event)) {
      event.preventDefault();
      return;
    }
    const code = keyCodeFromEvent(event);
    if (!code) return;
    event.preventDefault();
    if (down && event.repeat) {
      this.counts.repeatsHeldBack++;
      return;
    }
    this.pressCode(event.code, code, down, down ? characterFromEvent(event) : 0, modifiersFromEvent(event));
  }

  // A key from any other input source (on-screen keys, a gamepad, the device
  // keyboard), named by its physical key (`KeyboardEvent.code`, e.g.
  // 'Escape'): the same table, order and hold as a typed key. A `key` of one
  // character stands in for a code the table lacks; a character with no key
  // (é, 日) goes as the unknown key carrying it. False when nothing maps.
  press(name, down, { character = 0, modifiers = 0, key } = {}) {
    const code = keyCodeFromEvent({ code: name, key });
    if (!code && !character) return false;
    this.pressCode(name, code, down, down ? character : 0, modifiers);
    return true;
  }

  // Press and release, the release held as for a quick typed tap.
  tap(name, options = {}) {
    return this.press(name, true, options) && this.press(name, false, options);
  }

  pressCode(name, code, down, character, modifiers) {
    if (down) {
      if (this.held.has(name)) {
        this.counts.repeatsHeldBack++;
        return;
      }
      const key = { code, sentAt: null };
      this.held.set(name, key);
      this.queue.push({ key, down: true, character, modifiers });
    } else {
      const key = this.held.get(name);
      if (!key) return;
      this.held.delete(name);
      this.queue.push({ key, down: false, character: 0, modifiers });
    }
    this.sendQueued(false);
  }

  // Sends the queued lines in order, a release only once its hold is over unless `all`.
  sendQueued(all) {
    clearTimeout(this.holdTimer);
    while (this.queue.length) {
      const line = this.queue[0];
      const wait = line.down || all ? 0 : line.key.sentAt + KEY_HOLD_MS - performance.now();
      if (wait > 0) {
        if (!line.counted) this.counts.releasesHeld++;
        line.counted = true;
        this.holdTimer = setTimeout(() => this.sendQueued(false), wait);
        return;
      }
      this.queue.shift();
      if (line.down) line.key.sentAt = performance.now();
      this.sendKey(line.key.code, line.down, line.character, line.modifiers);
    }
  }

  isShortcut(event) {
    if (event.code === 'Enter' && event.altKey && !event.ctrlKey) {
      this.shortcuts.toggleFullscreen();
      return true;
    }
    if (event.code === 'F9' && !event.repeat) {
      this.shortcuts.toggleStats();
      return true;
    }
    return event.code === 'F9';
  }

  sendKey(code, down, character, modifiers) {
    if (this.send(keyLine({ code, down: down ? 1 : 0, character, modifiers }))) this.counts.lines++;
  }

  releaseAll() {
    this.sendQueued(true);
    for (const { code } of this.held.values()) this.sendKey(code, false, 0, 0);
    this.held.clear();
  }

  // Held back from the browser where it allows it: only in fullscreen, and only in Chromium-based browsers.
  async lockBrowserKeys(on) {
    const keyboard = navigator.keyboard;
    if (!keyboard?.lock) return;
    try {
      if (on) await keyboard.lock();
      else keyboard.unlock();
    } catch {
      // Refused outside fullscreen or by policy: the shortcuts stay the browser's.
    }
  }

  destroy() {
    this.releaseAll();
    for (const [where, type, handler] of this.listeners) where.removeEventListener(type, handler);
  }
}
