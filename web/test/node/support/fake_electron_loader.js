// Loaded with `node --import` before the Electron example's main process:
// resolves `electron` to the stand-in beside this file, and the package by
// its name as an app that installed it would.
import { register } from 'node:module';
import { isMainThread } from 'node:worker_threads';

const TARGETS = {
  electron: new URL('./fake_electron.js', import.meta.url).href,
  'kalmo-host-client': new URL('../../../index.js', import.meta.url).href,
};

export async function resolve(specifier, context, next) {
  if (Object.hasOwn(TARGETS, specifier)) return { url: TARGETS[specifier], shortCircuit: true };
  return next(specifier, context);
}

// The hooks run on a thread of their own, which loads this file again.
if (isMainThread) register(import.meta.url);
