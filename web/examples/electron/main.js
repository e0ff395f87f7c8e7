// @ts-check
// An Electron front-end for the KALMO host: the main process starts the host
// and pairs it with one end of a message channel; the window's player gets
// the other end. No server, no token: the port is the only way in.
//   npm install && npx electron . CORE CONTENT
import { app, BrowserWindow, MessageChannelMain } from 'electron';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { connectPort, startHost } from 'kalmo-host-client';

const [core, content] = process.argv.slice(-2);

/** @param {string} name */
function folder(name) {
  const path = join(app.getPath('userData'), name);
  mkdirSync(path, { recursive: true });
  return path;
}

app.whenReady().then(() => {
  const window = new BrowserWindow({ width: 960, height: 760, webPreferences: { preload: join(app.getAppPath(), 'preload.cjs') } });
  const host = startHost({ core, content, systemDir: folder('system'), saveDir: folder('saves'),
                           assetsDir: folder('assets'), playlistDir: folder('playlists'), video: 'latest' });
  const { port1, port2 } = new MessageChannelMain();
  connectPort(host, port1);
  window.webContents.once('did-finish-load', () => window.webContents.postMessage('kalmo-port', null, [port2]));
  // A file page is not cross-origin isolated, so the player plays its sound
  // without the shared ring; serve the page through a protocol.handle()
  // scheme with COOP/COEP headers to give it one.
  window.loadFile('index.html');
  // Leave once the game has had its QUIT and ended (killed after 3 s).
  app.on('window-all-closed', () => host.quit().then(() => app.quit()));
});
