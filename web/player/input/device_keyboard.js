// The device keyboard: for players with no physical keyboard, a visually
// hidden text field on the picture whose focus raises the device's own
// keyboard. What is typed into it reaches the game through the keyboard's
// one key path (keyboard.tap), each character as a press and release that
// carries it: the key the table gives a character where it has one (a
// letter's, a digit's), the unknown key otherwise (é, €, 日). Text an input
// method composes goes when it is committed, not while it changes; Backspace
// and Enter come as edits (deleteContentBackward, insertLineBreak) and go as
// those keys.
//
// The field lies inside the picture's element, where the keyboard listens:
// a key of a physical keyboard typed there is the keyboard's, which prevents
// its default, so the field never sees it as text and nothing goes twice.
// Only keys the table does not know (a virtual keyboard's "Unidentified")
// become edits here. The field keeps one filler character before the caret,
// because a device keyboard sends no Backspace for an empty field.

import { characterFromEvent, RETRO_MODIFIERS } from '../../lib/keys.js';

const FILLER = ' ';
const TEXT_EDITS = new Set(['insertText', 'insertReplacementText', 'insertFromPaste']);
const ENTER_EDITS = new Set(['insertLineBreak', 'insertParagraph']);

export class DeviceKeyboard {
  // host: the element the field goes in (the picture's, where the keyboard listens); keyboard: the Keyboard;
  // onChange(raised) when the field gains or loses focus.
  constructor(host, { keyboard, onChange }) {
    this.keyboard = keyboard;
    this.host = host;
    this.field = document.createElement('textarea');
    this.field.className = 'kalmo-device-keyboard';
    Object.assign(this.field, { rows: 1, spellcheck: false, autocomplete: 'off', inputMode: 'text' });
    const attributes = { autocapitalize: 'off', autocorrect: 'off', 'aria-label': 'Type to the game' };
    for (const [name, value] of Object.entries(attributes)) this.field.setAttribute(name, value);
    this.reset();
    this.listeners = [
      ['beforeinput', (event) => this.onEdit(event)],
      ['input', () => { if (!this.composing) this.reset(); }],
      ['compositionstart', () => { this.composing = true; }],
      ['compositionend', (event) => this.onComposed(event)],
      ['focus', () => onChange(true)],
      ['blur', () => onChange(false)],
    ];
    for (const [type, handler] of this.listeners) this.field.addEventListener(type, handler);
    host.append(this.field);
  }

  get raised() {
    return document.activeElement === this.field;
  }

  // Raises the device's keyboard, or puts it away and gives the picture its focus back. Must run in a tap's click.
  toggle() {
    if (this.raised) this.host.focus();
    else this.field.focus();
  }

  onEdit(event) {
    // A composition's steps cannot be cancelled and are not yet text: it goes whole at compositionend.
    if (event.isComposing || event.inputType.includes('Composition')) return;
    event.preventDefault();
    if (TEXT_EDITS.has(event.inputType)) this.type(event.data ?? event.dataTransfer?.getData('text/plain') ?? '');
    else if (ENTER_EDITS.has(event.inputType)) this.tapKey('Enter');
    else if (event.inputType === 'deleteContentBackward') this.tapKey('Backspace');
  }

  onComposed(event) {
    this.composing = false;
    this.type(event.data ?? '');
    this.reset();
  }

  // Each character as a tap carrying it; the key is the table's for the character where it has one.
  type(text) {
    for (const character of text) {
      const modifiers = character !== character.toLowerCase() ? RETRO_MODIFIERS.shift : 0;
      this.keyboard.tap('Unidentified', { key: character, character: character.codePointAt(0), modifiers });
    }
  }

  tapKey(name) {
    this.keyboard.tap(name, { character: characterFromEvent({ key: name }) });
  }

  reset() {
    this.field.value = FILLER;
    this.field.setSelectionRange(FILLER.length, FILLER.length);
  }

  destroy() {
    for (const [type, handler] of this.listeners) this.field.removeEventListener(type, handler);
    this.field.remove();
  }
}
