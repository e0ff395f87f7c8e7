// The sound's feed: takes the audio packets wherever the stream is parsed
// (the stream's worker, or the page on the fallback path) and writes them
// into the ring the worklet plays. It needs nothing of the page: on the
// shared path the worklet's state (dry-outs, playing, fill, cuts) is read
// from the ring's header and the target is written there; without a shared
// buffer the blocks go to the worklet through `post`, the target through
// `postTarget`, and the worklet's reports come back through `workletReport`.
//
// A ring that ran dry is an underrun when the blocks were still coming; when
// the stream itself paused for longer than SILENCE_GAP_MS (the core sent no
// sound, as engine cores do between sounds) it is counted as a silence.
// After an underrun the target grows by a step (up to a ceiling), so a
// machine too busy for the usual target stutters once, not on and on; after
// a long run without one it steps back toward the usual. Underruns in the
// first seconds of sound, while the page itself is still loading, are
// counted but move nothing.
//
// Each block's arrival is also held against the schedule of its run (the
// run's earliest arrival plus the sound received since), so a block that
// came late (the host ran late, or the thread reading the stream was held
// up) is counted, and an underrun it caused is counted as stalled: the
// stream, not the player, ran dry.

import { AudioRing, SHARED } from './ring.js';

export const DEFAULT_TARGET_MS = 30;
const SILENCE_GAP_MS = 250;
const TARGET_STEP_MS = 25;
const TARGET_CEILING_MS = 150;
const TARGET_CALM_MS = 30000;
const START_UP_MS = 2000;
// Later than its schedule by this much, a block counts as late: more than the host's pacing
// jitter, less than the target's reserve.
const LATE_MS = 10;
// How far each on-time-or-late block moves the schedule's anchor toward itself, so a source a
// little slower than its stated rate is not counted late for ever.
const SCHEDULE_FOLLOW = 0.05;

const WORKLET_AT_START = {
  dryOuts: 0, playing: false, smoothedFillMs: 0, cuts: 0, cutFrames: 0, drift: 1, framesConsumed: 0,
  framesPlayed: 0, framesSilent: 0, peak: 0, sourceRate: 0, lateCallbacks: 0, bufferedMs: 0,
};

export class AudioFeed {
  // ring: {buffer, capacity} shared with the worklet, or null; post(samples, rate) and
  // postTarget(targetMs) reach a worklet without one.
  constructor({ ring = null, post, postTarget, targetMs = DEFAULT_TARGET_MS } = {}) {
    const base = Number(targetMs);
    if (!(base > 0 && base <= TARGET_CEILING_MS)) {
      throw new RangeError(`audio target must be above 0 and at most ${TARGET_CEILING_MS} ms, not ${targetMs}`);
    }
    this.ring = ring ? new AudioRing(ring.buffer, ring.capacity) : null;
    this.post = post;
    this.postTarget = postTarget;
    this.baseTargetMs = base;
    this.targetMs = base;
    this.targetChangedAt = 0;
    this.contextRunning = true;
    this.counts = {
      blocks: 0, framesReceived: 0, blocksNotQueued: 0, underruns: 0, stalledUnderruns: 0, silences: 0,
      lateBlocks: 0, maxLateMs: 0,
    };
    this.reported = { ...WORKLET_AT_START };
    this.dryOutsSeen = 0;
    this.dryPending = 0;
    this.lastArrival = -Infinity;
    this.lastRate = 0;
    this.runAnchor = 0;
    this.runReceivedMs = 0;
    this.firstQueuedAt = undefined;
    this.ring?.store(SHARED.targetMicros, Math.round(base * 1000));
    this.postTarget?.(base);
  }

  // The figures of a feed that has had nothing yet, for a page whose feed runs elsewhere and has not reported.
  static idleStats(targetMs) {
    return new AudioFeed({ targetMs }).stats;
  }

  // Blocks that arrive while the context cannot play are not queued, so sound starts at the target.
  setContextRunning(running) {
    this.contextRunning = Boolean(running);
  }

  // packet: {sampleRate, frames, samples} as the PacketParser gives it; arrivedAt: ms on this thread's clock.
  push(packet, arrivedAt = performance.now()) {
    const { counts } = this;
    counts.blocks++;
    counts.framesReceived += packet.frames;
    const gap = arrivedAt - this.lastArrival;
    const lateMs = this.followSchedule(packet, arrivedAt, gap);
    this.classifyDryOuts(arrivedAt, gap, lateMs);
    this.lastArrival = arrivedAt;
    this.lastRate = packet.sampleRate;
    if (this.targetMs > this.baseTargetMs && arrivedAt - this.targetChangedAt > TARGET_CALM_MS) {
      this.setTarget(Math.max(this.targetMs - TARGET_STEP_MS, this.baseTargetMs), arrivedAt);
    }
    if (!this.contextRunning) {
      counts.blocksNotQueued++;
      return;
    }
    this.firstQueuedAt ??= arrivedAt;
    if (this.ring) {
      if (!this.ring.write(packet.samples, packet.sampleRate)) counts.blocksNotQueued++;
      return;
    }
    this.post?.(packet.samples, packet.sampleRate);
  }

  // Returns how late this block is against its run's schedule, in ms.
  followSchedule(packet, arrivedAt, gap) {
    if (gap >= SILENCE_GAP_MS) {
      this.runAnchor = arrivedAt;
      this.runReceivedMs = 0;
    }
    let lateMs = arrivedAt - (this.runAnchor + this.runReceivedMs);
    if (lateMs < 0) {
      this.runAnchor += lateMs;
      lateMs = 0;
    } else {
      this.runAnchor += lateMs * SCHEDULE_FOLLOW;
    }
    this.runReceivedMs += packet.frames / packet.sampleRate * 1000;
    if (lateMs > LATE_MS) this.counts.lateBlocks++;
    this.counts.maxLateMs = Math.max(this.counts.maxLateMs, lateMs);
    return lateMs;
  }

  classifyDryOuts(arrivedAt, gap, lateMs) {
    const dryOuts = this.ring ? this.ring.load(SHARED.dryOuts) : this.reported.dryOuts;
    this.dryPending += (dryOuts - this.dryOutsSeen) | 0;
    this.dryOutsSeen = dryOuts;
    for (; this.dryPending > 0; this.dryPending--) {
      if (gap >= SILENCE_GAP_MS) {
        this.counts.silences++;
        continue;
      }
      this.counts.underruns++;
      if (lateMs > LATE_MS) this.counts.stalledUnderruns++;
      if (arrivedAt - this.firstQueuedAt > START_UP_MS) {
        this.setTarget(Math.min(this.targetMs + TARGET_STEP_MS, TARGET_CEILING_MS), arrivedAt);
      }
    }
  }

  setTarget(targetMs, now) {
    this.targetChangedAt = now;
    if (targetMs === this.targetMs) return;
    this.targetMs = targetMs;
    this.ring?.store(SHARED.targetMicros, Math.round(targetMs * 1000));
    this.postTarget?.(targetMs);
  }

  // A worklet without a shared buffer reports here: {type: 'dry'} or {type: 'stats', ...}.
  workletReport(data) {
    if (data.type === 'dry') this.reported.dryOuts++;
    else if (data.type === 'stats') this.reported = { ...data, dryOuts: Math.max(data.dryOuts, this.reported.dryOuts) };
  }

  get stats() {
    const worklet = this.ring ? this.ring.workletState() : this.reported;
    const rate = worklet.sourceRate || this.lastRate;
    const bufferedMs = this.ring ? (rate ? this.ring.buffered / rate * 1000 : 0) : worklet.bufferedMs;
    const { type, ...state } = worklet;
    return {
      ...state,
      ...this.counts,
      sourceRate: rate,
      bufferedMs,
      targetMs: this.targetMs,
      baseTargetMs: this.baseTargetMs,
      shared: Boolean(this.ring),
    };
  }
}
