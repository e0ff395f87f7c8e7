// Part of the release smoke test (smoke_test.sh): run from a project into
// which the packed kalmo-host-client tarball was installed, it imports the
// package by its name as a front-end would, checks the installed version,
// makes a LAN-mode certificate and QR code (so the dependencies kalmo-play
// --lan loads were installed with it), and runs one startHost session on
// the demo core: at least one frame, a QUIT after a second, exit code 0.
//
//   node npm_smoke.mjs VERSION HOST CORE CONTENT SYSTEM SAVE ASSETS PLAYLISTS
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startHost } from 'kalmo-host-client';
import { keptCertificate } from 'kalmo-host-client/lib/certificate.js';
import { terminalQrCode } from 'kalmo-host-client/lib/terminal_qr.js';

const [version, host, core, content, systemDir, saveDir, assetsDir, playlistDir] = process.argv.slice(2);
const fail = (text) => {
  console.error(`npm smoke test: ${text}`);
  process.exit(1);
};

// The package exports no package.json; this script is copied into the project.
const manifest = new URL('./node_modules/kalmo-host-client/package.json', import.meta.url);
const installed = JSON.parse(readFileSync(manifest, 'utf8')).version;
if (installed !== version) fail(`the installed package says version ${installed}, not ${version}`);

const certificateFolder = mkdtempSync(join(tmpdir(), 'kalmo-smoke-'));
try {
  const made = await keptCertificate({ dataDir: certificateFolder, names: ['localhost'], addresses: ['127.0.0.1'] });
  if (!made.made || !/^([0-9A-F]{2}:){31}[0-9A-F]{2}$/.test(made.fingerprint)) fail('no LAN certificate was made');
  if (!(await terminalQrCode('https://127.0.0.1/')).includes('▄')) fail('no QR code was drawn');
} finally {
  rmSync(certificateFolder, { recursive: true, force: true });
}
console.log('npm smoke test: the LAN mode made its certificate and QR code');

const session = startHost({ host, core, content, systemDir, saveDir, assetsDir, playlistDir });
let frames = 0;
let quitTimer = null;
const giveUp = setTimeout(() => {
  session.kill('the smoke test timed out');
  fail('no exit within 20 s');
}, 20000);
session.on('video', () => {
  frames += 1;
  if (frames === 1) quitTimer = setTimeout(() => session.quit(), 1000);
});
session.on('exit', (result) => {
  clearTimeout(giveUp);
  clearTimeout(quitTimer);
  if (frames === 0) fail(`the session ended before any frame: ${JSON.stringify(result)}`);
  if (result.code !== 0) fail(`the host exited with ${JSON.stringify(result)}`);
  console.log(`npm smoke test: startHost ran the host: ${frames} frames, exit code 0`);
});
