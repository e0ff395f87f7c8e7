// index.d.ts compiles with a front-end's use of the package (tsc --noEmit),
// and names every export index.js really has.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import * as api from '../../index.js';

test('the declarations type-check against a usage example', () => {
  const tsc = createRequire(import.meta.url).resolve('typescript/bin/tsc');
  const project = new URL('../types/tsconfig.json', import.meta.url).pathname;
  execFileSync(process.execPath, [tsc, '-p', project], { encoding: 'utf8' });
});

test('every runtime export is declared', () => {
  const declarations = readFileSync(new URL('../../index.d.ts', import.meta.url), 'utf8');
  for (const name of Object.keys(api)) {
    assert.match(declarations, new RegExp(`export (declare )?(class|function|const) ${name}\\b`), name);
  }
});
