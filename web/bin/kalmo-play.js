#!/usr/bin/env node
// kalmo-play: plays one game in the browser. Starts the bridge server on
// loopback (or, with --lan, over HTTPS on the machine's network addresses),
// prints the page's URLs (with the token), and runs one host per page for
// the core and content given here. Ctrl-C or SIGTERM quits every host
// (killing those still running two seconds later) before exiting.
import { parseArgs } from 'node:util';
import { accessSync, constants, statSync } from 'node:fs';
import { homedir } from 'node:os';
import { join, resolve } from 'node:path';
import { createBridgeServer } from '../lib/bridge_server.js';
import { defaultHostPath } from '../lib/host_session.js';
import { plainBindRefusal } from '../lib/admission.js';
import { certificateSubjects } from '../lib/network_addresses.js';

const USAGE = `usage: kalmo-play --core PATH --content PATH [--host PATH] [--port N] [--data DIR]
                  [--sessions N] [--bind ADDRESS]
                  [--lan [--cert FILE --key FILE] [--name NAME]...]

  --core PATH      the Libretro core library to run
  --content PATH   the game handed to the core
  --host PATH      the kalmo-host program (default: this checkout's build)
  --port N         TCP port (default: any free one)
  --data DIR       system, saves, assets, playlists and the made certificate
                   (default: ~/.kalmo-play; on Windows %LOCALAPPDATA%\\kalmo-play)
  --sessions N     pages that may play at once (default 1)
  --bind ADDRESS   listen address (default 127.0.0.1; with --lan every address).
                   Without --lan only this computer may play: plain HTTP is no
                   secure context on another device (no sound, no stream worker)
  --lan            play from a phone, tablet or TV on the home network: HTTPS
                   and WSS on every address, one URL each, a QR code of the first
  --cert FILE      with --lan: serve this certificate (PEM) instead of one made
  --key FILE       with --lan: its private key (PEM)
  --name NAME      with --lan: another name this machine is reached by (its
                   DNS name on the router, say); accepted and certified`;

function fail(message) {
  process.stderr.write(`kalmo-play: ${message}\n${USAGE}\n`);
  process.exit(2);
}

function readOptions() {
  let values;
  try {
    ({ values } = parseArgs({
      options: {
        core: { type: 'string' }, content: { type: 'string' }, host: { type: 'string' },
        port: { type: 'string', default: '0' }, data: { type: 'string' }, bind: { type: 'string' },
        sessions: { type: 'string', default: '1' }, help: { type: 'boolean', short: 'h' },
        lan: { type: 'boolean' }, cert: { type: 'string' }, key: { type: 'string' },
        name: { type: 'string', multiple: true, default: [] },
      },
    }));
  } catch (error) {
    fail(error.message);
  }
  if (values.help) {
    process.stdout.write(`${USAGE}\n`);
    process.exit(0);
  }
  if (!values.core || !values.content) fail('--core and --content are required');
  for (const name of ['core', 'content']) {
    try {
      if (!statSync(values[name]).isFile()) fail(`--${name} ${values[name]} is not a file`);
    } catch {
      fail(`--${name} ${values[name]} does not exist`);
    }
  }
  const host = values.host ?? defaultHostPath();
  try {
    accessSync(host, constants.X_OK);
  } catch {
    fail(`the host ${host} does not exist or is not executable (build it with make linux, or pass --host)`);
  }
  const port = Number(values.port);
  const sessions = Number(values.sessions);
  if (!Number.isInteger(port) || port < 0 || port > 65535) fail(`--port ${values.port} is not a port number`);
  if (!Number.isInteger(sessions) || sessions < 1) fail(`--sessions ${values.sessions} is not a positive number`);
  if (!values.lan && (values.cert || values.key || values.name.length)) fail('--cert, --key and --name go with --lan');
  if (Boolean(values.cert) !== Boolean(values.key)) fail('--cert and --key go together');
  const bind = values.bind ?? (values.lan ? '::' : '127.0.0.1');
  const refusal = values.lan ? null : plainBindRefusal(bind);
  if (refusal) fail(refusal);
  return {
    core: resolve(values.core), content: resolve(values.content), host: resolve(host), port, maxSessions: sessions,
    dataDir: resolve(values.data ?? defaultDataDir()), bind, lan: values.lan, names: values.name,
    certFile: values.cert && resolve(values.cert), keyFile: values.key && resolve(values.key),
  };
}

// The user's own data folder: a dot folder at home on POSIX, the local
// application data (never roamed to other machines) on Windows.
function defaultDataDir() {
  if (process.platform === 'win32' && process.env.LOCALAPPDATA) return join(process.env.LOCALAPPDATA, 'kalmo-play');
  return join(homedir(), '.kalmo-play');
}

// The certificate and QR code libraries load only with --lan: plain runs
// start as fast as before on a busy machine.
async function certificateFor(options) {
  const { keptCertificate, loadCertificate } = await import('../lib/certificate.js');
  const subjects = certificateSubjects({ bind: options.bind, extraNames: options.names });
  const warn = (line) => process.stderr.write(`kalmo-play: warning: ${line}\n`);
  try {
    if (options.certFile) return loadCertificate({ certFile: options.certFile, keyFile: options.keyFile, ...subjects, warn });
    const kept = await keptCertificate({ dataDir: options.dataDir, ...subjects });
    const said = kept.made ? `made a new certificate (${kept.reason})` : 'using the certificate made before';
    process.stderr.write(`kalmo-play: ${said}: ${kept.certFile}\n`);
    return kept;
  } catch (error) {
    return fail(`no certificate: ${error.message}`);
  }
}

const options = readOptions();
const certificate = options.lan ? await certificateFor(options) : null;
const server = createBridgeServer({ ...options, tls: certificate && { cert: certificate.cert, key: certificate.key } });

// Ready before anything is printed: a parent that stops us on seeing the URL
// must find the handlers in place.
let stopping = false;
function stop(signal) {
  if (stopping) {
    process.stderr.write(`kalmo-play: ${signal} again, stopping now\n`);
    process.exit(1);
  }
  stopping = true;
  process.stderr.write(`kalmo-play: ${signal}: quitting the hosts\n`);
  server.close().then(() => process.exit(0));
}
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, () => stop(signal));

try {
  await server.listen();
} catch (error) {
  fail(`cannot listen on ${options.bind}:${options.port}: ${error.message}`);
}
if (options.lan) {
  for (const url of server.urls) process.stdout.write(`kalmo-play: open ${url}\n`);
  process.stdout.write(`kalmo-play: certificate SHA-256 ${certificate.fingerprint}\n`);
  const { terminalQrCode } = await import('../lib/terminal_qr.js');
  process.stdout.write(`${await terminalQrCode(server.url)}\n`);
} else {
  if (options.bind !== '127.0.0.1' && options.bind !== '::1' && options.bind !== 'localhost') {
    process.stderr.write(`kalmo-play: listening on ${options.bind} over plain HTTP: other devices are told to use `
      + 'kalmo-play --lan instead\n');
  }
  process.stdout.write(`kalmo-play: open ${server.url}\n`);
}
