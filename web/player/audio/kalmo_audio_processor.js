// The audio worklet: plays the ring's frames, resampled from each stretch's
// own rate to the context's rate by one continuous cubic (Hermite)
// interpolator, so blocks join without clicks and a rate change mid-run is
// followed at its exact frame.
//
// A jitter buffer sits in front of it: playback starts, and resumes after
// running dry, only once the target is queued; while playing, the fill level
// is held near the target by nudging the resampling ratio (at most 2 %,
// steered by the fill smoothed over about a third of a second), so a backlog
// (blocks that queued up while the stream's thread or the host was held up)
// is played off a little fast, never thrown away. A ring that runs dry is
// filled with silence and counted. Only a backlog beyond a hard ceiling
// (the page was hidden, the machine stalled for half a second) is cut back
// to the target at once, and counted; the ceiling is half a second or the
// target plus CUT_MARGIN_SECONDS, whichever is higher, so a target the feed
// has raised is reached and held without a cut.
//
// The target comes from the ring's shared header and the playing state and
// counts go back into it, so the feed reads them from whatever thread it
// runs on; a worklet without a shared buffer gets its target and blocks over
// its port and reports there.

import { AudioRing, SHARED } from './ring.js';

// The ratio moves 1 % per 20 ms of smoothed fill away from the target, and at most 2 %.
const DRIFT_PER_SECOND = 0.5;
const DRIFT_LIMIT = 0.02;
const FILL_SMOOTHING_SECONDS = 0.3;
const CUT_FLOOR_SECONDS = 0.5;
const CUT_MARGIN_SECONDS = 0.35;
const REPORT_SECONDS = 0.05;
// The audio thread normally calls every 10 ms or so; a gap this long means it was held up.
const LATE_CALLBACK_MS = 40;

function hermite(before, from, to, after, t) {
  const c1 = 0.5 * (to - before);
  const c2 = before - 2.5 * from + 2 * to - 0.5 * after;
  const c3 = 0.5 * (after - before) + 1.5 * (from - to);
  return ((c3 * t + c2) * t + c1) * t + from;
}

class KalmoAudioProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const { buffer, capacity, targetMs } = options.processorOptions;
    this.shared = Boolean(buffer);
    this.ring = new AudioRing(buffer ?? new ArrayBuffer(AudioRing.byteLength(capacity)), capacity);
    // A feed that started first has already written its target.
    if (this.ring.load(SHARED.targetMicros) <= 0) this.ring.store(SHARED.targetMicros, Math.round(targetMs * 1000));
    // The four frames around the read position, left and right.
    this.left = [0, 0, 0, 0];
    this.right = [0, 0, 0, 0];
    this.frame = [0, 0];
    this.position = 0;
    this.sourceRate = 0;
    this.playing = false;
    this.smoothedFill = this.targetSeconds();
    this.drift = 1;
    this.fillAlpha = 128 / (sampleRate * FILL_SMOOTHING_SECONDS);
    this.peak = 0;
    this.sinceReport = 0;
    this.lastCallback = 0;
    if (this.shared) return;
    this.port.onmessage = ({ data }) => {
      if (data.type === 'block') this.ring.write(data.samples, data.rate);
      else if (data.type === 'target') this.ring.store(SHARED.targetMicros, Math.round(data.targetMs * 1000));
    };
  }

  targetSeconds() {
    return this.ring.load(SHARED.targetMicros) / 1e6;
  }

  fillSeconds() {
    const rate = this.ring.nextRate() || this.sourceRate;
    return rate ? this.ring.buffered / rate : 0;
  }

  // Moves the window one source frame on; false when the ring is empty.
  advance() {
    if (!this.ring.readFrame(this.frame)) return false;
    const { left, right, frame } = this;
    left.copyWithin(0, 1);
    right.copyWithin(0, 1);
    left[3] = frame[0] / 32768;
    right[3] = frame[1] / 32768;
    this.sourceRate = this.ring.rate;
    return true;
  }

  steer(fill, target) {
    this.smoothedFill += (fill - this.smoothedFill) * this.fillAlpha;
    const correction = (this.smoothedFill - target) * DRIFT_PER_SECOND;
    this.drift = 1 + Math.min(DRIFT_LIMIT, Math.max(-DRIFT_LIMIT, correction));
  }

  // Above the ceiling, drops the oldest frames down to the target; returns the fill left.
  cutBacklog(fill, target) {
    if (fill <= Math.max(CUT_FLOOR_SECONDS, target + CUT_MARGIN_SECONDS)) return fill;
    const excess = Math.floor((fill - target) * (this.ring.nextRate() || 1));
    this.ring.skip(excess);
    this.ring.add(SHARED.cuts, 1);
    this.ring.add(SHARED.cutFrames, excess);
    this.smoothedFill = target;
    return this.fillSeconds();
  }

  noteCallback() {
    const now = Date.now();
    if (this.lastCallback && now - this.lastCallback > LATE_CALLBACK_MS) this.ring.add(SHARED.lateCallbacks, 1);
    this.lastCallback = now;
  }

  process(inputs, outputs) {
    this.noteCallback();
    const output = outputs[0];
    const outLeft = output[0];
    const outRight = output[1] ?? output[0];
    const length = outLeft.length;
    const target = this.targetSeconds();
    const fill = this.cutBacklog(this.fillSeconds(), target);
    if (!this.playing && fill > 0 && fill >= target) {
      this.playing = true;
      this.smoothedFill = fill;
    }
    let written = 0;
    if (this.playing) {
      this.steer(fill, target);
      const before = this.ring.framesRead;
      written = this.render(outLeft, outRight, length);
      this.ring.add(SHARED.consumedFrames, (this.ring.framesRead - before) | 0);
      if (written < length) {
        this.playing = false;
        this.ring.add(SHARED.dryOuts, 1);
        if (!this.shared) this.port.postMessage({ type: 'dry' });
      }
    }
    outLeft.fill(0, written);
    if (outRight !== outLeft) outRight.fill(0, written);
    this.ring.add(SHARED.playedFrames, written);
    this.ring.add(SHARED.silentFrames, length - written);
    this.ring.store(SHARED.playing, this.playing ? 1 : 0);
    this.ring.store(SHARED.smoothedFillMicros, Math.round((this.playing ? this.smoothedFill : fill) * 1e6));
    this.ring.store(SHARED.driftPpm, Math.round((this.drift - 1) * 1e6));
    this.ring.store(SHARED.sourceRate, this.sourceRate);
    this.report(length);
    return true;
  }

  // Writes resampled frames until the output is full or the ring runs dry; returns how many.
  render(outLeft, outRight, length) {
    const { left, right } = this;
    let position = this.position;
    let peak = this.peak;
    for (let i = 0; i < length; i++) {
      while (position >= 1) {
        if (!this.advance()) {
          this.position = position;
          this.peak = peak;
          return i;
        }
        position -= 1;
      }
      const l = hermite(left[0], left[1], left[2], left[3], position);
      const r = hermite(right[0], right[1], right[2], right[3], position);
      outLeft[i] = l;
      if (outRight !== outLeft) outRight[i] = r;
      peak = Math.max(peak, Math.abs(l), Math.abs(r));
      position += (this.sourceRate || sampleRate) / sampleRate * this.drift;
    }
    this.position = position;
    this.peak = peak;
    return length;
  }

  // The loudest sample of each report period goes into the header; without a shared buffer the
  // whole state goes over the port too.
  report(frames) {
    this.sinceReport += frames;
    if (this.sinceReport < sampleRate * REPORT_SECONDS) return;
    this.sinceReport = 0;
    this.ring.store(SHARED.peakPermille, Math.round(Math.min(this.peak, 1) * 1000));
    this.peak = 0;
    if (this.shared) return;
    this.port.postMessage({ type: 'stats', ...this.ring.workletState(), bufferedMs: this.fillSeconds() * 1000 });
  }
}

registerProcessor('kalmo-audio', KalmoAudioProcessor);
