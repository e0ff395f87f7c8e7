// The key table, the modifier mask and typed characters of keyboard events,
// the mouse accumulator, and the command lines they end up in.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { LIBRETRO_KEYS, characterFromEvent, keyCodeFromEvent, modifiersFromEvent } from '../../lib/keys.js';
import { MouseAccumulator } from '../../lib/mouse_accumulator.js';
import { CommandError, keyLine, mouseLine, parseCommandLine } from '../../lib/commands.js';

// Every KeyboardEvent.code of a full-size PC keyboard (104/105 keys plus
// F13-F15 and the keypad's Equal).
const FULL_KEYBOARD = [
  'Escape', ...Array.from({ length: 15 }, (_, i) => `F${i + 1}`), 'PrintScreen', 'ScrollLock', 'Pause',
  'Backquote', ...Array.from({ length: 10 }, (_, i) => `Digit${i}`), 'Minus', 'Equal', 'Backspace',
  'Tab', ...'QWERTYUIOPASDFGHJKLZXCVBNM'.split('').map((c) => `Key${c}`),
  'BracketLeft', 'BracketRight', 'Backslash', 'CapsLock', 'Semicolon', 'Quote', 'Enter',
  'ShiftLeft', 'IntlBackslash', 'Comma', 'Period', 'Slash', 'ShiftRight',
  'ControlLeft', 'MetaLeft', 'AltLeft', 'Space', 'AltRight', 'MetaRight', 'ContextMenu', 'ControlRight',
  'Insert', 'Home', 'PageUp', 'Delete', 'End', 'PageDown', 'ArrowUp', 'ArrowLeft', 'ArrowDown', 'ArrowRight',
  'NumLock', 'NumpadDivide', 'NumpadMultiply', 'NumpadSubtract', 'NumpadAdd', 'NumpadEnter', 'NumpadDecimal',
  'NumpadEqual', ...Array.from({ length: 10 }, (_, i) => `Numpad${i}`),
];

test('every key of a full PC keyboard has its own retro_key', () => {
  const codes = FULL_KEYBOARD.map((code) => keyCodeFromEvent({ code, key: 'Unidentified' }));
  codes.forEach((value, i) => assert.ok(value > 0, `${FULL_KEYBOARD[i]} is mapped`));
  assert.equal(new Set(codes).size, FULL_KEYBOARD.length, 'no two keys share a number');
});

test('keys carry the published retro_key numbers', () => {
  const expected = {
    KeyA: 97, KeyZ: 122, Digit0: 48, Digit9: 57, F1: 282, F15: 296, Numpad0: 256, Numpad9: 265,
    NumpadDecimal: 266, NumpadEqual: 272, ArrowUp: 273, ArrowLeft: 276, Insert: 277, PageDown: 281,
    Backspace: 8, Tab: 9, Enter: 13, Pause: 19, Escape: 27, Space: 32, Delete: 127, NumLock: 300,
    CapsLock: 301, ScrollLock: 302, ShiftRight: 303, ShiftLeft: 304, ControlRight: 305, ControlLeft: 306,
    AltRight: 307, AltLeft: 308, MetaRight: 312, MetaLeft: 311, ContextMenu: 319, PrintScreen: 316,
    Quote: 39, Comma: 44, Minus: 45, Period: 46, Slash: 47, Semicolon: 59, Equal: 61,
    BracketLeft: 91, Backslash: 92, BracketRight: 93, Backquote: 96,
  };
  for (const [code, value] of Object.entries(expected)) assert.equal(LIBRETRO_KEYS[code], value, code);
});

test('the physical key decides, whatever the layout types; unknown keys are 0', () => {
  assert.equal(keyCodeFromEvent({ code: 'KeyQ', key: 'a' }), 113, 'AZERTY A is the Q key');
  assert.equal(keyCodeFromEvent({ code: 'Lang1', key: 'HangulMode' }), 0);
  assert.equal(keyCodeFromEvent({ code: 'toString', key: 'x' }), 120, 'no inherited names match');
  assert.equal(keyCodeFromEvent({ code: '', key: 'G' }), 103, 'a virtual keyboard without code');
});

test('modifiers become the retro_mod mask, locks included', () => {
  const event = (fields, locks = []) => ({ ...fields, getModifierState: (name) => locks.includes(name) });
  assert.equal(modifiersFromEvent(event({})), 0);
  assert.equal(modifiersFromEvent(event({ shiftKey: true, altKey: true })), 5);
  assert.equal(modifiersFromEvent(event({ ctrlKey: true, metaKey: true }, ['CapsLock'])), 2 | 8 | 32);
  assert.equal(modifiersFromEvent(event({}, ['NumLock', 'ScrollLock'])), 16 | 64);
  assert.equal(modifiersFromEvent({ shiftKey: true }), 1, 'an event without getModifierState');
});

test('the character is the code point of a one-character key, control keys type theirs', () => {
  assert.equal(characterFromEvent({ key: 'a' }), 97);
  assert.equal(characterFromEvent({ key: 'É' }), 0xc9);
  assert.equal(characterFromEvent({ key: '😀' }), 0x1f600);
  assert.equal(characterFromEvent({ key: 'Enter' }), 13);
  assert.equal(characterFromEvent({ key: 'Backspace' }), 8);
  assert.equal(characterFromEvent({ key: 'Shift' }), 0);
  assert.equal(characterFromEvent({ key: 'ab' }), 0);
  assert.equal(characterFromEvent({ key: 'Dead' }), 0);
  assert.equal(characterFromEvent({}), 0);
});

test('the mouse accumulator hands out whole deltas and keeps every remainder', () => {
  const mouse = new MouseAccumulator();
  let total = 0;
  for (let i = 0; i < 1000; i++) {
    mouse.add(0.37, -0.37, 0);
    total += mouse.take().dx;
  }
  assert.ok(total >= 369 && total <= 370, `about 370 whole steps, got ${total}`);
  mouse.clear();
  mouse.add(2.5, -2.5, 1.25);
  assert.deepEqual(mouse.take(), { dx: 2, dy: -2, wheel: 1 });
  assert.equal(mouse.pending, false);
  mouse.add(0.5, -0.5, 0.75);
  assert.deepEqual(mouse.take(), { dx: 1, dy: -1, wheel: 1 });
  mouse.add(NaN, Infinity, 0);
  mouse.add(70000, 0, 0);
  assert.deepEqual(mouse.take(), { dx: 32767, dy: 0, wheel: 0 }, 'one line carries at most 32767');
  assert.deepEqual(mouse.take(), { dx: 32767, dy: 0, wheel: 0 });
  assert.deepEqual(mouse.take(), { dx: 4466, dy: 0, wheel: 0 });
});

test('mouse and key lines are written from checked fields', () => {
  assert.equal(mouseLine({ dx: -3, dy: 4, buttons: 5, wheel: -1, x: 10, y: 20, inside: true }), 'M -3 4 5 -1 10 20 1');
  assert.equal(mouseLine({}), 'M 0 0 0 0 0 0 0');
  assert.equal(keyLine({ code: 97, down: true, character: 97, modifiers: 1 }), 'K 97 1 97 1');
  assert.equal(keyLine({ code: 13, down: 0 }), 'K 13 0 0 0');
  const refused = [
    () => mouseLine({ dx: 1.5 }), () => mouseLine({ dx: '1\nQUIT' }), () => mouseLine({ buttons: 8 }),
    () => mouseLine({ dy: 40000 }), () => mouseLine({ x: NaN }), () => mouseLine(null),
    () => keyLine({ down: 1 }), () => keyLine({ code: 512, down: 1 }), () => keyLine({ code: 1, down: 2 }),
    () => keyLine({ code: 1, down: 1, character: 0x110000 }), () => keyLine({ code: 1, down: 1, modifiers: 128 }),
    () => keyLine({ code: -1, down: 1 }),
  ];
  refused.forEach((call, i) => assert.throws(call, CommandError, `case ${i}`));
});

test('a line from a page is re-serialised when well formed and refused with a reason otherwise', () => {
  assert.equal(parseCommandLine('QUIT'), 'QUIT');
  assert.equal(parseCommandLine('RESET\n'), 'RESET');
  assert.equal(parseCommandLine('M -0 007 1 0 3 4 1\r\n'), 'M 0 7 1 0 3 4 1');
  assert.equal(parseCommandLine('K 304 1 0 1'), 'K 304 1 0 1');
  const reasons = {
    'quit': /unknown command/,
    'QUIT\nQUIT': /unknown command/,
    'M 1 2 3': /needs 7 fields/,
    'M 1  2 0 0 0 0 0': /needs 7 fields|not a decimal/,
    'M 1 2 0 0 0 0 0 9': /needs 7 fields/,
    'M 1 2 8 0 0 0 0': /buttons 8 is outside 0\.\.7/,
    'M 1 2 0 0 0 0 +1': /inside is not a decimal/,
    'M 1e3 0 0 0 0 0 0': /dx is not a decimal/,
    'M 99999999999 0 0 0 0 0 0': /dx is not a decimal/,
    'K 97 1 0 0 /etc/passwd': /needs 4 fields/,
    'K 97 1 1114112 0': /character 1114112 is outside/,
    'RESET\r': /unknown command/,
    'M 0 0 0 0 0 0 0\n\n': /not a decimal/,
  };
  for (const [line, reason] of Object.entries(reasons)) assert.throws(() => parseCommandLine(line), reason, line);
  assert.throws(() => parseCommandLine('M ' + '1 '.repeat(100)), /longer than 128/);
  assert.throws(() => parseCommandLine(42), CommandError);
});
