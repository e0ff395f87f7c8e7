// The package carries the release number of the repository's VERSION file.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

test('package.json and VERSION name the same release', () => {
  const read = (path) => readFileSync(new URL(path, import.meta.url), 'utf8');
  assert.equal(JSON.parse(read('../../package.json')).version, read('../../../VERSION').trim());
});
