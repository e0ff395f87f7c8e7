// One running host, seen from Node: spawns it with its six paths and three
// pipes, turns its output into events, writes checked command lines to it,
// and makes sure it never outlives this process.
//
// Events: 'status', 'video', 'audio' (parsed packets), 'diagnostic' (one
// stderr line, as text), 'videoready' (video: 'latest' only), 'streamerror'
// (the packet stream broke; the host is then killed) and 'exit' once, with
// { code, signal, meaning, lastStatus, killed, streamError }.
//
// Tying the host to this process, however it dies: on Linux it is started
// through util-linux `setpriv --pdeathsig KILL`, so the kernel kills it with
// the thread that spawned it (a host started from a worker thread ends with
// that worker). On Windows, Node (and Electron's main process, which spawns
// the same way) puts every child spawned without `detached` in its
// kill-on-close job object, so the host ends when this process does, killed
// from outside included; never spawn it detached. Everywhere, live hosts are
// also killed when this process exits normally or on an uncaught exception.
import { spawn } from 'node:child_process';
import { accessSync, constants } from 'node:fs';
import { EventEmitter } from 'node:events';
import { fileURLToPath } from 'node:url';
import { PacketParser, PacketStreamError } from './packet_parser.js';
import { exitMeaning } from './exit_meaning.js';
import { keyLine, mouseLine, parseCommandLine } from './commands.js';

const PATH_OPTIONS = ['core', 'content', 'systemDir', 'saveDir', 'assetsDir', 'playlistDir'];
const DEFAULT_QUIT_TIMEOUT_MS = 3000;
// A core printing without line ends must not grow one line without bound.
const MAX_DIAGNOSTIC_LINE = 65536;
// Something the core started may hold the pipes open after the host exits;
// the exit is reported after this long even if they never close.
const PIPE_CLOSE_GRACE_MS = 1000;

const ZERO_WITHOUT_STOPPED = `exit code 0 without the host's "stopped" message (ended from outside, or not a kalmo-host)`;

const liveSessions = new Set();
let exitHookInstalled = false;

function killLiveSessionsOnExit() {
  if (exitHookInstalled) return;
  exitHookInstalled = true;
  process.on('exit', () => {
    for (const session of liveSessions) session.kill('the parent process exited');
  });
}

// The host this checkout builds: build/linux/kalmo-host, or the Windows
// build's kalmo-host.exe when running on Windows.
export function defaultHostPath() {
  const relative = process.platform === 'win32' ? '../../build/windows/kalmo-host.exe' : '../../build/linux/kalmo-host';
  return fileURLToPath(new URL(relative, import.meta.url));
}

function checkedPath(name, value) {
  if (typeof value !== 'string' || value.length === 0) throw new TypeError(`startHost needs ${name} as a non-empty path`);
  if (value.includes('\0')) throw new TypeError(`${name} contains a NUL character`);
  return value;
}

export function startHost(options) {
  return new HostSession(options);
}

export class HostSession extends EventEmitter {
  #child;
  #parser = new PacketParser();
  #videoMode;
  #heldFrame = null;
  #videoFrames = 0;
  #droppedVideo = 0;
  #lastStatus = null;
  #stderrText = '';
  #exitCode = null;
  #exitSignal = null;
  #killReason = null;
  #streamError = null;
  #quitTimer = null;
  #graceTimer = null;
  #result = null;
  #resolveExit;
  #exited = new Promise((resolve) => { this.#resolveExit = resolve; });

  constructor(options = {}) {
    super();
    const host = checkedPath('host', options.host ?? defaultHostPath());
    try {
      accessSync(host, constants.X_OK);
    } catch {
      throw new Error(`the host program ${host} does not exist or is not executable`);
    }
    const paths = PATH_OPTIONS.map((name) => checkedPath(name, options[name]));
    const video = options.video ?? 'all';
    if (video !== 'all' && video !== 'latest') throw new TypeError(`video must be 'all' or 'latest', not ${video}`);
    this.#videoMode = video;
    const [command, args] = process.platform === 'linux'
      ? ['setpriv', ['--pdeathsig', 'KILL', '--', host, ...paths]]
      : [host, paths];
    this.#child = spawn(command, args, {
      stdio: ['pipe', 'pipe', 'pipe'],
      env: options.env ?? process.env,
      windowsHide: true,
    });
    this.#wire();
    killLiveSessionsOnExit();
    liveSessions.add(this);
  }

  get pid() { return this.#child.pid; }
  get lastStatus() { return this.#lastStatus; }
  // Resolves once with the same result the 'exit' event carries.
  get exited() { return this.#exited; }
  get running() { return this.#result === null; }
  get stats() { return { videoFrames: this.#videoFrames, droppedVideo: this.#droppedVideo }; }
  // Bytes of command lines written but not yet taken by the host's pipe.
  get inputBacklog() { return this.#child.stdin.writableLength; }

  // video: 'latest' only: the newest frame not yet taken, or null.
  takeVideo() {
    const frame = this.#heldFrame;
    this.#heldFrame = null;
    return frame;
  }

  // Sends QUIT; if the host has not exited after timeoutMs it is killed and
  // the result's `killed` says so.
  quit({ timeoutMs = DEFAULT_QUIT_TIMEOUT_MS } = {}) {
    if (this.#result) return this.#exited;
    this.#write('QUIT');
    if (!this.#quitTimer) {
      this.#quitTimer = setTimeout(() => this.kill(`QUIT went unanswered for ${timeoutMs} ms`), timeoutMs);
    }
    return this.#exited;
  }

  reset() { return this.#write('RESET'); }
  mouse(fields) { return this.#write(mouseLine(fields)); }
  key(fields) { return this.#write(keyLine(fields)); }
  // A command line in the host's own syntax, checked like a page's.
  command(line) { return this.#write(parseCommandLine(line)); }

  kill(reason = 'the parent called kill()') {
    if (this.#result || this.#exitCode !== null || this.#exitSignal !== null) return this.#exited;
    this.#killReason ??= reason;
    this.#child.kill('SIGKILL');
    return this.#exited;
  }

  // False when the host can no longer take input.
  #write(line) {
    const input = this.#child.stdin;
    if (this.#result || !input.writable) return false;
    input.write(`${line}\n`);
    return true;
  }

  #wire() {
    const child = this.#child;
    // A host that exited makes writes fail with EPIPE; #write already
    // reports that through its return value.
    child.stdin.on('error', () => {});
    child.stdout.on('data', (chunk) => this.#readPackets(chunk));
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => this.#readDiagnostics(text));
    child.on('error', (error) => {
      if (child.pid === undefined) this.#finish(`the host could not be started: ${error.message}`);
    });
    child.on('exit', (code, signal) => {
      this.#exitCode = code;
      this.#exitSignal = signal;
      this.#graceTimer = setTimeout(() => this.#finish(), PIPE_CLOSE_GRACE_MS);
    });
    child.on('close', () => this.#finish());
  }

  #readPackets(chunk) {
    if (this.#streamError) return;
    let packets;
    try {
      packets = this.#parser.push(chunk);
    } catch (error) {
      if (!(error instanceof PacketStreamError)) throw error;
      this.#streamError = error;
      error.packets.forEach((packet) => this.#deliver(packet));
      this.emit('streamerror', error);
      this.kill(`its packet stream broke: ${error.message}`);
      return;
    }
    for (const packet of packets) this.#deliver(packet);
  }

  #deliver(packet) {
    if (packet.type === 'status') {
      this.#lastStatus = packet;
      this.emit('status', packet);
    } else if (packet.type === 'audio') {
      this.emit('audio', packet);
    } else {
      this.#videoFrames++;
      if (this.#videoMode === 'all') {
        this.emit('video', packet);
        return;
      }
      const waiting = this.#heldFrame !== null;
      if (waiting) this.#droppedVideo++;
      this.#heldFrame = packet;
      if (!waiting) this.emit('videoready');
    }
  }

  #readDiagnostics(text) {
    this.#stderrText += text;
    let end;
    while ((end = this.#stderrText.indexOf('\n')) >= 0) {
      const line = this.#stderrText.slice(0, end);
      this.#stderrText = this.#stderrText.slice(end + 1);
      this.emit('diagnostic', line.endsWith('\r') ? line.slice(0, -1) : line);
    }
    if (this.#stderrText.length > MAX_DIAGNOSTIC_LINE) {
      this.emit('diagnostic', this.#stderrText);
      this.#stderrText = '';
    }
  }

  #finish(startError = null) {
    if (this.#result) return;
    clearTimeout(this.#quitTimer);
    clearTimeout(this.#graceTimer);
    liveSessions.delete(this);
    if (this.#stderrText) this.#readDiagnostics('\n');
    if (!this.#streamError && !startError) {
      try {
        this.#parser.end();
      } catch (error) {
        this.#streamError = error;
      }
    }
    const code = this.#exitCode;
    const signal = this.#exitSignal;
    let meaning = startError ?? exitMeaning(code, signal);
    // The host says "stopped" before every exit 0 of its own; under Wine a
    // process killed from outside also reports 0.
    if (code === 0 && this.#lastStatus?.state !== 'stopped') meaning = ZERO_WITHOUT_STOPPED;
    if (this.#killReason) meaning = `the parent killed the host: ${this.#killReason}`;
    this.#result = {
      code,
      signal,
      meaning,
      lastStatus: this.#lastStatus,
      killed: this.#killReason,
      streamError: this.#streamError ? this.#streamError.message : null,
    };
    this.#resolveExit(this.#result);
    this.emit('exit', this.#result);
  }
}
