// The LAN mode's certificate: made on first use with a private key file,
// kept for later runs, and made anew when it nears its end, when the names
// or addresses change, or when its key file was opened to others; and the
// user's own pair, checked to belong together.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { X509Certificate } from 'node:crypto';
import { chmodSync, mkdtempSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { RENEW_DAYS, VALID_DAYS, keptCertificate, loadCertificate } from '../../lib/certificate.js';

const DAY_MS = 24 * 60 * 60 * 1000;
const subjects = { names: ['localhost', 'gamebox', 'gamebox.local'], addresses: ['127.0.0.1', '::1', '192.168.1.20'] };

function dataFolder(t) {
  const dir = mkdtempSync(join(tmpdir(), 'kalmo-cert-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

test('made on first use, naming every name and address, its key readable by the user alone, then kept', async (t) => {
  const dataDir = dataFolder(t);
  const start = Date.now();
  const first = await keptCertificate({ dataDir, ...subjects, now: start });
  assert.equal(first.made, true);
  assert.equal(first.reason, 'there was none');
  const cert = new X509Certificate(readFileSync(join(dataDir, 'tls', 'cert.pem')));
  assert.equal(cert.fingerprint256, first.fingerprint);
  assert.match(first.fingerprint, /^([0-9A-F]{2}:){31}[0-9A-F]{2}$/);
  assert.equal(cert.publicKey.asymmetricKeyDetails.namedCurve, 'prime256v1');
  for (const name of subjects.names) assert.equal(cert.checkHost(name, { subject: 'never' }), name);
  for (const address of subjects.addresses) assert.ok(cert.checkIP(address), address);
  assert.equal(cert.checkHost('evil.example'), undefined);
  const days = (Date.parse(cert.validTo) - start) / DAY_MS;
  assert.ok(days > VALID_DAYS - 1 && days <= VALID_DAYS, `valid for ${days} days`);
  assert.equal(statSync(join(dataDir, 'tls', 'key.pem')).mode & 0o777, 0o600);
  assert.equal(statSync(join(dataDir, 'tls')).mode & 0o777, 0o700);

  const again = await keptCertificate({ dataDir, ...subjects, now: start + DAY_MS });
  assert.equal(again.made, false);
  assert.equal(again.fingerprint, first.fingerprint);
  assert.equal(again.key, first.key);
  const fewer = await keptCertificate({ dataDir, names: ['localhost'], addresses: ['127.0.0.1'], now: start + DAY_MS });
  assert.equal(fewer.made, false, 'a name no longer in use needs no new certificate');
});

test('made anew with under 30 days left, for a new name or address, or when its key file was opened to others', async (t) => {
  const dataDir = dataFolder(t);
  const start = Date.now();
  let previous = (await keptCertificate({ dataDir, ...subjects, now: start })).fingerprint;
  const renewals = [
    [{ now: start + (VALID_DAYS - RENEW_DAYS - 1) * DAY_MS }, false, undefined],
    [{ now: start + (VALID_DAYS - RENEW_DAYS + 1) * DAY_MS }, true, /it expires in 2[89] days/],
  ];
  for (const [when, made, reason] of renewals) {
    const next = await keptCertificate({ dataDir, ...subjects, ...when });
    assert.equal(next.made, made, `${when.now}`);
    assert.match(next.reason ?? 'none', reason ?? /none/);
    assert.equal(next.fingerprint !== previous, made);
    previous = next.fingerprint;
  }
  const now = start + (VALID_DAYS - RENEW_DAYS + 1) * DAY_MS;
  const moved = await keptCertificate({ dataDir, names: [...subjects.names, 'gamebox.lan'], addresses: [...subjects.addresses, 'fd00::20'], now });
  assert.equal(moved.made, true);
  assert.equal(moved.reason, 'it does not name gamebox.lan, fd00::20');
  assert.ok(new X509Certificate(moved.cert).checkIP('fd00::20'));

  chmodSync(join(dataDir, 'tls', 'key.pem'), 0o644);
  const opened = await keptCertificate({ dataDir, ...subjects, now });
  assert.equal(opened.reason, 'its key file could be read by others');
  assert.equal(statSync(join(dataDir, 'tls', 'key.pem')).mode & 0o777, 0o600);

  writeFileSync(join(dataDir, 'tls', 'key.pem'), moved.key, { mode: 0o600 });
  const mismatched = await keptCertificate({ dataDir, ...subjects, now });
  assert.equal(mismatched.reason, 'it does not match its key');
});

test("the user's own certificate is served as it is, with warnings; a key of another one is refused", async (t) => {
  const dataDir = dataFolder(t);
  const made = await keptCertificate({ dataDir, ...subjects });
  const other = await keptCertificate({ dataDir: join(dataDir, 'other'), ...subjects });
  const certFile = join(dataDir, 'tls', 'cert.pem');
  const warnings = [];
  const own = loadCertificate({ certFile, keyFile: join(dataDir, 'tls', 'key.pem'), names: ['elsewhere.lan'], addresses: [], warn: (line) => warnings.push(line) });
  assert.equal(own.fingerprint, made.fingerprint);
  assert.deepEqual(warnings, [`${certFile}: it does not name elsewhere.lan`]);
  writeFileSync(join(dataDir, 'wrong.pem'), other.key);
  assert.throws(() => loadCertificate({ certFile, keyFile: join(dataDir, 'wrong.pem'), ...subjects }), /is not the key of/);
});
