// The names and addresses this machine answers to, as the bridge needs them:
// the set a Host or Origin header must name, the entries of the certificate,
// and the URLs printed for the user. Every host text is compared in the form
// the WHATWG URL parser gives it (lowercase names, shortest IPv6, dotted
// IPv4), which is also the form browsers send.
import { hostname, networkInterfaces } from 'node:os';
import { isIP } from 'node:net';

const WILDCARDS = new Set(['0.0.0.0', '::']);

export function isWildcard(bind) {
  return WILDCARDS.has(bind);
}

// IPv4-mapped IPv6 (::ffff:a.b.c.d, as a dual-stack socket reports IPv4
// peers) becomes plain IPv4.
export function plainAddress(address) {
  return (address ?? '').replace(/^::ffff:(?=\d+\.\d+\.\d+\.\d+$)/i, '');
}

export function isLoopback(address) {
  const plain = plainAddress(address);
  return plain === '::1' || /^127\.\d+\.\d+\.\d+$/.test(plain);
}

// Link-local IPv6 needs a zone in a URL, which browsers do not accept.
const usable = (entry) => !(entry.family === 'IPv6' && /^fe[89ab]/i.test(entry.address));

// The machine's addresses other than loopback, IPv4 first; only IPv4 when
// the bridge listens on 0.0.0.0, only the bound one when it names one.
export function networkAddresses(bind = '::') {
  if (!isWildcard(bind)) return isLoopback(bind) ? [] : [plainAddress(bind)];
  const found = Object.values(networkInterfaces()).flat()
    .filter((entry) => entry && !entry.internal && usable(entry) && (bind === '::' || entry.family === 'IPv4'));
  found.sort((a, b) => (a.family === b.family ? 0 : a.family === 'IPv4' ? -1 : 1));
  return [...new Set(found.map((entry) => entry.address))];
}

// The machine's own name, and its mDNS form, which phones resolve on a home
// network without any DNS server; extra names the user gave come after.
export function machineNames(extraNames = []) {
  const name = hostname().toLowerCase();
  const names = name && !name.includes('.') ? [name, `${name}.local`] : [name];
  return [...new Set([...names.filter(Boolean), ...extraNames.map((extra) => extra.toLowerCase())])];
}

// `host` as it stands in a URL: IPv6 in brackets.
export function urlHost(host) {
  return isIP(host) === 6 ? `[${host}]` : host;
}

// The URL parser's form of a host (name or address), or null when it is
// not one.
export function canonicalHost(host) {
  try {
    const url = new URL(`http://${urlHost(host)}/`);
    return url.hostname;
  } catch {
    return null;
  }
}

// Every host a request may name: loopback, the machine's names and all its
// addresses (bound to one address, that one and loopback).
export function acceptedHosts({ bind, extraNames = [] }) {
  const hosts = ['127.0.0.1', '::1', 'localhost', ...machineNames(extraNames), ...networkAddresses(bind)];
  if (!isWildcard(bind)) hosts.push(bind);
  return new Set(hosts.map(canonicalHost).filter(Boolean));
}

// The page's URLs with the token, the first one for the QR code. Over HTTPS
// one per network address and name (loopback when there is none); over
// plain HTTP the loopback one alone, as no other device is let in.
export function pageUrls({ secure, bind, port, token, extraNames = [] }) {
  let hosts;
  if (!secure) hosts = [isWildcard(bind) ? '127.0.0.1' : bind];
  else hosts = [...networkAddresses(bind), ...(isWildcard(bind) ? machineNames(extraNames) : [])];
  if (!hosts.length) hosts = ['127.0.0.1'];
  return hosts.map((host) => `${secure ? 'https' : 'http'}://${urlHost(host)}:${port}/?token=${token}`);
}

// What a certificate for this bridge must name.
export function certificateSubjects({ bind, extraNames = [] }) {
  return {
    names: ['localhost', ...machineNames(extraNames)],
    addresses: ['127.0.0.1', '::1', ...networkAddresses(bind)],
  };
}
