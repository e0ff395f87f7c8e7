// Electron as far as examples/electron/main.js uses it, so that main process
// runs under plain Node in a test: MessageChannelMain over worker_threads'
// channel with MessagePortMain's shape (message events carrying `data`,
// nothing delivered before start(), ports-only transfer lists), and one
// window whose page takes the port it is sent. The page reports on stdout as
// JSON lines and sends a key after its second frame; SIGUSR2 closes the
// window.
import { EventEmitter } from 'node:events';
import { existsSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { MessageChannel } from 'node:worker_threads';
import { PacketParser } from '../../../lib/packet_parser.js';

const report = (fields) => process.stdout.write(`${JSON.stringify(fields)}\n`);
const innerPorts = new WeakMap();

// The worker_threads port under a MessagePortMain, for a test playing the page.
export const nodePort = (port) => innerPorts.get(port);

class MessagePortMain extends EventEmitter {
  constructor(port) {
    super();
    innerPorts.set(this, port);
    port.on('close', () => this.emit('close'));
  }

  start() {
    innerPorts.get(this).on('message', (data) => this.emit('message', { data, ports: [] }));
  }

  postMessage(message, transfer) {
    if (transfer?.some((item) => !(item instanceof MessagePortMain))) throw new TypeError('Passed an invalid MessagePort');
    innerPorts.get(this).postMessage(message);
  }

  close() { innerPorts.get(this).close(); }
}

export class MessageChannelMain {
  constructor() {
    const { port1, port2 } = new MessageChannel();
    this.port1 = new MessagePortMain(port1);
    this.port2 = new MessagePortMain(port2);
  }
}

export const app = new EventEmitter();
app.whenReady = () => Promise.resolve();
app.getPath = (name) => {
  if (name !== 'userData') throw new Error(`no path ${name} in this stand-in`);
  return process.env.FAKE_ELECTRON_USER_DATA;
};
app.getAppPath = () => dirname(process.argv[1]);
app.quit = () => {
  report({ app: 'quit' });
  process.exit(0);
};

// The page: counts the whole packets and notes its port brings.
function play(port, channel) {
  const seen = { channel, frames: 0, unwhole: 0, notes: [] };
  port.on('message', (value) => {
    if (!(value instanceof ArrayBuffer)) {
      seen.notes.push(value.bridge);
      return;
    }
    const parser = new PacketParser();
    const packets = parser.push(new Uint8Array(value));
    if (packets.length !== 1 || parser.pending) seen.unwhole++;
    if (packets[0]?.type !== 'video' || ++seen.frames !== 2) return;
    report({ page: 'frames', ...seen });
    port.postMessage('K 97 1 97 0');
  });
  process.once('SIGUSR2', () => {
    port.close();
    setImmediate(() => app.emit('window-all-closed'));
  });
}

export class BrowserWindow {
  constructor({ webPreferences }) {
    if (!existsSync(webPreferences.preload)) throw new Error(`no preload at ${webPreferences.preload}`);
    this.webContents = new EventEmitter();
    this.webContents.postMessage = (channel, message, transfer) => play(nodePort(transfer[0]), channel);
  }

  loadFile(file) {
    const path = join(app.getAppPath(), file);
    if (!existsSync(path)) throw new Error(`no page at ${path}`);
    setImmediate(() => this.webContents.emit('did-finish-load'));
    return Promise.resolve();
  }
}
