// The page's side of the sound: the AudioContext, the worklet that plays
// the ring (kalmo_audio_processor.js), the volume, and the browser's
// autoplay rule. A context made before any click or key starts suspended in
// a normal browser; it is resumed by the first gesture, and until then the
// player says so.
//
// It owns no stream: whoever parses the stream runs an AudioFeed
// (audio_feed.js) on `ring`, the SharedArrayBuffer the worklet reads, which
// a worker can be handed. Without cross-origin isolation `ring` is null and
// the feed must run on this thread, posting its blocks to the worklet;
// `pushBlock` and `stats` do that with a feed of its own, for a player that
// parses the stream on this thread.

import { AudioRing } from './ring.js';
import { AudioFeed, DEFAULT_TARGET_MS } from './audio_feed.js';

// 2.7 s at 48 kHz: room for the highest target the feed may set and the worklet's margin above
// it before a cut (1.35 s) at any rate up to 96 kHz.
const RING_FRAMES = 1 << 17;

export class AudioOutput {
  // options: targetMs (the jitter buffer's usual target), startSuspended (as a browser does
  // before a gesture), onStateChange(state)
  constructor({ targetMs = DEFAULT_TARGET_MS, startSuspended = false, onStateChange } = {}) {
    this.targetMs = targetMs;
    this.onStateChange = onStateChange;
    this.volume = 1;
    this.muted = false;
    this.state = 'starting';
    const shared = typeof SharedArrayBuffer !== 'undefined' && globalThis.crossOriginIsolated === true;
    // Made here, not once the worklet loads, so a worker can be handed it at once.
    this.ring = shared ? { buffer: new SharedArrayBuffer(AudioRing.byteLength(RING_FRAMES)), capacity: RING_FRAMES } : null;
    this.newFeed();
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
    this.node.port.onmessage = ({ data }) => this.feed.workletReport(data);
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
    this.feed.setContextRunning(state === 'running');
    this.onStateChange?.(state);
  }

  // Called from a click or key handler: the only place a browser lets sound start.
  resumeFromGesture() {
    if (this.context && this.context.state === 'suspended') this.context.resume();
  }

  // What a feed on this thread, without a shared ring, posts the worklet.
  postBlock(samples, rate) {
    if (!this.node) return;
    const copy = samples.slice();
    this.node.port.postMessage({ type: 'block', samples: copy, rate }, [copy.buffer]);
  }

  postTarget(targetMs) {
    this.node?.port.postMessage({ type: 'target', targetMs });
  }

  // A fresh feed on this thread for a new session; the worklet's reports over its port go to the newest.
  newFeed() {
    this.feed = new AudioFeed({
      ring: this.ring, targetMs: this.targetMs,
      post: (samples, rate) => this.postBlock(samples, rate), postTarget: (target) => this.postTarget(target),
    });
    this.feed.setContextRunning(this.state === 'running');
    return this.feed;
  }

  // For a player that parses the stream on this thread: the feed of this output's own. A player
  // whose stream runs in a worker runs its feed there and leaves this one idle.
  pushBlock(packet, arrivedAt = performance.now()) {
    this.feed.push(packet, arrivedAt);
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

  get contextStats() {
    const outputLatencyMs = this.context ? ((this.context.baseLatency || 0) + (this.context.outputLatency || 0)) * 1000 : 0;
    return {
      state: this.state,
      contextRate: this.context?.sampleRate ?? 0,
      outputLatencyMs,
      volume: this.volume,
      muted: this.muted,
      shared: Boolean(this.ring),
    };
  }

  // The context's figures with those of this output's own feed.
  get stats() {
    const context = this.contextStats;
    const feed = this.feed.stats;
    return { ...context, ...feed, latencyMs: feed.bufferedMs + context.outputLatencyMs };
  }

  close() {
    this.context?.close();
  }
}
