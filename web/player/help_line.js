// The player's one line of help, for the input in use: touch gestures, the
// gamepad's buttons, or the mouse (by its pointer mode) and the keys. On a
// large player it sits under the picture; on a small one the style lays it
// over the picture's foot, and it shows only for a while after each change
// (class kalmo-shown), so it never takes room from the picture.

const HELP_SHOWN_MS = 6000;

const MOUSE_HELP = {
  follow: 'The game\'s cursor follows the pointer; Esc goes to the game · Alt+Enter fullscreen · F9 statistics',
  captured: 'Click the picture to capture the mouse; Esc releases it · Alt+Enter fullscreen · F9 statistics',
};

const HELP = {
  touch: 'Tap to click there · drag to move the cursor · hold ½ s or tap with two fingers to right click · ' +
    'drag two fingers to scroll',
  gamepad: 'Stick or d-pad moves · A click · B right click · X Esc · Y Space · Start menu · Back Enter · ' +
    'shoulders wheel',
};

// The kind of input to speak of before any was used: what the device's main pointer suggests.
export function likelyInput() {
  return typeof matchMedia === 'function' && matchMedia('(pointer: coarse)').matches ? 'touch' : 'mouse';
}

export function helpText(kind, pointerMode) {
  return HELP[kind] ?? MOUSE_HELP[pointerMode] ?? MOUSE_HELP.captured;
}

export class HelpLine {
  constructor(element) {
    this.element = element;
  }

  show(text) {
    this.element.textContent = text;
    this.reveal();
  }

  reveal() {
    this.element.classList.add('kalmo-shown');
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.element.classList.remove('kalmo-shown'), HELP_SHOWN_MS);
  }

  destroy() {
    clearTimeout(this.timer);
  }
}
