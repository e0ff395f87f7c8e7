// The page's side of the sound: the AudioContext, the worklet that plays
// the ring (kalmo_audio_processor.js), the volume, and the browser's
// autoplay rule. A context made before any click or key starts suspended in
// a normal browser; it is resumed by the first gesture, and until then the
// player says so. Blocks that arrive while the context cannot play are not
// queued, so the sound starts at the target latency, not behind it.
//
// A ring that ran dry is an underrun when the blocks were still coming; when
// the stream itself paused for longer than SILENCE_GAP_MS (the core sent no
// sound, as engine cores do between sounds) it is counted as a silence.
// After an underrun the jitter buffer's target grows by a step (up to a
// ceiling), so a machine too busy for the usual target stutters once, not
// on and on; after a long run without one it steps back toward the usual.
// Underruns in the first seconds of sound, while the page itself is still
// loading, are counted but move nothing.

import { AudioRing } from './ring.js';

const RING_FRAMES = 1 << 16;
const SILENCE_GAP_MS = 250;
const TARGET_STEP_MS = 25;
const TARGET_CEILING_MS = 150;
const TARGET_CALM_MS = 30000;
const START_UP_MS = 2000;

export class AudioOutput {
  // options: targetMs (jitter buffer), startSuspended (as a browser does before a gesture), onStateChange(state)
  constructor({ targetMs = 50, startSuspended = false, onStateChange } = {}) {
    this.baseTargetMs = targetMs;
    this.targetMs = targetMs;
    this.targetChangedAt = 0;
    this.onStateChange = onStateChange;
    this.volume = 1;
    this.muted = false;
    this.state = 'starting';
    this.counts = { blocks: 0, framesReceived: 0, blocksNotQueued: 0, underruns: 0, silences: 0 };
    this.worklet = { dryOuts: 0, playedFrames: 0, silentFrames: 0, trimmedFrames: 0, consumedFrames: 0,
      playing: false, drift: 1, fillMs: 0, sourceRate: 0, peak: 0 };
    this.lastArrival = 0;
    this.dryPending = false;
    this.lastRate = 0;
    // Made at once, so a stream started in the same turn can be handed the ring.
    const shared = typeof SharedArrayBuffer !== 'undefined' && globalThis.crossOriginIsolated === true;
    this.ring = shared ? { buffer: new SharedArrayBuffer(AudioRing.byteLength(RING_FRAMES)), capacity: RING_FRAMES } : null;
    this.sharedRing = this.ring ? new AudioRing(this.ring.buffer, RING_FRAMES) : null;
    this.ready = this.start(startSuspended).catch((error) => {
      this.error = String(error?.message ?? error);
      this.setState('unavailable');
    });
  }

  async start(startSuspended) {
    if (typeof AudioContext === 'undefined' || typeof AudioWorkletNode === 'undefined') {
      throw new Error('this browser has no AudioWorklet');
    }
    const context = new AudioContext({ latencyHint: 'interactive' });
    this.context = context;
    if (startSuspended) await context.suspend();
    await context.audioWorklet.addModule(new URL('./kalmo_audio_processor.js', import.meta.url));
    this.node = new AudioWorkletNode(context, 'kalmo-audio', {
      numberOfInputs: 0, outputChannelCount: [2],
      processorOptions: { buffer: this.ring?.buffer ?? null, capacity: RING_FRAMES, targetMs: this.targetMs },
    });
    this.node.port.onmessage = ({ data }) => this.onWorkletMessage(data);
    this.gain = new GainNode(context, { gain: this.effectiveGain() });
    this.node.connect(this.gain).connect(context.destination);
    context.onstatechange = () => this.followContext();
    this.followContext();
  }

  followContext() {
    this.setState(this.context.state === 'running' ? 'running' : 'waiting-for-gesture');
  }

  setState(state) {
    if (state === this.state) return;
    this.state = state;
    this.onStateChange?.(state);
  }

  // Called from a click or key handler: the only place a browser lets sound start.
  resumeFromGesture() {
    if (this.context && this.context.state === 'suspended') this.context.resume();
  }

  pushBlock(packet, arrivedAt = performance.now()) {
    this.counts.blocks++;
    this.counts.framesReceived += packet.frames;
    if (this.dryPending) {
      if (arrivedAt - this.lastArrival >= SILENCE_GAP_MS) {
        this.counts.silences++;
      } else {
        this.counts.underruns++;
        if (arrivedAt - this.firstQueuedAt > START_UP_MS) {
          this.setTarget(Math.min(this.targetMs + TARGET_STEP_MS, TARGET_CEILING_MS), arrivedAt);
        }
      }
      this.dryPending = false;
    }
    this.lastArrival = arrivedAt;
    this.lastRate = packet.sampleRate;
    if (this.targetMs > this.baseTargetMs && arrivedAt - this.targetChangedAt > TARGET_CALM_MS) {
      this.setTarget(Math.max(this.targetMs - TARGET_STEP_MS, this.baseTargetMs), arrivedAt);
    }
    if (this.state !== 'running' || !this.node) {
      this.counts.blocksNotQueued++;
      return;
    }
    this.firstQueuedAt ??= arrivedAt;
    if (this.sharedRing) {
      if (!this.sharedRing.write(packet.samples, packet.sampleRate)) this.counts.blocksNotQueued++;
      return;
    }
    this.postBlock(packet.samples.slice(), packet.sampleRate);
  }

  // Hands a block to the worklet when there is no shared ring; `samples` is transferred.
  postBlock(samples, rate) {
    this.node?.port.postMessage({ type: 'block', samples, rate }, [samples.buffer]);
  }

  setTarget(targetMs, now) {
    this.targetChangedAt = now;
    if (targetMs === this.targetMs) return;
    this.targetMs = targetMs;
    this.node?.port.postMessage({ type: 'target', targetMs });
  }

  onWorkletMessage(data) {
    if (data.type === 'dry') this.dryPending = true;
    else if (data.type === 'stats') this.worklet = data;
  }

  effectiveGain() {
    return this.muted ? 0 : this.volume;
  }

  setVolume(volume) {
    this.volume = Math.min(1, Math.max(0, Number(volume) || 0));
    this.applyGain();
  }

  setMuted(muted) {
    this.muted = Boolean(muted);
    this.applyGain();
  }

  applyGain() {
    // A short ramp, so changing the volume does not click.
    if (this.gain) this.gain.gain.setTargetAtTime(this.effectiveGain(), this.context.currentTime, 0.015);
  }

  get stats() {
    const rate = this.worklet.sourceRate || this.lastRate;
    const bufferedMs = this.sharedRing && rate ? this.sharedRing.buffered / rate * 1000 : this.worklet.fillMs;
    const outputMs = this.context ? ((this.context.baseLatency || 0) + (this.context.outputLatency || 0)) * 1000 : 0;
    return {
      state: this.state,
      contextRate: this.context?.sampleRate ?? 0,
      sourceRate: rate,
      targetMs: this.targetMs,
      bufferedMs,
      latencyMs: bufferedMs + outputMs,
      outputLatencyMs: outputMs,
      playing: this.worklet.playing,
      drift: this.worklet.drift,
      peak: this.worklet.peak,
      framesConsumed: this.worklet.consumedFrames,
      framesPlayed: this.worklet.playedFrames,
      dryOuts: this.worklet.dryOuts,
      trimmedFrames: this.worklet.trimmedFrames,
      volume: this.volume,
      muted: this.muted,
      shared: Boolean(this.ring),
      ...this.counts,
    };
  }

  // Stand-in for the sound branch's split: the context's side of the figures.
  // With the feed in a worker the worklet's dry-outs are not classified here,
  // so every one counts as an underrun.
  get contextStats() {
    const { state, contextRate, outputLatencyMs, volume, muted, shared, playing, drift, peak, framesConsumed,
      framesPlayed, dryOuts, trimmedFrames } = this.stats;
    return { state, contextRate, outputLatencyMs, volume, muted, shared, playing, drift, peak, framesConsumed,
      framesPlayed, dryOuts, trimmedFrames, underruns: dryOuts, silences: 0 };
  }

  close() {
    this.context?.close();
  }
}
