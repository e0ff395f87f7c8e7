// The certificate kalmo-play --lan serves: the user's own (--cert, --key),
// or one made here on first use and kept in the data folder.
//
// A made certificate is self-signed (ECDSA P-256, SHA-256), valid for a year
// and names loopback, the machine's names and all its network addresses. It
// is kept as tls/cert.pem and tls/key.pem and used again on later runs, so a
// phone that accepted it once need not be asked again. It is made anew when
// it has less than 30 days left, no longer covers every name and address
// (a new lease, another network), does not match its key, or its key file
// can be read by others (on POSIX: the key may have leaked). The key is
// written readable by the user alone (0600, in a 0700 folder); on Windows the
// data folder is in the user's own profile, which only the user can read.
import { X509Certificate, createPrivateKey } from 'node:crypto';
import { chmodSync, mkdirSync, readFileSync, renameSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import selfsigned from 'selfsigned';

const DAY_MS = 24 * 60 * 60 * 1000;
export const VALID_DAYS = 365;
export const RENEW_DAYS = 30;
const POSIX = process.platform !== 'win32';

// SHA-256 of the certificate as browsers show it: colon-separated hex.
export function fingerprint(certPem) {
  return new X509Certificate(certPem).fingerprint256;
}

// Names and addresses the certificate does not cover.
export function uncovered(certPem, { names, addresses }) {
  const cert = new X509Certificate(certPem);
  return [...names.filter((name) => !cert.checkHost(name, { subject: 'never' })),
    ...addresses.filter((address) => !cert.checkIP(address))];
}

// The user's own pair, checked to belong together. Problems that still let
// it serve (an expiry, a missing name) go to `warn`.
export function loadCertificate({ certFile, keyFile, names, addresses, now = Date.now(), warn = () => {} }) {
  const cert = readFileSync(certFile, 'utf8');
  const key = readFileSync(keyFile, 'utf8');
  const reason = staleReason(cert, key, { names, addresses, now, renewDays: 0 });
  if (/does not match/.test(reason ?? '')) throw new Error(`${keyFile} is not the key of ${certFile}`);
  if (reason) warn(`${certFile}: ${reason}`);
  return { cert, key, fingerprint: fingerprint(cert) };
}

// The kept certificate when it still serves, else a new one. `made` says
// which, `reason` why a new one was made.
export async function keptCertificate({ dataDir, names, addresses, now = Date.now() }) {
  const folder = join(dataDir, 'tls');
  const certFile = join(folder, 'cert.pem');
  const keyFile = join(folder, 'key.pem');
  let reason = 'there was none';
  try {
    const cert = readFileSync(certFile, 'utf8');
    const key = readFileSync(keyFile, 'utf8');
    reason = (POSIX && (statSync(keyFile).mode & 0o077) ? 'its key file could be read by others' : null)
      ?? staleReason(cert, key, { names, addresses, now, renewDays: RENEW_DAYS });
    if (!reason) return { cert, key, fingerprint: fingerprint(cert), certFile, made: false };
  } catch (error) {
    if (error.code !== 'ENOENT') reason = `it could not be read (${error.message})`;
  }
  const { cert, key } = await makeCertificate({ names, addresses, now });
  mkdirSync(folder, { recursive: true, mode: 0o700 });
  if (POSIX) chmodSync(folder, 0o700);
  // Written aside and renamed, the key first: a run stopped half-way leaves
  // a pair that does not match, which the next run replaces.
  writePrivate(keyFile, key);
  writePrivate(certFile, cert);
  return { cert, key, fingerprint: fingerprint(cert), certFile, made: true, reason };
}

function writePrivate(file, text) {
  const aside = `${file}.new`;
  rmSync(aside, { force: true });
  writeFileSync(aside, text, { mode: 0o600, flag: 'wx' });
  renameSync(aside, file);
}

function staleReason(cert, key, { names, addresses, now, renewDays }) {
  let parsed;
  try {
    parsed = new X509Certificate(cert);
    if (!parsed.checkPrivateKey(createPrivateKey(key))) return 'it does not match its key';
  } catch (error) {
    return `it could not be read (${error.message})`;
  }
  const daysLeft = (Date.parse(parsed.validTo) - now) / DAY_MS;
  if (Date.parse(parsed.validFrom) > now) return 'it is not valid yet';
  if (daysLeft < renewDays) return daysLeft <= 0 ? 'it has expired' : `it expires in ${Math.floor(daysLeft)} days`;
  const missing = uncovered(cert, { names, addresses });
  return missing.length ? `it does not name ${missing.join(', ')}` : null;
}

async function makeCertificate({ names, addresses, now }) {
  const notBeforeDate = new Date(now - 60_000);
  const notAfterDate = new Date(now + VALID_DAYS * DAY_MS);
  const altNames = [...names.map((value) => ({ type: 2, value })), ...addresses.map((ip) => ({ type: 7, ip }))];
  const pems = await selfsigned.generate([{ name: 'commonName', value: `kalmo-play on ${names[0] ?? 'this machine'}` }], {
    keyType: 'ec', curve: 'P-256', algorithm: 'sha256', notBeforeDate, notAfterDate,
    extensions: [
      { name: 'basicConstraints', cA: false },
      { name: 'keyUsage', digitalSignature: true, critical: true },
      { name: 'extKeyUsage', serverAuth: true },
      { name: 'subjectAltName', altNames },
    ],
  });
  return { cert: pems.cert, key: pems.private };
}
