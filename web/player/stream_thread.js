// Where the stream runs, seen from the page: in the stream worker when the
// browser allows it, else on the main thread, with the same Stream and the
// same reports either way. The worker needs a module Worker, an
// OffscreenCanvas from transferControlToOffscreen, and a SharedArrayBuffer
// ring (a cross-origin isolated page), since without a shared ring the
// sound would have to go through the main thread anyway. `thread` and
// `reason` say which path was taken and why.

import { Stream } from './stream.js';
import { AudioFeed } from './audio/audio_feed.js';

// Why the stream cannot run in a worker here, or '' when it can.
function workerRefusal(canvas, ring, asked) {
  if (asked === 'main') return 'the page asked for the main thread';
  if (typeof Worker !== 'function') return 'this browser has no Worker';
  if (typeof canvas.transferControlToOffscreen !== 'function') return 'this browser has no OffscreenCanvas';
  if (!globalThis.crossOriginIsolated || typeof SharedArrayBuffer !== 'function') {
    return 'the page is not cross-origin isolated, so there is no shared audio ring';
  }
  if (!ring) return 'the sound has no shared ring';
  return '';
}

// options: source, display (display.js), renderer, ring, newFeed() (the sound's feed on this thread), audioTargetMs, thread ('worker' | 'main' | undefined);
// report(message) receives the stream's reports on the main thread.
export function startStream(options, report) {
  const refusal = workerRefusal(options.display.canvas, options.ring, options.thread);
  if (refusal) return new MainThreadStream(options, report, refusal);
  return new WorkerStream(options, report);
}

class MainThreadStream {
  constructor({ source, display, renderer, ring, newFeed, audioTargetMs }, report, reason) {
    this.thread = 'main';
    this.reason = reason;
    const canvas = display.canvas;
    this.stream = new Stream({
      source, canvas, renderer, ring, feed: newFeed(), audioTargetMs,
      report: (message) => {
        if (message.type === 'stats') this.latest = message;
        report(message);
      },
    });
    display.readFrom = async () => this.stream.readPixels();
    this.latest = { video: this.stream.painter.stats, audio: this.stream.feed.stats };
  }

  get stats() {
    return this.stream.stats;
  }

  send(line) {
    return this.stream.send(line);
  }

  setAudioRunning(running) {
    this.stream.setAudioRunning(running);
  }

  async timeline() {
    return this.stream.timeline();
  }

  close() {
    this.stream.close();
  }

  destroy() {
    this.stream.destroy();
  }
}

class WorkerStream {
  constructor(options, report) {
    this.thread = 'worker';
    this.reason = '';
    this.options = options;
    this.report = report;
    this.replies = new Map();
    this.nextId = 1;
    this.open = false;
    this.ended = false;
    this.latest = { video: { received: 0, shown: 0, dropped: 0, width: 0, height: 0, renderer: options.renderer ?? '2d',
      drawMs: 0, arrivalToDrawMs: 0 }, audio: AudioFeed.idleStats(options.audioTargetMs) };
    this.worker = new Worker(new URL('./stream_worker.js', import.meta.url), { type: 'module' });
    this.worker.onmessage = ({ data }) => this.receive(data);
    // A worker that cannot load hands nothing back: the source and canvas are only sent once it runs.
    this.worker.onerror = (event) => {
      event.preventDefault?.();
      if (!this.started) {
        this.fallBack(`the stream worker did not start: ${event.message || 'error'}`);
        return;
      }
      // A fault inside the running stream ends the session where a person sees it, never silently.
      if (this.ended) return;
      this.ended = true;
      this.worker.terminate();
      this.report({ type: 'close', outcome: { clean: false, code: 0, reason: '', error: `the stream worker failed: ${event.message || 'error'}` } });
    };
  }

  start() {
    const { source, display, renderer, ring, audioTargetMs } = this.options;
    this.started = true;
    const canvas = display.canvas.transferControlToOffscreen();
    display.readFrom = () => this.request('read');
    const transfer = typeof source === 'string' ? [canvas] : [canvas, source];
    this.worker.postMessage({ type: 'start', source, canvas, renderer, ring, audioTargetMs }, transfer);
    if (this.pendingAudio !== undefined) this.setAudioRunning(this.pendingAudio);
  }

  fallBack(reason) {
    this.worker.terminate();
    this.options.display.newCanvas();
    this.fallback = new MainThreadStream(this.options, this.report, reason);
    this.thread = 'main';
    this.reason = reason;
    if (this.pendingAudio !== undefined) this.fallback.setAudioRunning(this.pendingAudio);
  }

  receive(data) {
    switch (data.type) {
    case 'ready':
      this.start();
      return;
    case 'reply': {
      const resolve = this.replies.get(data.id);
      this.replies.delete(data.id);
      resolve?.(data.value);
      return;
    }
    case 'stats':
      this.latest = data;
      break;
    case 'frame':
      this.latest = { ...this.latest, video: data.video };
      break;
    case 'open':
      this.open = true;
      break;
    case 'close':
      this.ended = true;
      break;
    default:
      break;
    }
    this.report(data);
  }

  request(type) {
    if (this.fallback) return this.fallback.stream.readPixels();
    const id = this.nextId++;
    return new Promise((resolve) => {
      this.replies.set(id, resolve);
      this.worker.postMessage({ type, id });
    });
  }

  get stats() {
    return this.fallback ? this.fallback.stats : this.latest;
  }

  send(line) {
    if (this.fallback) return this.fallback.send(line);
    if (!this.open || this.ended) return false;
    this.worker.postMessage({ type: 'send', line });
    return true;
  }

  setAudioRunning(running) {
    if (this.fallback) {
      this.fallback.setAudioRunning(running);
      return;
    }
    this.pendingAudio = running;
    if (this.started) this.worker.postMessage({ type: 'audio', running });
  }

  async timeline() {
    if (this.fallback) return this.fallback.timeline();
    return this.request('timeline');
  }

  close() {
    if (this.fallback) {
      this.fallback.close();
      return;
    }
    // The worker closes its link (the bridge then sends QUIT) and ends itself.
    this.worker.postMessage({ type: 'close' });
  }

  destroy() {
    if (this.fallback) {
      this.fallback.destroy();
      return;
    }
    this.worker.postMessage({ type: 'close' });
    for (const resolve of this.replies.values()) resolve(null);
    this.replies.clear();
  }
}
