// kalmo-play --lan run by Windows node (Wine) with the Windows host, on
// loopback: it makes its certificate in the user's own data folder
// (%LOCALAPPDATA%\kalmo-play, which Wine keeps inside the prefix), serves
// the page and a playing WSS session with it, and keeps it for the next run.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { X509Certificate } from 'node:crypto';
import { readFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { userInfo } from 'node:os';
import { waitFor } from '../browser/support/browser_harness.js';
import { Page, get, origin } from '../node/support/bridge_client.js';
import { DEMO_CONTENT, DEMO_DLL, HOST_EXE, linuxPath, missingReason, repo, runWindowsNode, startWine, hostProcesses, windowsPath } from './support/wine.js';

const skip = missingReason();
if (skip) console.log(`Windows LAN mode tests skipped: ${skip}`);

// Wine gives the Windows user the Unix user's name.
const DATA = `C:\\users\\${userInfo().username}\\AppData\\Local\\kalmo-play`;
const removeData = () => rmSync(linuxPath(DATA), { recursive: true, force: true });
before(() => {
  if (skip) return;
  startWine();
  removeData();
});
after(() => {
  if (!skip) removeData();
});

// kalmo-play --lan under Windows node, without --data; resolves once it
// printed its fingerprint, with what it said.
async function startLanPlay() {
  const play = runWindowsNode(join(repo, 'web/bin/kalmo-play.js'), ['--lan', '--bind', '127.0.0.1', '--port', '0',
    '--core', windowsPath(DEMO_DLL), '--content', windowsPath(DEMO_CONTENT), '--host', windowsPath(HOST_EXE)]);
  const said = await waitFor(() => {
    if (play.child.exitCode !== null) throw new Error(`kalmo-play ended:\n${play.output()}`);
    const output = play.output();
    const url = output.match(/open (https:\/\/127\.0\.0\.1:\d+\/\?token=\S+)/)?.[1];
    const fingerprint = output.match(/certificate SHA-256 (\S+)/)?.[1];
    const certificate = output.match(/certificate[^:\n]*: ([A-Z]:\\\S+cert\.pem)/)?.[1];
    return url && fingerprint && certificate && { url: new URL(url), fingerprint, certificate, output };
  }, { timeout: 90000, what: 'kalmo-play --lan to print its URL and fingerprint' });
  return { ...play, ...said };
}

test('Windows kalmo-play --lan makes its certificate in the user\'s data folder, plays over WSS, and keeps it for the next run',
  { skip: skip ?? false, timeout: 300000 }, async () => {
    const first = await startLanPlay();
    try {
      assert.equal(first.certificate, `${DATA}\\tls\\cert.pem`);
      assert.match(first.output, /made a new certificate \(there was none\)/);
      const ca = readFileSync(linuxPath(first.certificate), 'utf8');
      assert.equal(new X509Certificate(ca).fingerprint256, first.fingerprint);

      const server = { port: Number(first.url.port), token: first.url.searchParams.get('token'), secure: true };
      const page = await get(`${origin(server)}/`, { ca });
      assert.equal(page.status, 200);
      assert.equal(page.peer.fingerprint256, first.fingerprint);
      const player = new Page(server, { ca });
      await player.opened();
      await waitFor(() => player.count('video') >= 2, { timeout: 60000, what: 'frames over WSS from the Windows host' });
      assert.equal(hostProcesses().length, 1);
      player.socket.send('QUIT');
      await player.closed;
      assert.equal(player.note('exit').code, 0);
    } finally {
      await first.kill();
    }
    await waitFor(() => hostProcesses().length === 0, { timeout: 15000, what: 'no host left' });

    const second = await startLanPlay();
    await second.kill();
    assert.match(second.output, /using the certificate made before/);
    assert.equal(second.fingerprint, first.fingerprint);
    assert.equal(second.certificate, first.certificate);
  });
