// The audio worklet: plays the ring's frames, resampled from each stretch's
// own rate to the context's rate by one continuous cubic (Hermite)
// interpolator, so blocks join without clicks and a rate change mid-run is
// followed at its exact frame.
//
// A jitter buffer sits in front of it: playback starts, and resumes after
// running dry, only once the target is queued; while playing, the fill level
// is held near the target by nudging the resampling ratio (at most 1 %,
// smoothed over about a third of a second), never by dropping blocks. A ring
// that runs dry is filled with silence and reported. Only a backlog far
// beyond the target (blocks that queued up while the page was busy or
// hidden, which drift correction would take many seconds to play off) is
// cut back to it at once.

import { AudioRing } from './ring.js';

// How hard the fill error steers the ratio, and how far it may.
const DRIFT_GAIN = 0.02;
const DRIFT_LIMIT = 0.01;
const FILL_SMOOTHING_SECONDS = 0.3;
const REPORT_SECONDS = 0.05;

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
    this.ring = new AudioRing(buffer ?? new ArrayBuffer(AudioRing.byteLength(capacity)), capacity);
    this.setTarget(targetMs);
    // The four frames around the read position, left and right.
    this.left = [0, 0, 0, 0];
    this.right = [0, 0, 0, 0];
    this.frame = [0, 0];
    this.position = 0;
    this.sourceRate = 0;
    this.playing = false;
    this.smoothedFill = this.targetSeconds;
    this.drift = 1;
    this.fillAlpha = 128 / (sampleRate * FILL_SMOOTHING_SECONDS);
    this.counts = { dryOuts: 0, playedFrames: 0, silentFrames: 0, trimmedFrames: 0, consumedFrames: 0 };
    this.peak = 0;
    this.sinceReport = 0;
    this.port.onmessage = ({ data }) => {
      if (data.type === 'block') this.ring.write(data.samples, data.rate);
      else if (data.type === 'target') this.setTarget(data.targetMs);
    };
  }

  setTarget(targetMs) {
    this.targetSeconds = targetMs / 1000;
    this.trimSeconds = this.targetSeconds * 2.5;
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
    this.counts.consumedFrames++;
    return true;
  }

  steer(fill) {
    this.smoothedFill += (fill - this.smoothedFill) * this.fillAlpha;
    const error = (this.smoothedFill - this.targetSeconds) / this.targetSeconds;
    this.drift = 1 + Math.min(DRIFT_LIMIT, Math.max(-DRIFT_LIMIT, error * DRIFT_GAIN));
  }

  process(inputs, outputs) {
    const output = outputs[0];
    const outLeft = output[0];
    const outRight = output[1] ?? output[0];
    const length = outLeft.length;
    let fill = this.fillSeconds();
    if (fill > this.trimSeconds) {
      const excess = Math.floor((fill - this.targetSeconds) * (this.ring.nextRate() || 1));
      this.ring.skip(excess);
      this.counts.trimmedFrames += excess;
      fill = this.fillSeconds();
    }
    if (!this.playing && fill >= this.targetSeconds) {
      // Start at the target: a burst that queued more would otherwise stay as lag.
      if (fill > this.targetSeconds * 1.5) {
        const excess = Math.floor((fill - this.targetSeconds) * (this.ring.nextRate() || 1));
        this.ring.skip(excess);
        this.counts.trimmedFrames += excess;
        fill = this.fillSeconds();
      }
      this.playing = true;
      this.smoothedFill = fill;
    }
    let written = 0;
    if (this.playing) {
      this.steer(fill);
      written = this.render(outLeft, outRight, length);
      this.counts.playedFrames += written;
      if (written < length) {
        this.playing = false;
        this.counts.dryOuts++;
        this.port.postMessage({ type: 'dry' });
      }
    }
    outLeft.fill(0, written);
    if (outRight !== outLeft) outRight.fill(0, written);
    this.counts.silentFrames += length - written;
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

  report(frames) {
    this.sinceReport += frames;
    if (this.sinceReport < sampleRate * REPORT_SECONDS) return;
    this.sinceReport = 0;
    this.port.postMessage({ type: 'stats', ...this.counts, playing: this.playing, drift: this.drift,
      fillMs: this.fillSeconds() * 1000, sourceRate: this.sourceRate, peak: this.peak });
    this.peak = 0;
  }
}

registerProcessor('kalmo-audio', KalmoAudioProcessor);
