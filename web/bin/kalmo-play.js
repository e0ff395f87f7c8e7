#!/usr/bin/env node
// kalmo-play: plays one game in the browser. Starts the bridge server on
// loopback, prints the page's URL (with its token), and runs one host per
// page for the core and content given here. Ctrl-C or SIGTERM quits every
// host (killing those still running two seconds later) before exiting.
import { parseArgs } from 'node:util';
import { accessSync, constants, statSync } from 'node:fs';
import { homedir } from 'node:os';
import { join, resolve } from 'node:path';
import { createBridgeServer } from '../lib/bridge_server.js';
import { defaultHostPath } from '../lib/host_session.js';

const USAGE = `usage: kalmo-play --core PATH --content PATH [--host PATH] [--port N] [--data DIR]
                  [--bind ADDRESS] [--sessions N]

  --core PATH      the Libretro core library to run
  --content PATH   the game handed to the core
  --host PATH      the kalmo-host program (default: this checkout's build)
  --port N         TCP port (default: any free one)
  --data DIR       system, saves, assets and playlists folders (default: ~/.kalmo-play)
  --bind ADDRESS   listen address (default 127.0.0.1; anything else exposes the host to the network)
  --sessions N     pages that may play at once (default 1)`;

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
        port: { type: 'string', default: '0' }, data: { type: 'string' }, bind: { type: 'string', default: '127.0.0.1' },
        sessions: { type: 'string', default: '1' }, help: { type: 'boolean', short: 'h' },
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
  return {
    core: resolve(values.core), content: resolve(values.content), host: resolve(host), port, maxSessions: sessions,
    dataDir: resolve(values.data ?? join(homedir(), '.kalmo-play')), bind: values.bind,
  };
}

const options = readOptions();
const server = createBridgeServer(options);
let url;
try {
  url = await server.listen();
} catch (error) {
  fail(`cannot listen on ${options.bind}:${options.port}: ${error.message}`);
}
if (!['127.0.0.1', 'localhost', '::1'].includes(options.bind)) {
  process.stderr.write(`kalmo-play: listening on ${options.bind}: other machines can reach this bridge\n`);
}
process.stdout.write(`kalmo-play: open ${url}\n`);

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
