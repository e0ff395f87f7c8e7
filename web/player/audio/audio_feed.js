// Stand-in for the sound branch's AudioFeed, with its interface only: writes
// each block into the shared ring (or posts it when there is none) while the
// context can play, and reports what it queued. The sound branch's feed,
// which also classifies underruns and steps the target, replaces this file.

import { AudioRing } from './ring.js';

export class AudioFeed {
  constructor({ ring, post, targetMs = 50 }) {
    this.ring = ring ? new AudioRing(ring.buffer, ring.capacity) : null;
    this.post = post;
    this.targetMs = targetMs;
    this.running = false;
    this.rate = 0;
    this.counts = { blocks: 0, framesReceived: 0, blocksNotQueued: 0 };
  }

  setContextRunning(running) {
    this.running = Boolean(running);
  }

  push(packet) {
    this.counts.blocks++;
    this.counts.framesReceived += packet.frames;
    this.rate = packet.sampleRate;
    if (!this.running) {
      this.counts.blocksNotQueued++;
      return;
    }
    if (this.ring) {
      if (!this.ring.write(packet.samples, packet.sampleRate)) this.counts.blocksNotQueued++;
      return;
    }
    this.post?.(packet.samples.slice(), packet.sampleRate);
  }

  get stats() {
    const bufferedMs = this.ring && this.rate ? this.ring.buffered / this.rate * 1000 : 0;
    return { bufferedMs, targetMs: this.targetMs, sourceRate: this.rate, ...this.counts };
  }
}
