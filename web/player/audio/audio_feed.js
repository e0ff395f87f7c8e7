// The sound's feed: takes the audio packets wherever the stream is parsed
// (the stream's worker, or the page on the fallback path) and writes them
// into the ring the worklet plays. It needs nothing of the page: on the
// shared path the worklet's state (dry-outs, playing, fill, cuts) is read
// from the ring's header and the target is written there; without a shared
// buffer the blocks go to the worklet through `post`, the target through
// `postTarget`, and the worklet's reports come back through `workletReport`.
//
// A ring that ran dry is an underrun when the blocks were still coming, and
// a silence when the stream paused for longer than SILENCE_GAP_MS because
// the core sent no sound (as engine cores do between sounds). Underruns and
// late blocks move the target (jitter_target.js says how); those in the
// first seconds of sound, while the page itself is still loading, are
// counted but move nothing.
//
// Each block's arrival is also held against the schedule of its run (the
// run's earliest arrival plus the sound received since), so a block that
// came late (the host ran late, or the thread reading the stream was held
// up) is counted, and an underrun it caused is counted as stalled: the
// stream, not the player, ran dry. A pause in the stream is a silence or
// such a stall, told apart by what follows it: the sound a stall held up
// comes in a burst, catching up with the run's schedule, while after a
// silence it comes at its own pace. The blocks after a pause are judged
// when that shows, within SILENCE_GAP_MS; until then they are queued but
// not yet timed.

import { AudioRing, SHARED } from './ring.js';
import { JitterTarget, DEFAULT_TARGET_MS } from './jitter_target.js';

export { DEFAULT_TARGET_MS };
const SILENCE_GAP_MS = 250;
const START_UP_MS = 2000;
// Later than its schedule by this much, a block counts as late: more than the host's pacing
// jitter, less than the target's reserve.
const LATE_MS = 10;
// How far each on-time-or-late block moves the schedule's anchor toward itself, so a source a
// little slower than its stated rate is not counted late for ever.
const SCHEDULE_FOLLOW = 0.05;
// After a pause, sound this far ahead of the time gone by is the burst of a stall.
const CATCH_UP_MS = 100;
const PAUSE_BLOCKS_HELD = 256;

const WORKLET_AT_START = {
  dryOuts: 0, playing: false, smoothedFillMs: 0, cuts: 0, cutFrames: 0, drift: 1, framesConsumed: 0,
  framesPlayed: 0, framesSilent: 0, peak: 0, sourceRate: 0, lateCallbacks: 0, bufferedMs: 0,
};

export class AudioFeed {
  // ring: {buffer, capacity} shared with the worklet, or null; post(samples, rate) and
  // postTarget(targetMs) reach a worklet without one.
  constructor({ ring = null, post, postTarget, targetMs = DEFAULT_TARGET_MS } = {}) {
    this.target = new JitterTarget(targetMs);
    this.ring = ring ? new AudioRing(ring.buffer, ring.capacity) : null;
    this.post = post;
    this.postTarget = postTarget;
    this.targetMs = this.target.ms;
    this.contextRunning = true;
    this.counts = {
      blocks: 0, framesReceived: 0, blocksNotQueued: 0, underruns: 0, stalledUnderruns: 0, silences: 0,
      lateBlocks: 0, maxLateMs: 0,
    };
    this.reported = { ...WORKLET_AT_START };
    this.dryOutsSeen = 0;
    this.lastArrival = -Infinity;
    this.lastRate = 0;
    this.runAnchor = 0;
    this.runReceivedMs = 0;
    // The blocks since a pause, not yet judged: {at, dryOuts, receivedMs, blocks: [[arrivedAt, ms]]}.
    this.pause = null;
    this.firstQueuedAt = undefined;
    this.ring?.store(SHARED.targetMicros, Math.round(this.targetMs * 1000));
    this.postTarget?.(this.targetMs);
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
    this.time(arrivedAt, packet.frames / packet.sampleRate * 1000);
    this.lastArrival = arrivedAt;
    this.lastRate = packet.sampleRate;
    this.applyTarget(arrivedAt);
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

  // Classifies the ring's dry-outs since the last block and times this one, or holds it after a pause.
  time(arrivedAt, durationMs) {
    const dryOuts = this.takeDryOuts();
    if (arrivedAt - this.lastArrival >= SILENCE_GAP_MS) {
      this.judgePause(false);
      this.pause = { at: arrivedAt, dryOuts, receivedMs: 0, blocks: [] };
    } else {
      // While a pause is judged, a block is late against the sound received since it.
      const lateMs = this.pause ? arrivedAt - (this.pause.at + this.pause.receivedMs) : this.onSchedule(arrivedAt, durationMs);
      this.underruns(arrivedAt, dryOuts, lateMs > LATE_MS);
    }
    const { pause } = this;
    if (!pause) return;
    pause.blocks.push([arrivedAt, durationMs]);
    pause.receivedMs += durationMs;
    const aheadMs = pause.receivedMs - (arrivedAt - pause.at);
    if (aheadMs >= CATCH_UP_MS) this.judgePause(true);
    else if (arrivedAt - pause.at >= SILENCE_GAP_MS || pause.blocks.length >= PAUSE_BLOCKS_HELD) this.judgePause(false);
  }

  // A stall's blocks are timed on the run's schedule and its dry-outs are underruns; after a
  // silence the run starts again from its first block.
  judgePause(stalled) {
    const { pause } = this;
    if (!pause) return;
    this.pause = null;
    if (!stalled) {
      this.runAnchor = pause.at;
      this.runReceivedMs = 0;
      this.counts.silences += pause.dryOuts;
    }
    for (const [at, durationMs] of pause.blocks) this.onSchedule(at, durationMs);
    if (stalled) this.underruns(pause.at, pause.dryOuts, true);
  }

  takeDryOuts() {
    const dryOuts = this.ring ? this.ring.load(SHARED.dryOuts) : this.reported.dryOuts;
    const fresh = (dryOuts - this.dryOutsSeen) | 0;
    this.dryOutsSeen = dryOuts;
    return Math.max(fresh, 0);
  }

  // Returns how late this block is against its run's schedule, in ms.
  onSchedule(arrivedAt, durationMs) {
    let lateMs = arrivedAt - (this.runAnchor + this.runReceivedMs);
    if (lateMs < 0) {
      this.runAnchor += lateMs;
      lateMs = 0;
    } else {
      this.runAnchor += lateMs * SCHEDULE_FOLLOW;
    }
    this.runReceivedMs += durationMs;
    if (lateMs > LATE_MS) this.counts.lateBlocks++;
    this.counts.maxLateMs = Math.max(this.counts.maxLateMs, lateMs);
    if (this.pastStartUp(arrivedAt)) this.target.block(arrivedAt, lateMs);
    return lateMs;
  }

  underruns(now, count, stalled) {
    for (let i = 0; i < count; i++) {
      this.counts.underruns++;
      if (stalled) this.counts.stalledUnderruns++;
      if (this.pastStartUp(now)) this.target.underrun(now);
    }
  }

  pastStartUp(now) {
    return now - this.firstQueuedAt > START_UP_MS;
  }

  applyTarget(now) {
    const targetMs = this.target.update(now);
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
      ...this.target.stats,
      shared: Boolean(this.ring),
    };
  }
}
