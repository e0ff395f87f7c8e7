// The one place that validates and writes the host's command lines. Both
// the host session (values from the parent's code) and the bridge (text
// from a web page) go through here, so nothing reaches the host's input but
// the four line shapes below with every field an integer in its range; no
// line feed or other text can be smuggled in.
//
// Lines are returned without their line feed; the session adds it.
//
//   M dx dy buttons wheel x y inside
//   K code down character modifiers
//   RESET
//   QUIT
//
// A page may also send WHOLE_FRAME: its tile decoder lost its place and
// needs the picture whole. That line is the bridge's, never the host's: it
// resends the last frame whole at most once per frame the host makes, so a
// page sending it in a loop costs the bridge no more than one more whole
// frame per frame.

// Relative motion and the pointer are bounded by what a Libretro input
// query can return (16 bits signed); buttons are left 1, right 2, middle 4.
export const COMMAND_LIMITS = Object.freeze({
  dx: [-32767, 32767],
  dy: [-32767, 32767],
  buttons: [0, 7],
  wheel: [-32767, 32767],
  x: [-32767, 32767],
  y: [-32767, 32767],
  inside: [0, 1],
  code: [0, 511],
  down: [0, 1],
  character: [0, 0x10ffff],
  modifiers: [0, 0x7f],
});

// A page's line is short; anything longer is not one of ours.
export const MAX_COMMAND_LINE = 128;

const MOUSE_FIELDS = ['dx', 'dy', 'buttons', 'wheel', 'x', 'y', 'inside'];
const KEY_FIELDS = ['code', 'down', 'character', 'modifiers'];
const REQUIRED_KEY_FIELDS = new Set(['code', 'down']);

export class CommandError extends Error {
  constructor(message) {
    super(message);
    this.name = 'CommandError';
  }
}

function checkedField(name, value) {
  if (typeof value === 'boolean') value = value ? 1 : 0;
  if (typeof value !== 'number' || !Number.isInteger(value)) {
    throw new CommandError(`${name} must be an integer, not ${describe(value)}`);
  }
  const [low, high] = COMMAND_LIMITS[name];
  if (value < low || value > high) throw new CommandError(`${name} ${value} is outside ${low}..${high}`);
  // -0 would print as 0 anyway; normalising keeps the line canonical.
  return value === 0 ? 0 : value;
}

function describe(value) {
  if (typeof value === 'string') return `the text ${JSON.stringify(value.slice(0, 20))}`;
  return String(value);
}

function fieldsLine(letter, names, values, required) {
  if (values === null || typeof values !== 'object') throw new CommandError(`${letter} line needs an object of fields`);
  const numbers = names.map((name) => {
    if (values[name] === undefined) {
      if (required.has(name)) throw new CommandError(`${name} is missing`);
      return 0;
    }
    return checkedField(name, values[name]);
  });
  return `${letter} ${numbers.join(' ')}`;
}

// Absent fields read 0: a move without buttons, a pointer at the origin.
export function mouseLine(fields) {
  return fieldsLine('M', MOUSE_FIELDS, fields, new Set());
}

// `code` and `down` are required; character and modifiers default to 0.
export function keyLine(fields) {
  return fieldsLine('K', KEY_FIELDS, fields, REQUIRED_KEY_FIELDS);
}

const INTEGER = /^-?[0-9]{1,10}$/;

export const WHOLE_FRAME_REQUEST = 'WHOLE_FRAME';

function withoutTerminator(text) {
  return text.endsWith('\r\n') ? text.slice(0, -2) : text.endsWith('\n') ? text.slice(0, -1) : text;
}

// Checks a message a page sent to the bridge: WHOLE_FRAME_REQUEST (kept by
// the bridge) or a command line for the host, as parseCommandLine returns it.
export function parsePageMessage(text) {
  if (typeof text === 'string' && withoutTerminator(text) === WHOLE_FRAME_REQUEST) {
    return WHOLE_FRAME_REQUEST;
  }
  return parseCommandLine(text);
}

// Checks a line a page sent (one trailing LF or CR LF allowed) and returns
// it re-serialised from its parsed fields; throws a CommandError naming the
// reason for anything else.
export function parseCommandLine(text) {
  if (typeof text !== 'string') throw new CommandError('a command is a text line');
  if (text.length > MAX_COMMAND_LINE) throw new CommandError(`line longer than ${MAX_COMMAND_LINE} characters`);
  const line = withoutTerminator(text);
  if (line === 'QUIT' || line === 'RESET') return line;
  const parts = line.split(' ');
  const names = parts[0] === 'M' ? MOUSE_FIELDS : parts[0] === 'K' ? KEY_FIELDS : null;
  if (!names) throw new CommandError(`unknown command ${JSON.stringify(line.slice(0, 20))}`);
  if (parts.length !== names.length + 1) {
    throw new CommandError(`${parts[0]} line needs ${names.length} fields separated by single spaces`);
  }
  const fields = {};
  names.forEach((name, i) => {
    const part = parts[i + 1];
    if (!INTEGER.test(part)) throw new CommandError(`${name} is not a decimal integer: ${JSON.stringify(part.slice(0, 20))}`);
    fields[name] = Number(part);
  });
  return parts[0] === 'M' ? mouseLine(fields) : keyLine(fields);
}
