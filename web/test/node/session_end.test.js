// The words at the end of a session, without a browser: which diagnostic
// lines a person sees, and the title and state for each way a session ends.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { coreLogLine, describeEnd } from '../../player/session_end.js';
import { exitMeaning } from '../../lib/exit_meaning.js';

test('only the core\'s own log at warning level and above is shown, never the host\'s traces', () => {
  assert.equal(coreLogLine('CORELOG level=2 | low memory\r'), 'warning: low memory');
  assert.equal(coreLogLine('CORELOG level=3 | no BIOS | really'), 'error: no BIOS | really');
  assert.equal(coreLogLine('CORELOG level=1 | loaded'), null);
  assert.equal(coreLogLine('CORELOG level=0 | debug'), null);
  assert.equal(coreLogLine('INPUT_QUERY device=1 id=14'), null);
  assert.equal(coreLogLine('KALMO_STAGE=load-library'), null);
  // A level no Libretro core should send still reads as an error, not as nothing.
  assert.equal(coreLogLine('CORELOG level=7 | odd'), 'error: odd');
});

test('an orderly stop ends the session; any other exit, signal or refusal is an error', () => {
  const exit = (code, signal = null) => ({ code, signal, meaning: exitMeaning(code, signal) });
  assert.deepEqual(describeEnd({ exit: exit(0) }).state, 'ended');
  assert.equal(describeEnd({ exit: exit(0) }).title, 'The game ended');
  assert.equal(describeEnd({ exit: exit(0), hostError: 'boom' }).state, 'error');
  assert.equal(describeEnd({ exit: exit(5) }).title, 'The core refused the content');
  assert.equal(describeEnd({ exit: exit(139) }).state, 'error');
  const crash = describeEnd({ exit: exit(null, 'SIGSEGV') });
  assert.equal(crash.title, 'The host crashed: it touched memory it does not own (SIGSEGV)');
  assert.equal(describeEnd({ exit: exit(null, 'SIGUSR2') }).title, 'The host was ended by a signal (SIGUSR2)');
  assert.deepEqual(describeEnd({ refused: 'another page is playing' }),
    { state: 'error', title: 'The bridge refused this page', detail: 'another page is playing' });
  assert.equal(describeEnd({ streamError: 'bad magic', lost: true }).title, 'The stream from the host went wrong');
  assert.equal(describeEnd({ lost: true }).title, 'Connection lost');
});
