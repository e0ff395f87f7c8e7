// kalmo-play with --lan for the LAN tests and bench, started as a person
// would: what it printed (its https:// URLs, the certificate's SHA-256
// fingerprint), the certificate it keeps in its data folder, and the hash of
// that certificate's key that a browser is told to trust
// (--ignore-certificate-errors-spki-list), which trusts that one key and
// nothing else.

import { createHash, X509Certificate } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import tls from 'node:tls';
import { startPlay } from './browser_harness.js';
// A new certificate's key is made on first use; at a load of 40 that and Node's start take a minute.
const START_MS = 90000;

// The certificate kalmo-play keeps in its data folder (made there on first use): { path, pem }.
export function savedCertificate(dataDir) {
  const path = join(dataDir, 'tls', 'cert.pem');
  return { path, pem: readFileSync(path, 'utf8') };
}

// The base64 SHA-256 of the certificate's SubjectPublicKeyInfo, as Chromium's SPKI list takes it.
export function spkiHash(pem) {
  const der = new X509Certificate(pem).publicKey.export({ type: 'spki', format: 'der' });
  return createHash('sha256').update(der).digest('base64');
}

// The certificate a TLS server at host:port presents, trusting nothing (it is only read).
export function servedCertificate(host, port) {
  return new Promise((resolve, reject) => {
    const socket = tls.connect({ host, port, rejectUnauthorized: false }, () => {
      const certificate = socket.getPeerX509Certificate();
      socket.destroy();
      resolve(certificate);
    });
    socket.setTimeout(START_MS, () => socket.destroy(new Error('no TLS answer')));
    socket.on('error', reject);
  });
}

// What kalmo-play --lan printed: its https:// URLs and the certificate's fingerprint, or null before both.
function printedLan(output) {
  const urls = output.match(/https:\/\/[^\s/]+\/\?token=[^\s]+/g);
  const fingerprint = output.match(/([0-9A-F]{2}(?::[0-9A-F]{2}){31})/i);
  return urls && fingerprint ? { urls, fingerprint: fingerprint[1].toUpperCase() } : null;
}

// kalmo-play --lan with `args` added (e.g. --bind); `printed` resolves to { urls, fingerprint }.
export function startLanPlay({ core, content, data, args = [] }) {
  const play = startPlay({ core, content, data, args: ['--lan', ...args], printed: printedLan, timeout: START_MS });
  return Object.assign(play, {
    printed: play.url,
    // The printed URL on `address`.
    async urlOn(address) {
      const { urls } = await play.url;
      const url = urls.find((candidate) => new URL(candidate).hostname === address);
      if (!url) throw new Error(`kalmo-play printed no URL on ${address}: ${urls.join(' ')}`);
      return url;
    },
  });
}
