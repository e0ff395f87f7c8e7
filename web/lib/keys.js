// The key table: KeyboardEvent.code (the physical key, whatever the layout)
// to the published retro_key numbers, plus the retro_mod mask and the typed
// character of a keyboard event. Browser-safe; the page and Node share it.
//
// retro_key keeps ASCII for keys that type it and numbers the rest from 256,
// as the old SDL 1.2 key symbols did.

const letters = Object.fromEntries(
  Array.from({ length: 26 }, (_, i) => [`Key${String.fromCharCode(65 + i)}`, 97 + i]));
const digits = Object.fromEntries(Array.from({ length: 10 }, (_, i) => [`Digit${i}`, 48 + i]));
const keypadDigits = Object.fromEntries(Array.from({ length: 10 }, (_, i) => [`Numpad${i}`, 256 + i]));
const functionKeys = Object.fromEntries(Array.from({ length: 15 }, (_, i) => [`F${i + 1}`, 282 + i]));

export const LIBRETRO_KEYS = Object.freeze({
  ...letters,
  ...digits,
  ...keypadDigits,
  ...functionKeys,
  Backspace: 8, Tab: 9, NumpadClear: 12, Enter: 13, Pause: 19, Escape: 27, Space: 32, Delete: 127,
  Quote: 39, Comma: 44, Minus: 45, Period: 46, Slash: 47, Semicolon: 59, Equal: 61,
  BracketLeft: 91, Backslash: 92, BracketRight: 93, Backquote: 96,
  NumpadDecimal: 266, NumpadDivide: 267, NumpadMultiply: 268, NumpadSubtract: 269,
  NumpadAdd: 270, NumpadEnter: 271, NumpadEqual: 272,
  ArrowUp: 273, ArrowDown: 274, ArrowRight: 275, ArrowLeft: 276,
  Insert: 277, Home: 278, End: 279, PageUp: 280, PageDown: 281,
  NumLock: 300, CapsLock: 301, ScrollLock: 302,
  ShiftRight: 303, ShiftLeft: 304, ControlRight: 305, ControlLeft: 306, AltRight: 307, AltLeft: 308,
  // The Windows (Super) keys: the native viewer sends the same codes for them.
  MetaLeft: 311, MetaRight: 312,
  // Older Firefox names for the same two keys.
  OSLeft: 311, OSRight: 312,
  Help: 315, PrintScreen: 316, ContextMenu: 319, Power: 320, Undo: 322,
  // The extra key beside left Shift on ISO keyboards.
  IntlBackslash: 323,
});

export const RETRO_MODIFIERS = Object.freeze({
  shift: 1, ctrl: 2, alt: 4, meta: 8, numlock: 16, capslock: 32, scrollock: 64,
});

// The retro_key for an event, 0 (unknown) when the key has none. Virtual
// keyboards may leave `code` empty; a plain ASCII `key` still maps then.
export function keyCodeFromEvent(event) {
  if (Object.hasOwn(LIBRETRO_KEYS, event.code)) return LIBRETRO_KEYS[event.code];
  const key = typeof event.key === 'string' ? event.key : '';
  if (key.length !== 1) return 0;
  const ascii = key.toLowerCase().charCodeAt(0);
  return ascii >= 32 && ascii < 127 ? ascii : 0;
}

export function modifiersFromEvent(event) {
  const locked = (name) => typeof event.getModifierState === 'function' && event.getModifierState(name);
  let mask = 0;
  if (event.shiftKey) mask |= RETRO_MODIFIERS.shift;
  if (event.ctrlKey) mask |= RETRO_MODIFIERS.ctrl;
  if (event.altKey) mask |= RETRO_MODIFIERS.alt;
  if (event.metaKey) mask |= RETRO_MODIFIERS.meta;
  if (locked('NumLock')) mask |= RETRO_MODIFIERS.numlock;
  if (locked('CapsLock')) mask |= RETRO_MODIFIERS.capslock;
  if (locked('ScrollLock')) mask |= RETRO_MODIFIERS.scrollock;
  return mask;
}

// The control characters these keys type, as the native viewer sends them,
// so a core's text input sees the same from either parent.
const TYPED_CONTROLS = { Backspace: 8, Tab: 9, Enter: 13, Escape: 27, Delete: 127 };

// The Unicode code point `event.key` types when it is one character, else 0.
export function characterFromEvent(event) {
  const key = typeof event.key === 'string' ? event.key : '';
  const point = key.codePointAt(0);
  if (point !== undefined && key.length === (point > 0xffff ? 2 : 1)) return point;
  return Object.hasOwn(TYPED_CONTROLS, key) ? TYPED_CONTROLS[key] : 0;
}
