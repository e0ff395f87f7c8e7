// What ends the Windows host when its Windows node parent goes: node.exe
// killed with SIGKILL (no exit handler runs) and node.exe leaving normally
// while the host still plays.
import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import { runDirectories } from '../node/support/build.js';
import { waitFor } from '../browser/support/browser_harness.js';
import {
  HOST_EXE, PROBE_DLL, QUIET_SCENARIO, hostProcesses, missingReason, startDriver, startWine, windowsDirectories,
  windowsPath,
} from './support/wine.js';

const skip = missingReason();
if (skip) console.log(`Windows parent-death tests skipped: ${skip}`);
const windowsTest = (name, fn) => test(name, { skip: skip ?? false, timeout: 60000 }, fn);

before(() => {
  if (!skip) startWine();
});

// A driver with one session that has sent a frame.
async function drivenHost(t) {
  const run = runDirectories();
  t.after(run.cleanup);
  const driver = await startDriver();
  t.after(() => driver.kill());
  const game = run.file('quiet.scn', QUIET_SCENARIO);
  driver.send({ op: 'start', id: 1, options: { host: windowsPath(HOST_EXE), core: windowsPath(PROBE_DLL),
    content: windowsPath(game), ...windowsDirectories(run) } });
  await driver.next(1, 'video', 30000);
  assert.equal(hostProcesses().length, 1, 'one host runs');
  return driver;
}

windowsTest('node.exe killed with SIGKILL takes its host with it', async (t) => {
  const driver = await drivenHost(t);
  const killed = Date.now();
  await driver.kill('SIGKILL');
  await waitFor(() => hostProcesses().length === 0, { timeout: 15000, what: 'the host to end with node.exe' });
  t.diagnostic(`the host ended ${Date.now() - killed} ms after node.exe was killed`);
});

windowsTest('node.exe leaving while its host plays ends the host', async (t) => {
  const driver = await drivenHost(t);
  driver.send({ op: 'leave' });
  assert.deepEqual(await driver.exited, { code: 0, signal: null });
  await waitFor(() => hostProcesses().length === 0, { timeout: 15000, what: 'the host to end with node.exe' });
});
