// The modules the bridge serves at /lib/ must run in a browser as they are:
// they import only each other and touch no Node API (the parser only looks
// for Buffer through globalThis and falls back without it).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { BROWSER_MODULES } from '../../lib/page_files.js';

test('the browser modules import only each other and use no Node API', () => {
  for (const name of BROWSER_MODULES) {
    const source = readFileSync(new URL(`../../lib/${name}`, import.meta.url), 'utf8');
    for (const [, from] of source.matchAll(/^import .* from '([^']+)';$/gm)) {
      assert.ok(BROWSER_MODULES.has(from.replace(/^\.\//, '')), `${name} imports ${from}`);
    }
    const code = source.replace(/\/\/.*$/gm, '');
    assert.doesNotMatch(code, /\b(require|process|__dirname)\b|(?<!globalThis\.)\bBuffer\b(?!\?)/, name);
  }
});
