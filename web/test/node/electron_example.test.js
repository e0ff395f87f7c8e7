// The Electron example's main process, run under plain Node with a stand-in
// for Electron (support/fake_electron.js): its window's page gets the host's
// packets through the port, its keys reach the core, and closing the window
// ends the host cleanly before the app leaves.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { INPUT_SCENARIO, PROBE_CORE, repo, runDirectories, waitFor } from './support/build.js';

const EXAMPLE = join(repo, 'web/examples/electron');
const LOADER = new URL('./support/fake_electron_loader.js', import.meta.url).pathname;

test('the example plays through its port, and a closed window QUITs the host before the app quits', { timeout: 60000 }, async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const scenario = run.file('keys.scn', `record probe.rec\n${INPUT_SCENARIO}`);
  const child = spawn(process.execPath, ['--import', LOADER, join(EXAMPLE, 'main.js'), PROBE_CORE, scenario], {
    env: { ...process.env, FAKE_ELECTRON_USER_DATA: run.root }, stdio: ['ignore', 'pipe', 'pipe'],
  });
  t.after(() => child.kill('SIGKILL'));
  const reports = [];
  let errors = '';
  let pending = '';
  child.stdout.setEncoding('utf8').on('data', (text) => {
    const lines = (pending + text).split('\n');
    pending = lines.pop();
    reports.push(...lines.map((line) => JSON.parse(line)));
  });
  child.stderr.setEncoding('utf8').on('data', (text) => { errors += text; });
  const exited = new Promise((resolve) => child.on('exit', resolve));

  await waitFor(() => reports.length > 0 || child.exitCode !== null, 30000, `the page's frames (stderr: ${errors})`);
  const page = reports[0];
  const preloadChannel = readFileSync(join(EXAMPLE, 'preload.cjs'), 'utf8').match(/ipcRenderer\.on\('([^']+)'/)[1];
  assert.deepEqual({ ...page, notes: page.notes.includes('diagnostic') },
    { page: 'frames', channel: preloadChannel, frames: 2, unwhole: 0, notes: true });
  const record = join(run.root, 'saves', 'probe.rec');
  await waitFor(() => /^keyboard /m.test(readFileSync(record, 'utf8')), 10000, 'the key to reach the core');
  child.kill('SIGUSR2');
  assert.equal(await exited, 0, errors);
  assert.deepEqual(reports.at(-1), { app: 'quit' });
  assert.match(readFileSync(record, 'utf8'), /^keyboard .*down=1 keycode=97 character=97/m);
  assert.match(readFileSync(record, 'utf8'), /^call deinit$/m, 'the host ended cleanly before the app left');
});
