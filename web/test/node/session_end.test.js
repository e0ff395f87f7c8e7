// The words at the end of a session, without a browser: which diagnostic
// lines a person sees, and the title and state for each way a session ends.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { coreLogLine, describeEnd, describeRefusal } from '../../player/session_end.js';
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
  assert.equal(describeEnd({ refused: 'another page is playing' }).state, 'error');
  assert.equal(describeEnd({ streamError: 'bad magic', lost: true }).title, 'The stream from the host went wrong');
  assert.equal(describeEnd({ lost: true }).title, 'Connection lost');
});

test('a refusal says what the bridge checked and what to do, by its kind or by its reason\'s words', () => {
  const cases = [
    ['missing or wrong token', '', /token is missing or wrong$/, /^Open the URL kalmo-play printed, with its token\./],
    ['too many wrong tokens from 10.213.7.2: try again in 5 min', '', /too many wrong tokens came from this device$/, /^Wait a few minutes/],
    ['origin https://elsewhere.example is not this bridge', '', /opened from another site$/, /only the bridge's own page/],
    ['host elsewhere.example:4430 is not this bridge', '', /a name the bridge does not answer to$/,
      /with the address it shows/],
    ['this address serves only https://', '', /came over plain HTTP$/, /^Open the https:\/\/ URL/],
    ['requests from another site get nothing', '', /opened from another site$/, /only the bridge's own page/],
    ['another page is playing: this bridge runs at most 1 session', '', /another page is playing$/, /--sessions/],
    // A kind given by the bridge is taken over its words; an unknown kind falls back to the words.
    ['go away', 'rate', /too many wrong tokens/, /^Wait a few minutes/],
    ['wrong token', 'nonsense', /token is missing or wrong$/, /with its token/],
  ];
  for (const [reason, kind, title, detail] of cases) {
    const end = describeEnd({ refused: reason, refusedKind: kind });
    assert.equal(end.state, 'error', reason);
    assert.match(end.title, /^The bridge refused this page: /, reason);
    assert.match(end.title, title, reason);
    assert.match(end.detail, detail, reason);
    assert.ok(end.detail.includes(`“${reason}”`), `the bridge's own words stay in the detail: ${end.detail}`);
  }
  // The host failing to start names the host, but is no complaint about the page's host name.
  const failed = describeRefusal('the host could not be started: spawn EACCES');
  assert.equal(failed.title, 'The bridge refused this page: the host could not be started: spawn EACCES');
  assert.doesNotMatch(failed.detail, /name/);
});
