// The pointer rule against a simulated host and core: a core that moves its
// cursor by the ScummVM rule at polls of irregular timing (with stalls),
// lines summed per poll, frames coming back only when the picture changed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  CursorAxis, PointerRule, coreLibraryName, pointerDefaults, PIN_MIN_MS, PIN_ONE_FRAME_MS, PIN_LONGEST_MS, PIN_CHECK_MS,
  PIN_RETRIES,
} from '../../lib/pointer_rule.js';

const WIDTH = 320;
const HEIGHT = 200;

// A seeded generator, so a failure can be replayed.
function random(seed) {
  let state = seed >>> 0;
  return () => {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    return state / 2 ** 32;
  };
}

// The core's side, written from the rule as the core states it: per axis, at each poll.
class ScummCursor {
  constructor(factor) {
    this.factor = Math.fround(factor);
    this.at = [0, 0];
    this.rest = [0, 0];
  }

  poll(deltas) {
    deltas.forEach((d, i) => {
      if (d === 0) return;
      if (Math.sign(d) * Math.sign(this.rest[i]) < 0) this.rest[i] = 0;
      this.rest[i] = Math.fround(this.rest[i] + Math.fround(d * this.factor));
      const whole = Math.trunc(this.rest[i]);
      this.rest[i] = Math.fround(this.rest[i] - whole);
      this.at[i] = Math.min(Math.max(this.at[i] + whole, 0), i === 0 ? WIDTH : HEIGHT);
    });
  }
}

// A page sending lines at 60 Hz refreshes (and on frames) to a host polling at about 60 Hz with jitter and
// stalls; the hand wanders and rests. `send(now, hand)` returns the line; returns the rests' misses.
function simulate({ seconds, seed, send, onFrame = () => {}, stalls = true }) {
  const next = random(seed);
  const core = new ScummCursor(0.9);
  const hand = [WIDTH / 2, HEIGHT / 2];
  const velocity = [0, 0];
  const inFlight = [];
  const frames = [];
  let nextPoll = 16.7;
  let nextRefresh = 5;
  let restUntil = 0;
  let lastMove = 0;
  const misses = [];
  for (let now = 0; now < seconds * 1000; now += 0.5) {
    if (now >= restUntil && now - lastMove >= 8) {
      lastMove = now;
      for (const i of [0, 1]) {
        velocity[i] = Math.max(-6, Math.min(6, velocity[i] + (next() - 0.5) * 3));
        hand[i] = Math.max(0, Math.min((i === 0 ? WIDTH : HEIGHT) - 0.001, hand[i] + velocity[i] * 0.37));
      }
      if (next() < 0.004) restUntil = now + 400;
    }
    if (now >= restUntil - 400 + 350 && now < restUntil && now + 0.5 >= restUntil) {
      const want = hand.map(Math.floor);
      misses.push(Math.max(Math.abs(core.at[0] - want[0]), Math.abs(core.at[1] - want[1])));
    }
    while (frames.length && frames[0] <= now) {
      frames.shift();
      onFrame(now);
      const line = send(now, hand);
      if (line) inFlight.push({ ...line, arrives: now + 1 });
    }
    if (now >= nextRefresh) {
      nextRefresh += 16.7;
      const line = send(now, hand);
      if (line) inFlight.push({ ...line, arrives: now + 1 });
    }
    if (now >= nextPoll) {
      const stall = stalls && next() < 0.03 ? 40 + next() * 90 : 0;
      nextPoll += 16.7 + (next() - 0.5) * 8 + stall;
      const arrived = inFlight.filter((line) => line.arrives <= now);
      inFlight.splice(0, arrived.length);
      const was = [...core.at];
      core.poll([arrived.reduce((sum, l) => sum + l.dx, 0), arrived.reduce((sum, l) => sum + l.dy, 0)]);
      if (was[0] !== core.at[0] || was[1] !== core.at[1]) frames.push(now + 3);
    }
  }
  return misses;
}

test('the library name is the core message without its version and API', () => {
  assert.equal(coreLibraryName('ScummVM 2.8.0 · API 1'), 'ScummVM');
  assert.equal(coreLibraryName('ScummVM cursor-test · API 1'), 'ScummVM');
  assert.equal(coreLibraryName('Beetle PSX HW 0.9.44 · API 1'), 'Beetle PSX HW');
  assert.equal(coreLibraryName('ScummVM · API 1'), 'ScummVM');
  assert.equal(coreLibraryName(undefined), '');
});

test('ScummVM follows the pointer at 1/0.9 motion units per pixel; other cores are captured at 1', () => {
  assert.deepEqual(pointerDefaults('ScummVM'), { mode: 'follow', speed: 1 / 0.9 });
  assert.deepEqual(pointerDefaults('probe'), { mode: 'captured', speed: 1 });
  assert.deepEqual(pointerDefaults('scummvm'), { mode: 'captured', speed: 1 });
});

test('the model moves as the core does: fractions carried, dropped at a turn, clamped', () => {
  const axis = new CursorAxis(0.9, WIDTH);
  for (let i = 0; i < 10; i++) axis.apply(1);
  // Nine tenths ten times, carried one poll to the next, come just short of 9.
  assert.equal(axis.position, 8);
  assert.ok(axis.remainder > 0.99 && axis.remainder < 1);
  axis.apply(-1);
  assert.deepEqual([axis.position, axis.remainder], [8, Math.fround(-0.9)], 'the turn dropped the remainder');
  axis.apply(10);
  assert.equal(axis.position, 17);
  axis.apply(-400);
  assert.equal(axis.position, 0, 'clamped at the left');
  axis.apply(1000);
  assert.equal(axis.position, WIDTH, 'clamped at the frame width');
});

test('one delta lands the modelled cursor on any pixel from any state', () => {
  const next = random(7);
  for (let trial = 0; trial < 2000; trial++) {
    const axis = new CursorAxis(0.9, WIDTH);
    axis.position = Math.floor(next() * WIDTH);
    axis.remainder = Math.fround((next() - 0.5) * 1.98);
    const target = Math.floor(next() * WIDTH);
    axis.apply(axis.deltaToward(target));
    assert.equal(axis.position, target, `trial ${trial}`);
  }
});

test('over ten minutes of wandering with stalled polls, the cursor rests within 1 pixel of the hand', () => {
  const rule = new PointerRule({ speed: 1 / 0.9 });
  rule.setFrameSize(WIDTH, HEIGHT);
  let pinned = false;
  const misses = simulate({
    seconds: 600, seed: 42,
    onFrame: () => rule.onFrame(),
    send: (now, hand) => {
      if (!pinned) {
        pinned = true;
        return rule.pin(now);
      }
      const { dx, dy } = rule.motionToward(now, hand.map(Math.floor), { clamped: true });
      return dx || dy ? { dx, dy } : null;
    },
  });
  assert.ok(misses.length > 100, `${misses.length} rests`);
  assert.ok(Math.max(...misses) <= 1, `missed by ${Math.max(...misses)}`);
});

test('scaled motion without the model drifts away from the hand on the same path', () => {
  let sent = [WIDTH / 2, HEIGHT / 2];
  let first = true;
  const misses = simulate({
    seconds: 600, seed: 42, stalls: false,
    send: (now, hand) => {
      if (first) {
        first = false;
        return { dx: Math.round(WIDTH / 2 / 0.9), dy: Math.round(HEIGHT / 2 / 0.9) };
      }
      const motion = [0, 1].map((i) => Math.trunc((hand[i] - sent[i]) / 0.9));
      sent = sent.map((at, i) => at + motion[i] * 0.9);
      return motion[0] || motion[1] ? { dx: motion[0], dy: motion[1] } : null;
    },
  });
  assert.ok(Math.max(...misses) > 3, `the plain sum stayed within ${Math.max(...misses)}`);
});

test('the move after a pin waits for the pin to have had its own poll', () => {
  const rule = new PointerRule({ speed: 1 / 0.9 });
  rule.setFrameSize(WIDTH, HEIGHT);
  rule.pin(0);
  const wanted = [200, 150];
  assert.equal(rule.placing, true);
  assert.deepEqual(rule.motionToward(PIN_MIN_MS - 1, wanted, { clamped: true }).dx, 0, 'too soon');
  rule.onFrame();
  assert.equal(rule.motionToward(60, wanted, { clamped: true }).dx, 0, 'one frame may have left before the pin');
  rule.onFrame();
  const { dx, dy } = rule.motionToward(61, wanted, { clamped: true });
  const core = new ScummCursor(0.9);
  core.poll([-728, -461]);
  core.poll([dx, dy]);
  assert.deepEqual(core.at, wanted);
});

test('what follows a placement waits until its move had a poll of its own', () => {
  const rule = new PointerRule({ speed: 1 });
  rule.setFrameSize(WIDTH, HEIGHT);
  assert.equal(rule.landingWait(0), null, 'nothing placed, nothing waits');
  rule.pin(0);
  assert.ok(rule.landingWait(10) > 10, 'the pin is still out');
  rule.onFrame();
  rule.onFrame();
  const moveAt = 60;
  rule.motionToward(moveAt, [50, 60], { clamped: true });
  assert.equal(rule.landingWait(moveAt + 1), moveAt + PIN_MIN_MS, 'too soon');
  rule.onFrame();
  assert.ok(rule.landingWait(moveAt + PIN_MIN_MS) > moveAt + PIN_MIN_MS, 'one frame may have left before the move');
  rule.onFrame();
  assert.equal(rule.landingWait(moveAt + PIN_MIN_MS), null);
  rule.pin(200);
  assert.equal(rule.motionToward(200 + PIN_LONGEST_MS, [0, 0], { clamped: true }).dx, 0);
  const moved = 200 + PIN_LONGEST_MS;
  assert.equal(rule.landingWait(moved + PIN_MIN_MS), moved + PIN_LONGEST_MS, 'a still picture waits longest');
  assert.equal(rule.landingWait(moved + PIN_LONGEST_MS), null);
  // The pin moved nothing, so its move went on time alone: it lands when a frame shows it, or is pinned again.
  rule.pin(1000);
  rule.motionToward(1000 + PIN_LONGEST_MS, [50, 60], { clamped: true });
  const sent = 1000 + PIN_LONGEST_MS;
  assert.equal(rule.landingWait(sent + 50), sent + PIN_CHECK_MS, 'no frame showed the move');
  rule.onFrame();
  assert.equal(rule.landingWait(sent + 50), sent + PIN_ONE_FRAME_MS);
});

test('a move sent after a pin on time alone is pinned again until a frame shows it landed', () => {
  const rule = new PointerRule({ speed: 1 });
  rule.setFrameSize(WIDTH, HEIGHT);
  const core = new ScummCursor(1);
  // The host stalls: the pin and the move reach it together, and no frame comes back in time.
  const pinLine = rule.pin(0);
  const move = rule.motionToward(PIN_LONGEST_MS, [50, 60], { clamped: true });
  assert.deepEqual([move.dx, move.dy, move.retryAt], [50, 60, PIN_LONGEST_MS + PIN_CHECK_MS]);
  core.poll([pinLine.dx + move.dx, pinLine.dy + move.dy]);
  assert.deepEqual(core.at, [0, 0], 'the shared poll left the cursor in the corner');
  assert.equal(rule.pinDue(PIN_LONGEST_MS + PIN_CHECK_MS - 1), false);
  assert.equal(rule.pinDue(PIN_LONGEST_MS + PIN_CHECK_MS), true);
  // Now the host keeps up: the second pin has its own poll and a frame, the move lands and shows.
  const again = PIN_LONGEST_MS + PIN_CHECK_MS;
  const repin = rule.pin(again);
  core.poll([repin.dx, repin.dy]);
  rule.onFrame();
  rule.onFrame();
  const second = rule.motionToward(again + PIN_LONGEST_MS, [50, 60], { clamped: true });
  core.poll([second.dx, second.dy]);
  rule.onFrame();
  assert.deepEqual(core.at, [50, 60]);
  assert.equal(rule.pinDue(again + 10 * PIN_CHECK_MS), false);
});

test('a core that never shows its cursor is pinned again only a few times', () => {
  const rule = new PointerRule({ speed: 1 });
  rule.setFrameSize(WIDTH, HEIGHT);
  let pins = 0;
  let now = 0;
  rule.pin(now);
  pins++;
  for (let step = 0; step < 100; step++) {
    now += 50;
    if (rule.pinDue(now)) {
      rule.pin(now);
      pins++;
    }
    rule.motionToward(now, [50, 60], { clamped: true });
  }
  assert.equal(pins, 1 + PIN_RETRIES);
});

test('a turn waits until the last line of that axis had a poll', () => {
  const rule = new PointerRule({ speed: 1 });
  rule.setFrameSize(WIDTH, HEIGHT);
  rule.axes.forEach((axis) => { axis.position = 100; });
  assert.equal(rule.motionToward(0, [110, 100], { clamped: true }).dx, 10);
  const held = rule.motionToward(50, [105, 100], { clamped: true });
  assert.deepEqual([held.dx, held.retryAt], [0, 150], 'no frame yet: the turn waits');
  rule.onFrame();
  assert.equal(rule.motionToward(51, [105, 100], { clamped: true }).dx, -5);
  assert.equal(rule.motionToward(52, [108, 100], { clamped: true }).dx, 0, 'and the next turn too, by time');
});

test('captured motion is not clamped by the model, so the core\'s clamping matches the pointer\'s', () => {
  const rule = new PointerRule({ speed: 1 });
  rule.setFrameSize(WIDTH, HEIGHT);
  const core = new ScummCursor(1);
  let now = 0;
  let reach = 5;
  let pointer = 5;
  rule.axes[0].position = 5;
  core.at[0] = 5;
  for (const step of [-20, -20, -15, 4, 6]) {
    reach += step;
    pointer = Math.max(0, pointer + step);
    now += 200;
    rule.onFrame();
    core.poll([rule.motionToward(now, [reach, 0], { clamped: false }).dx, 0]);
  }
  assert.equal(pointer, 10);
  assert.equal(core.at[0], 10);
});
