// The stream's side of the player: the connection (socket or port), the
// packets it carries, the frames painted on the canvas, the sound written
// into the audio ring. It runs in the stream worker (stream_worker.js) or,
// where a worker cannot do the job, on the page's main thread; either way it
// tells the page what happened through one `report(message, transfer)`
// function, with the same messages, so the page's code is the same for both.
//
// Reports: {type:'open'}; {type:'status', status}; {type:'bridge', message};
// {type:'frame', width, height, video} for every video frame received
// (drawn or not; `video` is the painter's figures); {type:'stats', video, audio} a few times a second and at the end;
// {type:'close', outcome}. A frame is never copied on its way: the parser
// hands out a view of the message, the painter uploads it. A frame of tiles
// is the decoder's own new buffer, its unchanged tiles copied once from the
// frame before.

import { Connection } from './connection.js';
import { FramePainter } from './frame_painter.js';
import { AudioFeed } from './audio/audio_feed.js';

const STATS_EVERY_MS = 100;
// Timestamps kept for measurements (frames drawn, messages arrived): about a minute at 60 fps.
const TIMELINE_LENGTH = 4096;

class Timeline {
  constructor() {
    this.times = new Float64Array(TIMELINE_LENGTH * 2);
    this.count = 0;
  }

  add(first, second = 0) {
    const slot = (this.count % TIMELINE_LENGTH) * 2;
    this.times[slot] = first;
    this.times[slot + 1] = second;
    this.count++;
  }

  // Oldest first, as [first, second] pairs in epoch milliseconds.
  entries() {
    const kept = Math.min(this.count, TIMELINE_LENGTH);
    const entries = [];
    for (let i = this.count - kept; i < this.count; i++) {
      const slot = (i % TIMELINE_LENGTH) * 2;
      entries.push([this.times[slot], this.times[slot + 1]]);
    }
    return entries;
  }
}

const epoch = (now) => performance.timeOrigin + now;

export class Stream {
  // source: WebSocket URL or MessagePort; canvas: HTMLCanvasElement or OffscreenCanvas;
  // ring: {buffer, capacity}; feed: the sound's feed when the page made it (on the main thread, where
  // a worklet without a shared ring reports to it), else one is made here over the ring.
  constructor({ source, canvas, renderer, ring, feed, audioTargetMs, report }) {
    this.report = report;
    this.painter = new FramePainter(canvas, {
      renderer,
      onFrameDrawn: (frame, arrivedAt, drawnAt) => this.drawn.add(epoch(arrivedAt), epoch(drawnAt)),
    });
    this.feed = feed ?? new AudioFeed({ ring, targetMs: audioTargetMs });
    this.drawn = new Timeline();
    this.arrivals = new Timeline();
    this.lastArrival = -1;
    this.connection = new Connection(source, {
      onOpen: () => report({ type: 'open' }),
      onPacket: (packet, arrivedAt) => this.onPacket(packet, arrivedAt),
      onBridge: (message) => report({ type: 'bridge', message }),
      onClose: (outcome) => {
        this.reportStats();
        report({ type: 'close', outcome });
        clearInterval(this.statsTimer);
      },
    });
    this.statsTimer = setInterval(() => this.reportStats(), STATS_EVERY_MS);
  }

  onPacket(packet, arrivedAt) {
    // One entry per message, however many packets it held.
    if (arrivedAt !== this.lastArrival) this.arrivals.add(epoch(arrivedAt), packet.type === 'video' ? 1 : 0);
    this.lastArrival = arrivedAt;
    if (packet.type === 'video') {
      this.painter.push(packet, arrivedAt);
      this.report({ type: 'frame', width: packet.width, height: packet.height, video: this.videoStats });
    } else if (packet.type === 'audio') {
      this.feed.push(packet, arrivedAt);
    } else if (packet.type === 'status') {
      // The status without its raw bytes, which would be a copy of the message.
      const { bytes, ...status } = packet;
      this.report({ type: 'status', status });
    }
  }

  send(line) {
    return this.connection.send(line);
  }

  setAudioRunning(running) {
    this.feed.setContextRunning(running);
  }

  readPixels() {
    return this.painter.readPixels();
  }

  // When frames were drawn and messages came, in epoch milliseconds: {drawn: [[arrivedAt, drawnAt]], arrivals: [[at, isVideo]]}.
  timeline() {
    return { drawn: this.drawn.entries(), arrivals: this.arrivals.entries() };
  }

  // `takenAt` (epoch ms): a worker's figures reach the page up to a report period late, so rates are
  // measured between the times they were taken, not read.
  // The painter's figures, the codec frames came in, tile messages lost and whole frames asked for.
  get videoStats() {
    return { ...this.painter.stats, ...this.connection.videoCounts };
  }

  get stats() {
    return { video: this.videoStats, audio: { ...this.feed.stats, takenAt: epoch(performance.now()) } };
  }

  reportStats() {
    this.report({ type: 'stats', ...this.stats });
  }

  close() {
    this.connection.close();
  }

  destroy() {
    clearInterval(this.statsTimer);
    this.connection.close();
    this.painter.destroy();
  }
}
