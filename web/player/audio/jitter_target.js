// How much sound the jitter buffer holds in reserve: the target the feed
// writes for the worklet, moved by two rules, the larger of which is in
// force.
//
// Steps: each underrun (reported by the feed) raises the target by 25 ms,
// up to 150 ms, and each calm half-minute takes a step back toward the
// page's own target. That covers a machine a little too busy for the usual
// reserve.
//
// Lateness: a stretch of blocks that came more than STALL_MS behind their
// run's schedule is a stall. Once two or more stalls fall within the last
// minute, the target follows how late they come (the 90th percentile, by
// nearest rank, of their worst blocks, plus a margin), above the steps'
// ceiling if need be, up to LATE_CEILING_MS: a slow link or a starved
// machine then costs latency instead of gaps. It rises at once; as the
// stalls age out of the minute it comes down by 25 ms every 2.5 s, slower
// than the worklet's 2 % rate correction plays a backlog off, so the queue
// follows it down without a cut.

export const DEFAULT_TARGET_MS = 30;
export const STEP_CEILING_MS = 150;
export const LATE_CEILING_MS = 1000;
const STEP_MS = 25;
const CALM_MS = 30000;
// A block this late held back more than the usual reserve: several runs' worth.
const STALL_MS = 50;
const STALL_WINDOW_MS = 60000;
const STALLS_TO_FOLLOW = 2;
const STALLS_KEPT = 256;
const STALL_PERCENTILE = 0.9;
// Above the lateness followed: the host's pacing jitter and a block's own length.
const LATE_MARGIN_MS = 50;
const DESCENT_STEP_MS = 25;
const DESCENT_EVERY_MS = 2500;

export class JitterTarget {
  constructor(baseMs) {
    const base = Number(baseMs);
    if (!(base > 0 && base <= STEP_CEILING_MS)) {
      throw new RangeError(`audio target must be above 0 and at most ${STEP_CEILING_MS} ms, not ${baseMs}`);
    }
    this.baseMs = base;
    this.stepMs = base;
    this.stepMovedAt = 0;
    this.lateMs = 0;
    this.lateMovedAt = 0;
    // {at, worstMs} of each stall, the newest last; `inStall` while its blocks are still late.
    this.stalls = [];
    this.inStall = false;
  }

  get ms() {
    return Math.max(this.stepMs, this.lateMs);
  }

  underrun(now) {
    this.stepMs = Math.min(this.stepMs + STEP_MS, STEP_CEILING_MS);
    this.stepMovedAt = now;
  }

  // Each block's lateness against its run's schedule, in arrival order.
  block(now, lateMs) {
    if (lateMs <= STALL_MS) {
      this.inStall = false;
      return;
    }
    const last = this.stalls.at(-1);
    if (this.inStall) {
      last.at = now;
      last.worstMs = Math.max(last.worstMs, lateMs);
      return;
    }
    this.inStall = true;
    this.stalls.push({ at: now, worstMs: lateMs });
    if (this.stalls.length > STALLS_KEPT) this.stalls.shift();
  }

  // Moves both rules on to `now`; returns the target in force.
  update(now) {
    if (this.stepMs > this.baseMs && now - this.stepMovedAt > CALM_MS) {
      this.stepMs = Math.max(this.stepMs - STEP_MS, this.baseMs);
      this.stepMovedAt = now;
    }
    while (this.stalls.length && now - this.stalls[0].at > STALL_WINDOW_MS) this.stalls.shift();
    const followed = this.followedLateMs;
    const wanted = followed > 0 ? Math.min(Math.round(followed + LATE_MARGIN_MS), LATE_CEILING_MS) : 0;
    if (wanted > this.lateMs) {
      this.lateMs = wanted;
      this.lateMovedAt = now;
    } else if (wanted < this.lateMs && now - this.lateMovedAt >= DESCENT_EVERY_MS) {
      this.lateMs = Math.max(this.lateMs - DESCENT_STEP_MS, wanted);
      this.lateMovedAt = now;
    }
    return this.ms;
  }

  // The lateness the target follows now, or 0 while too few stalls are recent.
  get followedLateMs() {
    if (this.stalls.length < STALLS_TO_FOLLOW) return 0;
    const worst = this.stalls.map((stall) => stall.worstMs).sort((a, b) => a - b);
    return worst[Math.ceil(STALL_PERCENTILE * worst.length) - 1];
  }

  get stats() {
    return {
      targetMs: this.ms,
      baseTargetMs: this.baseMs,
      // The higher ceiling holds while the lateness rule has a say, coming down included.
      targetCeilingMs: this.lateMs > 0 ? LATE_CEILING_MS : STEP_CEILING_MS,
      followedLateMs: this.followedLateMs,
    };
  }
}
