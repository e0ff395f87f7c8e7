// On-screen keys: a row of buttons under the picture for players without a
// physical keyboard. Its keys (Esc, Space, Enter and the core's menu key by
// default, or a front-end's own list) go through the keyboard's one key
// path by physical key name, held while the finger or button is down; its
// controls arm a right click for the next tap, raise the device keyboard
// (device_keyboard.js) and toggle fullscreen.
//
// The row shows as the player's root says (data-input, which each input
// source sets): with 'auto', after touch or a gamepad and not for the mouse;
// 'always' and 'never' fix it. Its buttons cancel pointerdown, so a tap on
// them takes no focus from the picture (or the device keyboard's field) and
// sends no mouse press; they lie outside the picture, so no click reaches
// the game either.

import { keyCodeFromEvent, characterFromEvent } from '../../lib/keys.js';
import { SCUMMVM_LIBRARY } from '../../lib/pointer_rule.js';
import { DeviceKeyboard } from './device_keyboard.js';

const SHOWN = ['auto', 'always', 'never'];
const COMMON_KEYS = [
  { label: 'Esc', code: 'Escape' }, { label: 'Space', code: 'Space', key: ' ' }, { label: 'Enter', code: 'Enter' },
];
// The key that opens each core's own menu, by library name.
const MENU_KEYS = { [SCUMMVM_LIBRARY]: { label: 'Menu', code: 'F5' } };

// What the `onscreenKeys` option asks for: { shown, keys }, keys null for the core's defaults. A list shows as
// 'auto' does; an entry without a label or with a code the key table lacks is a front-end's mistake: a TypeError.
export function onscreenKeysChoice(option = 'auto') {
  if (!Array.isArray(option)) return { shown: SHOWN.includes(option) ? option : 'auto', keys: null };
  const keys = option.map((entry) => {
    if (typeof entry?.label !== 'string' || !keyCodeFromEvent({ code: entry.code })) {
      throw new TypeError(`onscreenKeys: ${JSON.stringify(entry)} needs a label and a code the key table has`);
    }
    return { label: entry.label, code: entry.code, key: entry.key };
  });
  return { shown: 'auto', keys };
}

export function defaultKeys(libraryName) {
  return Object.hasOwn(MENU_KEYS, libraryName) ? [...COMMON_KEYS, MENU_KEYS[libraryName]] : COMMON_KEYS;
}

function button(label, className) {
  const node = document.createElement('button');
  node.type = 'button';
  node.className = className;
  node.textContent = label;
  node.tabIndex = -1;
  node.addEventListener('pointerdown', (event) => event.preventDefault());
  return node;
}

export class OnscreenKeys {
  // root: the player's element, which the row ends; picture: the element the device keyboard's field goes in;
  // choice: from onscreenKeysChoice; keyboard: the Keyboard; armRightClick(on), true to make the next tap on the
  // picture a right click, false to take that back; toggleFullscreen().
  constructor(root, picture, { choice, keyboard, armRightClick, toggleFullscreen }) {
    this.keyboard = keyboard;
    this.ownKeys = choice.keys;
    this.armRightClick = armRightClick;
    this.picture = picture;
    this.row = document.createElement('div');
    this.row.className = 'kalmo-keys';
    this.row.dataset.shown = choice.shown;
    this.keys = document.createElement('div');
    this.keys.className = 'kalmo-keys-game';
    this.row.append(this.keys);
    this.rightClick = this.control('Right click', () => this.setArmed(!this.armed));
    this.keyboardButton = this.control('Keyboard', () => this.deviceKeyboard.toggle());
    this.control('Fullscreen', toggleFullscreen);
    this.deviceKeyboard = new DeviceKeyboard(picture, {
      keyboard, onChange: (raised) => this.keyboardButton.setAttribute('aria-pressed', String(raised)),
    });
    this.showArmed(false);
    // The next tap on the picture is the one the touch module makes a right click: it ends the armed look.
    this.onPictureTap = (event) => { if (event.pointerType !== 'mouse') this.showArmed(false); };
    picture.addEventListener('pointerdown', this.onPictureTap, true);
    this.setCore('');
    root.append(this.row);
  }

  // The core's library name picks the default keys' menu key; a front-end's own list stays as it is.
  setCore(libraryName) {
    const keys = this.ownKeys ?? defaultKeys(libraryName);
    this.keys.replaceChildren(...keys.map((key) => this.keyButton(key)));
  }

  keyButton({ label, code, key }) {
    const node = button(label, 'kalmo-key');
    node.dataset.code = code;
    const character = characterFromEvent({ key: key ?? code });
    const release = () => this.keyboard.press(code, false);
    node.addEventListener('pointerdown', (event) => {
      node.setPointerCapture(event.pointerId);
      this.keyboard.press(code, true, { character, key });
    });
    for (const type of ['pointerup', 'pointercancel', 'lostpointercapture']) node.addEventListener(type, release);
    return node;
  }

  control(label, action) {
    const node = button(label, 'kalmo-key-control');
    node.addEventListener('click', action);
    this.row.append(node);
    return node;
  }

  setArmed(on) {
    this.armRightClick(on);
    this.showArmed(on);
  }

  showArmed(on) {
    this.armed = on;
    this.rightClick.setAttribute('aria-pressed', String(on));
  }

  destroy() {
    this.picture.removeEventListener('pointerdown', this.onPictureTap, true);
    this.deviceKeyboard.destroy();
    this.row.remove();
  }
}
