// Where the Linux build keeps the host and the test cores, and fresh
// directories for a host run. The Makefile builds them before the web tests.
import { existsSync, readFileSync, mkdtempSync, mkdirSync, rmSync, writeFileSync, chmodSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

export const repo = fileURLToPath(new URL('../../../../', import.meta.url));
const build = join(repo, 'build/linux');
export const HOST = join(build, 'kalmo-host');
export const DEMO_CORE = join(build, 'demo/demo_core.so');
export const PROBE_CORE = join(build, 'tests/cores/probe_core.so');
export const NOT_A_CORE = join(build, 'tests/cores/not_a_core.so');
export const DEMO_CONTENT = join(repo, 'demo/demo_content.txt');
export const SCENARIOS = join(repo, 'tests/cores/scenarios');

for (const path of [HOST, DEMO_CORE, PROBE_CORE, NOT_A_CORE]) {
  if (!existsSync(path)) throw new Error(`${path} is missing: build it first (make linux)`);
}

// A temporary root with the four directories the host takes; `cleanup()`
// removes it. `file(name, text, mode)` writes a file inside it.
export function runDirectories() {
  const root = mkdtempSync(join(tmpdir(), 'kalmo-web-'));
  const dirs = {};
  for (const name of ['systemDir', 'saveDir', 'assetsDir', 'playlistDir']) {
    dirs[name] = join(root, name);
    mkdirSync(dirs[name]);
  }
  return {
    root,
    dirs,
    file(name, text, mode = 0o644) {
      const path = join(root, name);
      writeFileSync(path, text);
      chmodSync(path, mode);
      return path;
    },
    cleanup() { rmSync(root, { recursive: true, force: true }); },
  };
}

// True while a process with this id runs. A zombie counts as ended: when
// its parent was killed, nobody here may reap it.
export function processAlive(pid) {
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) !== 'Z';
  } catch {
    return false;
  }
}

export async function waitFor(condition, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

// A probe scenario reading input in every run: it registers the keyboard
// callback, reads the mouse after each poll, waits in run 3 until the
// parent has written something, and runs until QUIT, so lines sent one by
// one all arrive however the host happens to read them.
export const INPUT_SCENARIO = '[init]\nkeyboard_callback\n[every_frame]\npoll\nquery_mouse\nvideo 0 2 2\n'
  + '[frame 3]\nwait_stdin 10000\npoll\nquery_mouse\n';
