// The keyboard: while the picture has focus, each key goes to the game as a
// K line through the package's key table, by the physical key (`code`), so
// layouts, dead keys and AltGr cannot change which key the game sees. The
// character and modifiers come from the same event. Auto-repeat sends no
// further downs, and every key still down is released when the page loses
// focus, is hidden, or the mouse lock ends, so no key stays stuck.
//
// A core that reads key state at its input poll sees only the state of the
// last line before the poll, so a tap whose press and release reach the host
// between two polls would be lost: a release comes at least KEY_HOLD_MS
// after its press. Releasing everything (blur, hidden page, lock ended)
// sends every release at once, held or not, so nothing waits on a timer
// that a closing page may never run.
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
    // Held keys by `code`: the retro_key each was sent as and when.
    this.held = new Map();
    // Releases waiting for their hold by `code`: { key, timer }.
    this.releasing = new Map();
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
    if (down && this.isShortcut(event)) {
      event.preventDefault();
      return;
    }
    const code = keyCodeFromEvent(event);
    if (!code) return;
    event.preventDefault();
    if (down) {
      if (event.repeat || this.held.has(event.code)) {
        this.counts.repeatsHeldBack++;
        return;
      }
      this.releaseNow(event.code);
      this.held.set(event.code, { key: code, since: performance.now() });
      this.sendKey(code, true, characterFromEvent(event), modifiersFromEvent(event));
      return;
    }
    const held = this.held.get(event.code);
    if (!held) return;
    this.held.delete(event.code);
    const modifiers = modifiersFromEvent(event);
    const wait = held.since + KEY_HOLD_MS - performance.now();
    if (wait <= 0) {
      this.sendKey(held.key, false, 0, modifiers);
      return;
    }
    this.counts.releasesHeld++;
    const timer = setTimeout(() => this.releaseNow(event.code), wait);
    this.releasing.set(event.code, { key: held.key, modifiers, timer });
  }

  // Sends a release still waiting for its hold.
  releaseNow(code) {
    const waiting = this.releasing.get(code);
    if (!waiting) return;
    clearTimeout(waiting.timer);
    this.releasing.delete(code);
    this.sendKey(waiting.key, false, 0, waiting.modifiers);
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
    for (const code of [...this.releasing.keys()]) this.releaseNow(code);
    for (const { key } of this.held.values()) this.sendKey(key, false, 0, 0);
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
