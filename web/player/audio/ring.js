// The sound ring between the page and the audio worklet: interleaved 16-bit
// stereo frames at the rate each block came with, and a small table saying
// at which frame the rate changed, so the worklet resamples every stretch
// from its own rate. One writer and one reader; their counters are frames
// written and frames read since the start, compared modulo 2^32, so they
// may wrap. Over a SharedArrayBuffer the feed (in the stream's worker or on
// the page) writes and the worklet reads the same memory; without one (a
// page served without cross-origin isolation) the worklet keeps the ring and
// the feed posts it the blocks.
//
// The header also carries what the two sides must know of each other, so
// neither needs the other's thread to be free: the feed writes the target,
// the worklet writes its playing state and counts. Each field has one
// writer; the other side only loads it.

const WRITTEN = 0;
const READ = 1;
const RATES_WRITTEN = 2;
const HEADER_INTS = 16;
const RATE_ENTRIES = 64;

// Fields of the shared header beyond the ring's own counters, by writer.
export const SHARED = Object.freeze({
  // The feed's.
  targetMicros: 3,
  // The worklet's.
  dryOuts: 4,
  playing: 5,
  smoothedFillMicros: 6,
  cuts: 7,
  cutFrames: 8,
  driftPpm: 9,
  consumedFrames: 10,
  playedFrames: 11,
  silentFrames: 12,
  peakPermille: 13,
  sourceRate: 14,
  lateCallbacks: 15,
});

export class AudioRing {
  // capacity: frames, a power of two.
  static byteLength(capacity) {
    return (HEADER_INTS + RATE_ENTRIES * 2) * 4 + capacity * 4;
  }

  constructor(buffer, capacity) {
    if (capacity & (capacity - 1)) throw new RangeError('ring capacity must be a power of two');
    this.capacity = capacity;
    this.mask = capacity - 1;
    this.header = new Int32Array(buffer, 0, HEADER_INTS);
    this.rates = new Int32Array(buffer, HEADER_INTS * 4, RATE_ENTRIES * 2);
    this.samples = new Int16Array(buffer, (HEADER_INTS + RATE_ENTRIES * 2) * 4, capacity * 2);
    // Writer's side: the last rate entered in the table.
    this.lastWrittenRate = 0;
    // Reader's side: next table entry to apply and the rate now in force.
    this.ratesApplied = 0;
    this.rate = 0;
  }

  load(field) {
    return Atomics.load(this.header, field);
  }

  store(field, value) {
    Atomics.store(this.header, field, value);
  }

  add(field, value) {
    Atomics.add(this.header, field, value);
  }

  // The worklet's side of the header as a plain object (what the feed reads, or what a worklet
  // without a shared buffer reports over its port).
  workletState() {
    return {
      dryOuts: this.load(SHARED.dryOuts),
      playing: this.load(SHARED.playing) === 1,
      smoothedFillMs: this.load(SHARED.smoothedFillMicros) / 1000,
      cuts: this.load(SHARED.cuts),
      cutFrames: this.load(SHARED.cutFrames) >>> 0,
      drift: 1 + this.load(SHARED.driftPpm) / 1e6,
      framesConsumed: this.load(SHARED.consumedFrames) >>> 0,
      framesPlayed: this.load(SHARED.playedFrames) >>> 0,
      framesSilent: this.load(SHARED.silentFrames) >>> 0,
      peak: this.load(SHARED.peakPermille) / 1000,
      sourceRate: this.load(SHARED.sourceRate),
      lateCallbacks: this.load(SHARED.lateCallbacks),
    };
  }

  // Frames written and not yet read.
  get buffered() {
    return (Atomics.load(this.header, WRITTEN) - Atomics.load(this.header, READ)) | 0;
  }

  get framesRead() {
    return Atomics.load(this.header, READ) >>> 0;
  }

  // Appends a block whole, or nothing when it does not fit; returns whether it went in.
  write(samples, rate) {
    const frames = samples.length >> 1;
    if (frames === 0 || this.buffered + frames > this.capacity) return false;
    const written = Atomics.load(this.header, WRITTEN);
    if (rate !== this.lastWrittenRate) {
      const entry = Atomics.load(this.header, RATES_WRITTEN);
      const slot = (entry % RATE_ENTRIES) * 2;
      this.rates[slot] = written;
      this.rates[slot + 1] = rate;
      Atomics.store(this.header, RATES_WRITTEN, entry + 1);
      this.lastWrittenRate = rate;
    }
    const start = (written & this.mask) * 2;
    const firstPart = Math.min(samples.length, this.samples.length - start);
    this.samples.set(samples.subarray(0, firstPart), start);
    if (firstPart < samples.length) this.samples.set(samples.subarray(firstPart), 0);
    Atomics.store(this.header, WRITTEN, (written + frames) | 0);
    return true;
  }

  // Reader: the rate of the next frame to read (the newest known before any frame is read).
  nextRate() {
    this.applyRates(Atomics.load(this.header, READ));
    return this.rate;
  }

  // Reader: copies the next frame into `into` ([left, right]); false when the ring is empty.
  readFrame(into) {
    const read = Atomics.load(this.header, READ);
    if (((Atomics.load(this.header, WRITTEN) - read) | 0) <= 0) return false;
    this.applyRates(read);
    const index = (read & this.mask) * 2;
    into[0] = this.samples[index];
    into[1] = this.samples[index + 1];
    Atomics.store(this.header, READ, (read + 1) | 0);
    return true;
  }

  // Reader: drops `frames` of the oldest frames.
  skip(frames) {
    const read = Atomics.load(this.header, READ);
    const count = Math.min(frames, this.buffered);
    this.applyRates((read + count - 1) | 0);
    Atomics.store(this.header, READ, (read + count) | 0);
  }

  applyRates(frame) {
    const entries = Atomics.load(this.header, RATES_WRITTEN);
    while (this.ratesApplied < entries) {
      const slot = (this.ratesApplied % RATE_ENTRIES) * 2;
      if (((frame - this.rates[slot]) | 0) < 0) break;
      this.rate = this.rates[slot + 1];
      this.ratesApplied++;
    }
  }
}
