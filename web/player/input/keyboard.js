// The keyboard: while the picture has focus, each key goes to the game as a
// K line through the package's key table, by the physical key (`code`), so
// layouts, dead keys and AltGr cannot change which key the game sees. The
// character and modifiers come from the same event. Auto-repeat sends no
// further downs, and every key still down is released when the page loses
// focus, is hidden, or the mouse lock ends, so no key stays stuck.
//
// The player's own shortcuts (Alt+Enter fullscreen, F9 statistics) are held
// back from the game; every other mapped key has its browser default
// prevented, and in fullscreen the keyboard lock keeps Esc and Ctrl+W too.

import { keyCodeFromEvent, modifiersFromEvent, characterFromEvent } from '../../lib/keys.js';
import { keyLine } from '../../lib/commands.js';

export class Keyboard {
  // send(line); shortcuts: { toggleFullscreen(), toggleStats() }; onGesture() for the key that may start audio.
  constructor(target, { send, shortcuts, onGesture }) {
    this.target = target;
    this.send = send;
    this.shortcuts = shortcuts;
    this.onGesture = onGesture;
    // Held keys by `code`, with the retro_key each was sent as.
    this.held = new Map();
    this.counts = { lines: 0, repeatsHeldBack: 0 };
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
      this.held.set(event.code, code);
      this.sendKey(code, true, characterFromEvent(event), modifiersFromEvent(event));
      return;
    }
    const sentCode = this.held.get(event.code);
    if (sentCode === undefined) return;
    this.held.delete(event.code);
    this.sendKey(sentCode, false, 0, modifiersFromEvent(event));
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
    for (const code of this.held.values()) this.sendKey(code, false, 0, 0);
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
