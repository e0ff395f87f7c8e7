// Host sessions of the web package under Windows node (Wine) against the
// Windows host: a normal run, exits 3 to 5, QUIT and its timeout, awkward
// paths reaching the core byte for byte, a host killed from outside, and
// video: 'latest' under a slow consumer. One driver runs every session.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { copyFileSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { exitMeaning } from '../../lib/exit_meaning.js';
import { runDirectories } from '../node/support/build.js';
import { probePixelWord, waitFor } from '../browser/support/browser_harness.js';
import {
  DEMO_CONTENT, DEMO_DLL, HOST_EXE, NOT_A_CORE_DLL, PROBE_DLL, QUIET_SCENARIO, SCENARIOS, hostProcesses, missingReason,
  startDriver, startWine, windowsDirectories, windowsPath,
} from './support/wine.js';

const skip = missingReason();
if (skip) console.log(`Windows session tests skipped: ${skip}`);
const windowsTest = (name, fn) => test(name, { skip: skip ?? false, timeout: 60000 }, fn);

let driver;
let sessions = 0;
before(async () => {
  if (skip) return;
  startWine();
  driver = await startDriver();
  const ready = await driver.next(undefined, 'ready', 60000);
  assert.equal(ready.platform, 'win32', 'the sessions run in Windows node');
});
after(() => driver?.kill());

// Starts a session on the Windows host; resolves with its id once started.
async function start(fields, extra = {}) {
  const id = ++sessions;
  driver.send({ op: 'start', id, options: { host: windowsPath(HOST_EXE), ...fields }, ...extra });
  await driver.next(id, 'started');
  return { id };
}

const exitOf = (id) => driver.next(id, 'exit');
const states = (id) => driver.events(id, 'status').map((status) => status.state);
const lines = (id) => driver.events(id, 'diagnostic').map((event) => event.line);

windowsTest('a normal run of the demo DLL reaches "stopped" with frames and sound, and QUIT ends it with 0', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const { id } = await start({ core: windowsPath(DEMO_DLL), content: windowsPath(DEMO_CONTENT), ...windowsDirectories(run) });
  await waitFor(() => driver.events(id, 'video').length >= 3 && driver.events(id, 'audio').length >= 1,
    { timeout: 20000, what: 'frames and sound' });
  driver.send({ op: 'quit', id });
  const result = await exitOf(id);
  assert.deepEqual(states(id).slice(0, 2), ['stage', 'stage']);
  assert.ok(states(id).includes('running'));
  assert.equal(states(id).at(-1), 'stopped');
  const frame = driver.events(id, 'video')[0];
  assert.deepEqual([frame.width, frame.height], [320, 240]);
  assert.equal(driver.events(id, 'audio')[0].sampleRate, 48000);
  assert.match(lines(id)[0], /^HOST_BUILD=/);
  assert.ok(lines(id).every((line) => !/[\r\n]/.test(line)), 'lines come without CR LF');
  assert.deepEqual([result.code, result.signal, result.meaning, result.lastStatus, result.killed],
    [0, null, exitMeaning(0), 'stopped', null]);
});

windowsTest('exits 3, 4 and 5 come with their meanings, the error status and the line saying where', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const cases = [
    { code: 3, core: DEMO_CONTENT, content: DEMO_CONTENT, meaning: /does not load/, line: 'KALMO_STAGE=load-library' },
    { code: 4, core: NOT_A_CORE_DLL, content: DEMO_CONTENT, meaning: /entry points/, line: 'retro_run' },
    { code: 5, core: PROBE_DLL, content: join(SCENARIOS, 'refuse_content.scn'), meaning: /refused the content/,
      line: 'LOAD_CONTENT_RETURN=0' },
  ];
  for (const { code, core, content, meaning, line } of cases) {
    const { id } = await start({ core: windowsPath(core), content: windowsPath(content), ...windowsDirectories(run) });
    const result = await exitOf(id);
    assert.equal(result.code, code);
    assert.match(result.meaning, meaning);
    assert.equal(result.lastStatus, 'error', `exit ${code} says error first`);
    assert.ok(lines(id).includes(line), `exit ${code} shows ${line}`);
  }
});

windowsTest('a host that ignores QUIT is killed after the timeout, and the result says so', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  // The frame goes out inside the first run, so QUIT cannot come before the core sleeps.
  const stuck = run.file('stuck.scn', '[frame 1]\nvideo 0 4 4\nsleep 30000\n');
  const { id } = await start({ core: windowsPath(PROBE_DLL), content: windowsPath(stuck), ...windowsDirectories(run) });
  await driver.next(id, 'video');
  const asked = Date.now();
  driver.send({ op: 'quit', id, timeoutMs: 1000 });
  const result = await exitOf(id);
  const waited = Date.now() - asked;
  // Node times from its loop's cached clock, which lags under load and lets a
  // timer fire some milliseconds early: only a kill well before the timeout is a fault.
  assert.ok(waited >= 500, `killed ${waited} ms after QUIT, before its timeout`);
  assert.equal(result.killed, 'QUIT went unanswered for 1000 ms');
  assert.match(result.meaning, /parent killed the host: QUIT went unanswered/);
  await waitFor(() => hostProcesses().length === 0, { timeout: 10000, what: 'the killed host to be gone' });
});

windowsTest("paths with spaces, quotes, %PATH%, ^, &, é, 日本 and a trailing backslash reach the core byte for byte", async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const awkward = (what) => `${what} it's %PATH% ^x & é 日本`;
  const folder = (what) => {
    const path = join(run.root, awkward(what));
    mkdirSync(path);
    return path;
  };
  const core = join(folder('core'), `${awkward('probe')}.dll`);
  copyFileSync(PROBE_DLL, core);
  const record = join(run.root, 'probe.rec');
  const scenario = readFileSync(join(SCENARIOS, 'paths_utf8.scn'), 'utf8').replace('record probe.rec', `record ${windowsPath(record)}`);
  const content = join(folder('content'), `${awkward('game')}.scn`);
  writeFileSync(content, scenario);
  // Each directory ends in a backslash, which a naive quoting would turn into an escaped quote.
  const dirs = Object.fromEntries(['systemDir', 'saveDir', 'assetsDir', 'playlistDir']
    .map((name) => [name, `${windowsPath(folder(name))}\\`]));
  const { id } = await start({ core: windowsPath(core), content: windowsPath(content), ...dirs });
  const result = await exitOf(id);
  assert.equal(result.code, 0, result.meaning);
  assert.ok(lines(id).includes(`path=${windowsPath(content)}`), 'the content path comes back whole');
  const recorded = readFileSync(record).toString('utf8').split('\n');
  const expected = [[9, dirs.systemDir], [31, dirs.saveDir], [30, dirs.assetsDir], [19, windowsPath(core)],
    [79, dirs.playlistDir]].map(([code, path]) => `env cmd=${code} ret=1 value=${path}`);
  for (const line of expected) assert.ok(recorded.includes(line), `the record lacks: ${line}\n${recorded.join('\n')}`);
});

windowsTest('a host killed from outside ends its session, which does not call that a normal end', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const game = run.file('quiet.scn', QUIET_SCENARIO);
  const { id } = await start({ core: windowsPath(PROBE_DLL), content: windowsPath(game), ...windowsDirectories(run) });
  await driver.next(id, 'video');
  const [pid] = hostProcesses();
  process.kill(pid, 'SIGKILL');
  const result = await exitOf(id);
  assert.equal(result.killed, null);
  assert.notEqual(result.lastStatus, 'stopped');
  assert.match(result.meaning, /without the host's "stopped" message|ended by signal|never uses/, `code ${result.code}`);
});

windowsTest("video: 'latest' under a slow consumer hands out the newest frame each time and counts the replaced ones", async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const frames = run.file('frames.scn', '[load_game]\npixel_format 1\n[every_frame]\nvideo 1 8 8\naudio 4\n');
  const { id } = await start({ core: windowsPath(PROBE_DLL), content: windowsPath(frames), video: 'latest',
    ...windowsDirectories(run) }, { takeAfterMs: 50 });
  await waitFor(() => {
    const taken = driver.events(id, 'taken');
    return taken.length >= 3 && taken.at(-1).droppedVideo > 0;
  }, { timeout: 30000, what: 'three frames taken with some replaced' });
  driver.send({ op: 'quit', id });
  const result = await exitOf(id);
  assert.equal(result.code, 0);
  assert.equal(driver.events(id, 'video').length, 0, "no 'video' events in latest mode");
  const taken = driver.events(id, 'taken');
  // The probe draws run n's pattern into frame n, and every run sends one.
  for (const frame of taken) {
    assert.equal(frame.word, probePixelWord(0, 0, frame.videoFrames) & 0xffffff,
      `the frame taken after ${frame.videoFrames} arrived is the newest`);
  }
  const held = result.videoFrames - taken.length - result.droppedVideo;
  assert.ok(held === 0 || held === 1, `each frame is taken, replaced or still held (${JSON.stringify(result)})`);
});
