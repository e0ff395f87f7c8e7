// Another device on the home network, for the LAN tests: as root, a network
// namespace standing for a phone, joined to this machine by a veth pair whose
// /30 exists only on that pair, both ends limited by a token bucket (so both
// directions are), and a Chromium executable that runs inside the namespace
// (a two-line wrapper script, given to playwright-core). Every name carries
// this process's id; what a run made is removed when it ends, also on a
// failure or a signal, and what an earlier run that was killed left behind is
// removed at the next start. Where a namespace cannot be made, `makePhone`
// says why, and the tests reach loopback by a name that is not local instead
// (`resolverPhone`).

import { execFileSync } from 'node:child_process';
import { chmodSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { temporaryDirectory } from './browser_harness.js';

const PREFIX = 'kalmo-phone-';
const CHROMIUM = process.env.CHROMIUM ?? '/usr/bin/chromium';
// Third octets tried for the pair's 10.213.N.0/30, in case another run holds the first.
const SUBNETS = [7, 8, 9, 10];
const COMMAND_MS = 10000;
// The name the loopback stand-in gives this machine; .test is reserved, so it never resolves elsewhere.
export const RESOLVER_NAME = 'kalmo-lan.test';

function ip(...args) {
  return execFileSync('ip', args, { encoding: 'utf8', timeout: COMMAND_MS, stdio: ['ignore', 'pipe', 'pipe'] });
}

const quietly = (action) => {
  try {
    action();
  } catch {
    // Already gone.
  }
};

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (error) {
    return error.code === 'EPERM';
  }
}

// Namespaces of runs whose process has ended (killed before it could clean up); their veth ends go with them.
function removeLeftovers() {
  const names = ip('netns', 'list').split('\n').map((line) => line.split(' ')[0]);
  for (const name of names) {
    const pid = Number(name.startsWith(PREFIX) ? name.slice(PREFIX.length) : NaN);
    if (!Number.isInteger(pid) || alive(pid)) continue;
    quietly(() => ip('link', 'del', `kp${pid}m`));
    quietly(() => ip('netns', 'del', name));
  }
}

function freeSubnet() {
  const used = ip('-4', '-o', 'addr', 'show');
  const octet = SUBNETS.find((n) => !used.includes(` 10.213.${n}.`));
  if (octet === undefined) throw new Error('every test subnet 10.213.7-10.0/30 is in use');
  return { machine: `10.213.${octet}.1`, phone: `10.213.${octet}.2` };
}

const cleanups = new Set();
function runCleanups() {
  for (const cleanup of cleanups) cleanup();
  cleanups.clear();
}
process.on('exit', runCleanups);
for (const [signal, number] of [['SIGINT', 2], ['SIGTERM', 15], ['SIGHUP', 1]]) {
  process.once(signal, () => {
    runCleanups();
    process.exit(128 + number);
  });
}

// { kind: 'namespace', machineAddress, phoneAddress, executablePath, extraArgs, remove() }, or
// { unavailable: reason } when this machine cannot make one (not root, no ip, no namespaces).
export function makePhone({ rate = '20mbit' } = {}) {
  if (process.getuid?.() !== 0) return { unavailable: 'network namespaces need root' };
  // To run the stand-in's path where namespaces work too.
  if (process.env.KALMO_LAN_RESOLVER === '1') return { unavailable: 'KALMO_LAN_RESOLVER=1 asked for the stand-in' };
  const namespace = `${PREFIX}${process.pid}`;
  const machineEnd = `kp${process.pid}m`;
  const phoneEnd = `kp${process.pid}p`;
  const remove = () => {
    quietly(() => ip('link', 'del', machineEnd));
    quietly(() => ip('netns', 'del', namespace));
  };
  try {
    removeLeftovers();
    const { machine, phone } = freeSubnet();
    cleanups.add(remove);
    ip('netns', 'add', namespace);
    ip('link', 'add', machineEnd, 'type', 'veth', 'peer', 'name', phoneEnd);
    ip('link', 'set', phoneEnd, 'netns', namespace);
    const inside = (...args) => ip('netns', 'exec', namespace, ...args);
    // No IPv6 on the link: its addresses would appear a second or two after the link comes up, and Chromium
    // aborts the page's loads on such a change (ERR_NETWORK_CHANGED).
    writeFileSync(`/proc/sys/net/ipv6/conf/${machineEnd}/disable_ipv6`, '1');
    inside('sh', '-c', `echo 1 > /proc/sys/net/ipv6/conf/${phoneEnd}/disable_ipv6`);
    ip('addr', 'add', `${machine}/30`, 'dev', machineEnd);
    ip('link', 'set', machineEnd, 'up');
    inside('ip', 'addr', 'add', `${phone}/30`, 'dev', phoneEnd);
    inside('ip', 'link', 'set', phoneEnd, 'up');
    inside('ip', 'link', 'set', 'lo', 'up');
    waitForCarrier(() => ip('-o', 'link', 'show', machineEnd) + inside('ip', '-o', 'link', 'show', phoneEnd));
    const bucket = ['root', 'tbf', 'rate', rate, 'burst', '64kb', 'latency', '100ms'];
    execFileSync('tc', ['qdisc', 'add', 'dev', machineEnd, ...bucket], { timeout: COMMAND_MS, stdio: 'ignore' });
    inside('tc', 'qdisc', 'add', 'dev', phoneEnd, ...bucket);
    const dir = temporaryDirectory('phone');
    const executablePath = join(dir, 'chromium-in-phone');
    writeFileSync(executablePath, `#!/bin/sh\nexec ip netns exec ${namespace} ${CHROMIUM} "$@"\n`);
    chmodSync(executablePath, 0o755);
    return {
      kind: 'namespace', machineAddress: machine, phoneAddress: phone, executablePath, extraArgs: [], rate,
      remove() {
        remove();
        cleanups.delete(remove);
      },
    };
  } catch (error) {
    remove();
    cleanups.delete(remove);
    return { unavailable: `a network namespace could not be made: ${String(error.stderr || error.message).trim()}` };
  }
}

// Both ends report their carrier before Chromium starts, which would take the carrier's arrival for a network
// change too. Bounded: the veth pair's carrier comes within milliseconds.
function waitForCarrier(show) {
  for (let attempt = 0; attempt < 100; attempt++) {
    if ((show().match(/LOWER_UP/g) ?? []).length === 2) return;
    execFileSync('sleep', ['0.05']);
  }
  throw new Error('the link between the machine and the phone did not come up within 5 s');
}

// The stand-in without namespaces: Chromium reaches 127.0.0.1 under RESOLVER_NAME, a name that is not local
// to it, so the page is judged as any page from another machine's name would be. No rate limit on the link.
export function resolverPhone() {
  return {
    kind: 'resolver', machineAddress: '127.0.0.1', machineName: RESOLVER_NAME, phoneAddress: '127.0.0.1',
    executablePath: CHROMIUM, extraArgs: [`--host-resolver-rules=MAP ${RESOLVER_NAME} 127.0.0.1`], rate: null,
    remove() {},
  };
}
