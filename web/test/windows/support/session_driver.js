// Runs under Windows node.exe (Wine) for the Linux-side tests: host
// sessions of the web package started, driven and reported on from JSON
// commands, one a line, over a TCP connection to the test's port (argument
// 2; under Wine this node's standard streams work only as files). Each
// event goes back as one JSON line tagged with its session's id.
import { connect } from 'node:net';
import { createInterface } from 'node:readline';
import { startHost } from '../../../index.js';

const test = connect(Number(process.argv[2]), '127.0.0.1');
const sessions = new Map();
const say = (message) => test.write(`${JSON.stringify(message)}\n`);
// The first pixel as the probe's pattern word (its low three bytes).
const firstWord = ({ rgba }) => (rgba[0] << 16) | (rgba[1] << 8) | rgba[2];

function start({ id, options, takeAfterMs }) {
  let host;
  try {
    host = startHost(options);
  } catch (error) {
    // Reaches the test in the driver's output, shown when it waits in vain.
    console.error(`session ${id}: ${error.message}`);
    return;
  }
  sessions.set(id, host);
  say({ id, event: 'started' });
  host.on('status', ({ state, message }) => say({ id, event: 'status', state, message }));
  host.on('video', (frame) => say({ id, event: 'video', width: frame.width, height: frame.height, word: firstWord(frame) }));
  host.on('audio', ({ sampleRate, frames }) => say({ id, event: 'audio', sampleRate, frames }));
  host.on('diagnostic', (line) => say({ id, event: 'diagnostic', line }));
  host.on('exit', (result) => say({ id, event: 'exit', ...result, lastStatus: result.lastStatus?.state ?? null, ...host.stats }));
  // A consumer that needs takeAfterMs for each frame, as a window that
  // answers every frame it is sent: frames arriving meanwhile replace the held one.
  host.on('videoready', () => setTimeout(() => {
    const frame = host.takeVideo();
    if (frame) say({ id, event: 'taken', word: firstWord(frame), ...host.stats });
  }, takeAfterMs));
}

const commands = {
  start,
  quit: ({ id, timeoutMs }) => sessions.get(id).quit({ timeoutMs }),
  kill: ({ id }) => sessions.get(id).kill(),
  key: ({ id, fields }) => sessions.get(id).key(fields),
  command: ({ id, line }) => sessions.get(id).command(line),
  leave: () => process.exit(0),
};

// A test that went away leaves no driver behind.
test.on('close', () => process.exit(0));
createInterface({ input: test }).on('line', (line) => {
  const command = JSON.parse(line);
  commands[command.op](command);
});
say({ event: 'ready', platform: process.platform, version: process.version });
