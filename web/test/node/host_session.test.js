// Sessions against the real Linux host: a normal run, every exit code, QUIT
// and its timeout, kills from either side, input reaching the core, the
// latest-frame mode, a broken stream, and a parent killed with SIGKILL.
import { test as nodeTest } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { startHost } from '../../lib/host_session.js';
import { exitMeaning } from '../../lib/exit_meaning.js';
import { CommandError } from '../../lib/commands.js';
import {
  DEMO_CONTENT, DEMO_CORE, HOST, INPUT_SCENARIO, NOT_A_CORE, PROBE_CORE, SCENARIOS, processAlive, runDirectories,
  waitFor,
} from './support/build.js';

// A hung host must fail its test, not stall the run.
const test = (name, fn) => nodeTest(name, { timeout: 20000 }, fn);

function session(run, fields) {
  return startHost({ host: HOST, ...run.dirs, ...fields });
}

function recorded(fn) {
  const seen = { statuses: [], frames: [], audio: [], diagnostics: [] };
  fn.on('status', (p) => seen.statuses.push(p.state));
  fn.on('video', (p) => seen.frames.push(p));
  fn.on('audio', (p) => seen.audio.push(p));
  fn.on('diagnostic', (line) => seen.diagnostics.push(line));
  return seen;
}

test('a normal run of the demo core: stages, frames, sound, diagnostics, then QUIT ends it with 0', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const host = session(run, { core: DEMO_CORE, content: DEMO_CONTENT });
  const seen = recorded(host);
  await waitFor(() => seen.frames.length >= 3 && seen.audio.length >= 1, 5000, 'three frames');
  const result = await host.quit();
  assert.deepEqual(seen.statuses.slice(0, 2), ['stage', 'stage']);
  assert.ok(seen.statuses.includes('running'));
  assert.equal(seen.statuses.at(-1), 'stopped');
  assert.equal(seen.frames[0].width, 320);
  assert.equal(seen.frames[0].rgba.length, 320 * 240 * 4);
  assert.equal(seen.audio[0].sampleRate, 48000);
  assert.match(seen.diagnostics[0], /^HOST_BUILD=/);
  assert.ok(seen.diagnostics.every((line) => !/[\r\n]/.test(line)), 'lines come without CR LF');
  assert.deepEqual({ ...result, lastStatus: result.lastStatus.state },
    { code: 0, signal: null, meaning: exitMeaning(0), lastStatus: 'stopped', killed: null, streamError: null });
  assert.equal(host.running, false);
  assert.equal(host.mouse({ dx: 1 }), false, 'no input after the end');
});

test('each exit code of the host is reported with its meaning and the last status', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const fewerPaths = run.file('three_paths.sh', `#!/bin/sh\nexec "${HOST}" "$1" "$2" "$3"\n`, 0o755);
  const cases = [
    { code: 2, fields: { host: fewerPaths, core: DEMO_CORE, content: DEMO_CONTENT }, meaning: /bad arguments/ },
    { code: 3, fields: { core: DEMO_CONTENT, content: DEMO_CONTENT }, meaning: /does not load/, line: 'KALMO_STAGE=load-library' },
    { code: 4, fields: { core: NOT_A_CORE, content: DEMO_CONTENT }, meaning: /entry points/, line: 'retro_run' },
    { code: 5, fields: { core: PROBE_CORE, content: join(SCENARIOS, 'refuse_content.scn') }, meaning: /refused the content/,
      line: 'LOAD_CONTENT_RETURN=0' },
  ];
  for (const { code, fields, meaning, line } of cases) {
    const host = session(run, fields);
    const seen = recorded(host);
    const result = await host.exited;
    assert.equal(result.code, code);
    assert.match(result.meaning, meaning);
    assert.equal(result.lastStatus.state, 'error', `exit ${code} says error first`);
    if (line) assert.ok(seen.diagnostics.includes(line), `exit ${code} shows ${line}`);
  }
});

test('a host that ignores QUIT is killed after the timeout, and the result says so', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  // The frame goes out just before the core hangs, so QUIT cannot be read before the hang.
  const stuck = run.file('stuck.scn', '[frame 1]\nvideo 0 2 2\nsleep 20000\n');
  const host = session(run, { core: PROBE_CORE, content: stuck });
  await new Promise((resolve) => host.once('video', resolve));
  const started = Date.now();
  const result = await host.quit({ timeoutMs: 300 });
  assert.ok(Date.now() - started >= 290);
  assert.equal(result.signal, 'SIGKILL');
  assert.equal(result.killed, 'QUIT went unanswered for 300 ms');
  assert.match(result.meaning, /parent killed the host: QUIT went unanswered/);
  assert.equal(processAlive(host.pid), false);
});

test('a host killed from outside or by kill() is reported as such', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const outside = session(run, { core: DEMO_CORE, content: DEMO_CONTENT });
  await new Promise((resolve) => outside.once('video', resolve));
  process.kill(outside.pid, 'SIGTERM');
  const ended = await outside.exited;
  assert.deepEqual([ended.code, ended.signal, ended.killed], [null, 'SIGTERM', null]);
  assert.equal(ended.meaning, 'the host was ended by signal SIGTERM');
  const killed = session(run, { core: DEMO_CORE, content: DEMO_CONTENT });
  await new Promise((resolve) => killed.once('video', resolve));
  const result = await killed.kill();
  assert.deepEqual([result.signal, result.killed], ['SIGKILL', 'the parent called kill()']);
});

test('an exit 0 without the "stopped" message is not called the game ending, as Wine reports a host killed from outside', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const silent = run.file('silent.sh', '#!/bin/sh\nexit 0\n', 0o755);
  const result = await startHost({ host: silent, core: 'a', content: 'b', ...run.dirs }).exited;
  assert.equal(result.code, 0);
  assert.match(result.meaning, /^exit code 0 without the host's "stopped" message/);
});

test('keys, mouse, reset and commands reach the core as checked lines; bad values are refused before writing', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const scenario = run.file('keys.scn', `record probe.rec\n${INPUT_SCENARIO}`);
  const host = session(run, { core: PROBE_CORE, content: scenario });
  const recordPath = join(run.dirs.saveDir, 'probe.rec');
  let frames = 0;
  host.on('video', async () => {
    if (++frames !== 3) return;
    assert.throws(() => host.key({ code: 97, down: 1, character: '97\nQUIT' }), CommandError);
    assert.throws(() => host.command('K 97 1 97 0\nQUIT'), CommandError);
    host.key({ code: 97, down: true, character: 97, modifiers: 1 });
    host.command('K 98 0 66 0');
    host.mouse({ dx: 5, dy: -3, buttons: 1, x: 1, y: 1, inside: true });
    // Lines read together with QUIT meet no further poll, so the motion must be seen first.
    await waitFor(() => / x=5 y=-3 /.test(readFileSync(recordPath, 'utf8')), 15000, 'the mouse line at the core');
    host.reset();
    host.quit();
  });
  const result = await host.exited;
  assert.equal(result.code, 0);
  const record = readFileSync(recordPath, 'utf8');
  assert.deepEqual(record.match(/^keyboard .*$/gm).map((line) => line.replace(/ frame=\d+ in_run=\d/, '')),
    ['keyboard down=1 keycode=97 character=97 modifiers=1', 'keyboard down=0 keycode=98 character=66 modifiers=0']);
  assert.match(record, /^mouse frame=\d+ x=5 y=-3 left=1 right=0 /m);
  assert.match(record, /^call reset /m);
});

test("video: 'latest' keeps only the newest untaken frame and counts the rest; sound and status are all kept", async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const burst = run.file('burst.scn', '[every_frame]\nvideo 0 4 4\naudio 3\n[frame 200]\nshutdown\n');
  const host = session(run, { core: PROBE_CORE, content: burst, video: 'latest' });
  let ready = 0;
  let audioFrames = 0;
  host.on('videoready', () => ready++);
  host.on('audio', (p) => { audioFrames += p.frames; });
  host.on('video', () => assert.fail('no video events in latest mode'));
  const result = await host.exited;
  assert.equal(result.code, 0);
  assert.equal(result.lastStatus.state, 'stopped');
  const { videoFrames, droppedVideo } = host.stats;
  assert.ok(videoFrames >= 199, `frames: ${videoFrames}`);
  assert.equal(droppedVideo, videoFrames - 1);
  assert.equal(ready, 1);
  assert.equal(audioFrames, videoFrames * 3);
  assert.equal(host.takeVideo().width, 4);
  assert.equal(host.takeVideo(), null);
});

test('a broken packet stream is reported and its host killed', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const garbage = run.file('garbage.sh', "#!/bin/sh\nprintf 'KLMP\\011\\000\\000\\000\\000'\nexec sleep 30\n", 0o755);
  const host = startHost({ host: garbage, core: 'x', content: 'y', ...run.dirs });
  let reported = null;
  host.on('streamerror', (error) => { reported = error; });
  const result = await host.exited;
  assert.match(reported.message, /unknown packet type 9 \(at byte 4 of the stream\)/);
  assert.equal(result.signal, 'SIGKILL');
  assert.match(result.killed, /its packet stream broke/);
  assert.equal(result.streamError, reported.message);
});

test('startHost refuses missing paths and a host that does not exist, before spawning anything', () => {
  assert.throws(() => startHost({ host: HOST, core: DEMO_CORE }), /needs content/);
  assert.throws(() => startHost({ host: HOST, core: 'a\0b', content: 'c', systemDir: 'd', saveDir: 'e',
    assetsDir: 'f', playlistDir: 'g' }), /NUL/);
  assert.throws(() => startHost({ host: '/nonexistent/kalmo-host', core: 'a', content: 'b', systemDir: 'c',
    saveDir: 'd', assetsDir: 'e', playlistDir: 'f' }), /does not exist/);
  assert.throws(() => startHost({ host: HOST, video: 'some' }), /needs core|video must/);
});

test('the environment reaches the host, and a parent killed with SIGKILL leaves no host behind', async (t) => {
  const run = runDirectories();
  t.after(run.cleanup);
  const showEnv = run.file('show_env.sh', `#!/bin/sh\necho "SEEN=$KALMO_WEB_TEST" >&2\nexec "${HOST}" "$@"\n`, 0o755);
  const parentScript = run.file('parent.mjs', `
    import { startHost } from ${JSON.stringify(new URL('../../lib/host_session.js', import.meta.url).href)};
    const host = startHost(${JSON.stringify({ host: showEnv, core: DEMO_CORE, content: DEMO_CONTENT, ...run.dirs })});
    host.on('diagnostic', (line) => line.startsWith('SEEN=') && console.log(line));
    host.once('video', () => console.log('PID=' + host.pid));
  `);
  const parent = spawn(process.execPath, [parentScript], {
    stdio: ['ignore', 'pipe', 'inherit'], env: { ...process.env, KALMO_WEB_TEST: 'from the front-end' },
  });
  let output = '';
  parent.stdout.on('data', (text) => { output += text; });
  await waitFor(() => /PID=\d+/.test(output), 5000, 'the host to run');
  const pid = Number(output.match(/PID=(\d+)/)[1]);
  assert.match(output, /SEEN=from the front-end/);
  assert.ok(processAlive(pid));
  parent.kill('SIGKILL');
  await waitFor(() => !processAlive(pid), 3000, 'the orphaned host to die');
});

test('codes the host never uses are called what they are', () => {
  assert.match(exitMeaning(1, null), /exit code 1, which it never uses/);
  assert.equal(exitMeaning(3221225477, null), 'the host crashed with an access violation (0xC0000005)');
  assert.equal(exitMeaning(-1073741819, null), 'the host crashed with an access violation (0xC0000005)');
  assert.equal(exitMeaning(null, 'SIGSEGV'), 'the host was ended by signal SIGSEGV');
});
