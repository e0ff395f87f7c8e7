// What the Windows tests share: the Windows build and the pinned Windows
// node.exe, one Wine prefix of their own (so ending its wineserver ends
// nobody else's programs), Linux paths written as Wine's Z: paths, the
// Windows host processes seen from /proc, and the session driver run by
// node.exe, spoken to in JSON lines over TCP.
import { spawn, spawnSync } from 'node:child_process';
import { closeSync, existsSync, mkdirSync, openSync, readFileSync, readdirSync } from 'node:fs';
import { createServer } from 'node:net';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';
import { temporaryDirectory, waitFor } from '../../browser/support/browser_harness.js';

export const repo = fileURLToPath(new URL('../../../../', import.meta.url));
const windowsBuild = join(repo, 'build/windows');
export const HOST_EXE = join(windowsBuild, 'kalmo-host.exe');
export const DEMO_DLL = join(windowsBuild, 'demo/demo_core.dll');
export const PROBE_DLL = join(windowsBuild, 'tests/cores/probe_core.dll');
export const NOT_A_CORE_DLL = join(windowsBuild, 'tests/cores/not_a_core.dll');
export const DEMO_CONTENT = join(repo, 'demo/demo_content.txt');
export const SCENARIOS = join(repo, 'tests/cores/scenarios');
const NODE_EXE = join(repo, 'build/windows-node/node.exe');
const PREFIX = join(repo, 'build/windows-node/prefix');
const DRIVER = join(repo, 'web/test/windows/support/session_driver.js');

// A probe game that sends a 4x4 frame 30 times a second and nothing else:
// a running host that leaves the loaded machine's cores to the test.
export const QUIET_SCENARIO = 'av 4 4 1 30 48000\n[every_frame]\nvideo 0 4 4\n';

const onPath = (program) => (process.env.PATH ?? '').split(':').some((dir) => dir && existsSync(join(dir, program)));

// Why the group cannot run here, or null. A missing node.exe is not a
// reason: the setup installs it, so its absence fails the tests instead.
export function missingReason() {
  if (!onPath('wine') || !onPath('wineserver')) return 'wine is not installed (no wine or wineserver on PATH)';
  const missing = [HOST_EXE, DEMO_DLL, PROBE_DLL, NOT_A_CORE_DLL].filter((path) => !existsSync(path));
  if (missing.length) return `the Windows build lacks ${missing.join(', ')} (make windows)`;
  return null;
}

const wineEnv = () => ({ ...process.env, WINEPREFIX: PREFIX, WINEDEBUG: '-all', NODE_SKIP_PLATFORM_CHECK: '1' });

// Starts the group's wineserver unless it is up, and then brings the prefix
// up (about 20 s the first time, 3 s after). Both get no pipes of ours: the
// server and the services wineboot starts outlive them and would hold our
// pipes open forever. The server stays a minute after its last client;
// stopWine() ends it at the end of the group.
export function startWine() {
  if (!existsSync(NODE_EXE)) throw new Error(`${NODE_EXE} is missing: run bash tools/windows_node.sh`);
  mkdirSync(PREFIX, { recursive: true });
  const server = spawnSync('wineserver', ['-p60'], { env: wineEnv(), stdio: 'ignore' });
  if (server.status === 2) return;
  if (server.status !== 0) throw new Error(`wineserver did not start (status ${server.status})`);
  const boot = spawnSync('wineboot', ['-i'], { env: wineEnv(), stdio: 'ignore', timeout: 120000 });
  if (boot.status !== 0) throw new Error(`wineboot -i failed (status ${boot.status})`);
}

export function stopWine() {
  if (onPath('wineserver')) spawnSync('wineserver', ['-k'], { env: wineEnv(), stdio: 'ignore' });
}

export const windowsPath = (path) => `Z:${path.replaceAll('/', '\\')}`;

// Where a Windows path of this prefix's C: or Z: drive lies on Linux.
export function linuxPath(path) {
  const [, drive, rest] = path.match(/^([CZ]):\\(.*)$/i) ?? [];
  if (!drive) throw new Error(`${path} is on no drive of this prefix`);
  const root = drive.toUpperCase() === 'C' ? join(PREFIX, 'drive_c') : '/';
  return join(root, ...rest.split('\\'));
}

// A run's four directories (test/node/support/build.js) as Windows paths.
export function windowsDirectories(run) {
  return Object.fromEntries(Object.entries(run.dirs).map(([name, path]) => [name, windowsPath(path)]));
}

// Runs the Windows node.exe on a script with the given arguments. Its
// standard output and error go to files (as pipes or sockets made here they
// fail with EBADF under Wine); output() reads them.
export function runWindowsNode(script, args = []) {
  const dir = temporaryDirectory('windows-node');
  const [out, err] = ['stdout.txt', 'stderr.txt'].map((name) => openSync(join(dir, name), 'w'));
  const child = spawn('wine', [NODE_EXE, windowsPath(script), ...args], { env: wineEnv(), stdio: ['ignore', out, err] });
  closeSync(out);
  closeSync(err);
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  return {
    child,
    exited,
    output: () => ['stdout.txt', 'stderr.txt'].map((name) => {
      try { return readFileSync(join(dir, name), 'utf8'); } catch { return ''; }
    }).join(''),
    async kill(signal = 'SIGKILL') {
      if (child.exitCode === null && child.signalCode === null) child.kill(signal);
      return exited;
    },
  };
}

// The Linux process ids of this prefix's live kalmo-host.exe processes.
export function hostProcesses() {
  const found = [];
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = readFileSync(`/proc/${entry}/stat`, 'utf8');
      if (stat.slice(stat.lastIndexOf(')') + 2)[0] === 'Z') continue;
      if (!readFileSync(`/proc/${entry}/cmdline`, 'latin1').split('\0')[0].endsWith('kalmo-host.exe')) continue;
      if (!readFileSync(`/proc/${entry}/environ`, 'latin1').split('\0').includes(`WINEPREFIX=${PREFIX}`)) continue;
      found.push(Number(entry));
    } catch {
      // The process ended while we looked.
    }
  }
  return found;
}

// The session driver under Windows node, on a TCP connection of ours:
// send() writes a command, next() waits for an event matching a filter
// (events already seen count), events() lists what a session said so far.
export async function startDriver() {
  const server = createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const node = runWindowsNode(DRIVER, [String(server.address().port)]);
  const connection = await Promise.race([
    new Promise((resolve) => server.once('connection', resolve)),
    node.exited.then(() => { throw new Error(`the driver ended before connecting:\n${node.output()}`); }),
  ]);
  server.close();
  const seen = [];
  // A driver killed mid-write resets the connection; what it said before stays in `seen`.
  createInterface({ input: connection }).on('line', (line) => seen.push(JSON.parse(line))).on('error', () => {});
  return {
    ...node,
    send(command) { connection.write(`${JSON.stringify(command)}\n`); },
    events(id, event) { return seen.filter((e) => e.id === id && (!event || e.event === event)); },
    next(id, event, timeoutMs = 20000, match = () => true) {
      return waitFor(() => seen.find((e) => e.id === id && e.event === event && match(e)),
        { timeout: timeoutMs, interval: 25, what: `${event} from session ${id}` }).catch((error) => {
        throw new Error(`${error.message}; the driver said:\n${node.output()}`);
      });
    },
  };
}
