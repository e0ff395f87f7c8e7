// Draws the frames of the stream on a canvas, where the stream is read: an
// OffscreenCanvas in the stream worker, or the page's own canvas on the
// main-thread path. The canvas's backing store is the frame's own size; the
// page scales it to its box (display.js).
//
// Frames are drawn as they arrive, at most one per display refresh: each
// refresh gives one draw, and up to two can be saved, so a frame is drawn
// the moment it comes unless the draws are spent; then it waits for the next
// refresh, and a frame that arrives while another still waits replaces it
// and is counted as dropped, so no backlog can build up. The saved draws let
// a frame that comes a little early be drawn at once; a stream that runs
// ahead of the display waits for the refresh instead (at most one period,
// which is when a compositor would show it anyway).
//
// Two renderers upload the pixels: the 2D canvas (putImageData) and WebGL2
// (texSubImage2D). The bench times both; '2d' is the default because it won
// there (bench/RESULTS.md, section web-player). Both keep what they drew
// readable (getImageData, preserveDrawingBuffer) so a page or a test can read
// the pixels back.

const VERTEX_SHADER = `#version 300 es
out vec2 uv;
void main() {
  vec2 corner = vec2(float(gl_VertexID & 1), float(gl_VertexID >> 1));
  uv = vec2(corner.x, 1.0 - corner.y);
  gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}`;
const FRAGMENT_SHADER = `#version 300 es
precision mediump float;
uniform sampler2D frame;
in vec2 uv;
out vec4 colour;
void main() { colour = vec4(texture(frame, uv).rgb, 1.0); }`;

// Draws a quiet stretch may save up, so a frame a little early is still drawn at once.
const MAX_SAVED_DRAWS = 2;

class CanvasRenderer {
  constructor(canvas) {
    this.name = '2d';
    this.context = canvas.getContext('2d', { alpha: false, desynchronized: true });
  }

  draw(frame) {
    const pixels = new Uint8ClampedArray(frame.rgba.buffer, frame.rgba.byteOffset, frame.rgba.byteLength);
    this.context.putImageData(new ImageData(pixels, frame.width, frame.height), 0, 0);
  }

  read(width, height) {
    return this.context.getImageData(0, 0, width, height).data;
  }
}

class WebGLRenderer {
  constructor(canvas) {
    this.name = 'webgl';
    const gl = canvas.getContext('webgl2', { alpha: false, desynchronized: true, antialias: false,
      depth: false, preserveDrawingBuffer: true });
    if (!gl) throw new Error('WebGL2 is not available');
    this.gl = gl;
    const program = gl.createProgram();
    for (const [type, source] of [[gl.VERTEX_SHADER, VERTEX_SHADER], [gl.FRAGMENT_SHADER, FRAGMENT_SHADER]]) {
      const shader = gl.createShader(type);
      gl.shaderSource(shader, source);
      gl.compileShader(shader);
      gl.attachShader(program, shader);
    }
    gl.linkProgram(program);
    gl.useProgram(program);
    gl.bindTexture(gl.TEXTURE_2D, gl.createTexture());
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE);
    gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
    this.textureWidth = 0;
    this.textureHeight = 0;
  }

  draw(frame) {
    const gl = this.gl;
    if (frame.width !== this.textureWidth || frame.height !== this.textureHeight) {
      gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA8, frame.width, frame.height, 0, gl.RGBA, gl.UNSIGNED_BYTE, null);
      this.textureWidth = frame.width;
      this.textureHeight = frame.height;
    }
    gl.viewport(0, 0, frame.width, frame.height);
    gl.texSubImage2D(gl.TEXTURE_2D, 0, 0, 0, frame.width, frame.height, gl.RGBA, gl.UNSIGNED_BYTE, frame.rgba);
    gl.drawArrays(gl.TRIANGLE_STRIP, 0, 4);
  }

  read(width, height) {
    const gl = this.gl;
    const rows = new Uint8Array(width * height * 4);
    gl.readPixels(0, 0, width, height, gl.RGBA, gl.UNSIGNED_BYTE, rows);
    // readPixels starts at the bottom row.
    const pixels = new Uint8ClampedArray(rows.length);
    const stride = width * 4;
    for (let y = 0; y < height; y++) pixels.set(rows.subarray((height - 1 - y) * stride, (height - y) * stride), y * stride);
    return pixels;
  }
}

function createRenderer(canvas, name) {
  if (name === 'webgl') {
    try {
      return new WebGLRenderer(canvas);
    } catch {
      // A refused WebGL2 context leaves the canvas free for a 2D one.
    }
  }
  return new CanvasRenderer(canvas);
}

// Workers have requestAnimationFrame where they may draw an OffscreenCanvas; elsewhere a timer stands in.
const nextRefresh = typeof requestAnimationFrame === 'function'
  ? (callback) => requestAnimationFrame(callback)
  : (callback) => setTimeout(() => callback(performance.now()), 1000 / 60);
const cancelRefresh = typeof cancelAnimationFrame === 'function' ? cancelAnimationFrame : clearTimeout;

export class FramePainter {
  // canvas: an HTMLCanvasElement or an OffscreenCanvas; onFrameSize(width, height) when the frame's size changes;
  // onFrameDrawn(frame, arrivedAt, drawnAt) after each draw, for measurements.
  constructor(canvas, { renderer = '2d', onFrameSize, onFrameDrawn } = {}) {
    this.canvas = canvas;
    this.renderer = createRenderer(canvas, renderer);
    this.onFrameSize = onFrameSize;
    this.onFrameDrawn = onFrameDrawn;
    this.width = 0;
    this.height = 0;
    this.pending = null;
    this.draws = MAX_SAVED_DRAWS;
    this.lastRefreshAt = 0;
    this.refreshPeriod = 1000 / 60;
    this.counts = { received: 0, shown: 0, dropped: 0, refreshes: 0 };
    // Per shown frame: message arrival to the end of its upload, in ms.
    this.lastArrivalToDrawMs = 0;
    this.lastDrawMs = 0;
    this.backstop = 0;
    this.refreshHandle = nextRefresh((now) => this.onRefresh(now));
  }

  // Draws the frame now, or keeps it as the newest for the next refresh; `arrivedAt` is performance.now() of its message.
  push(frame, arrivedAt = performance.now()) {
    this.counts.received++;
    if (this.pending) this.counts.dropped++;
    this.pending = { frame, arrivedAt };
    if (this.draws >= 1) {
      this.drawPending();
      return;
    }
    // Pages that stop painting (headless, throttled, a worker while the page is blocked) may skip refresh
    // callbacks; the frame still gets drawn. Set once, not pushed back by every newer frame, so a steady
    // stream cannot keep postponing it.
    this.backstop ||= setTimeout(() => this.refresh(), this.refreshPeriod * 2);
  }

  onRefresh(now) {
    this.refreshHandle = nextRefresh((next) => this.onRefresh(next));
    const period = now - this.lastRefreshAt;
    // Follows the display's rate; a gap (a hidden page) is not a period.
    if (period > 4 && period < 50) this.refreshPeriod += (period - this.refreshPeriod) * 0.1;
    this.lastRefreshAt = now;
    this.counts.refreshes++;
    this.refresh();
  }

  refresh() {
    clearTimeout(this.backstop);
    this.backstop = 0;
    this.draws = Math.min(this.draws + 1, MAX_SAVED_DRAWS);
    if (this.draws >= 1) this.drawPending();
  }

  drawPending() {
    const pending = this.pending;
    if (!pending) return;
    this.pending = null;
    const { frame } = pending;
    const started = performance.now();
    if (frame.width !== this.width || frame.height !== this.height) {
      this.width = frame.width;
      this.height = frame.height;
      this.canvas.width = frame.width;
      this.canvas.height = frame.height;
      this.onFrameSize?.(frame.width, frame.height);
    }
    this.renderer.draw(frame);
    const drawnAt = performance.now();
    this.draws--;
    this.counts.shown++;
    this.lastDrawMs = drawnAt - started;
    this.lastArrivalToDrawMs = drawnAt - pending.arrivedAt;
    this.onFrameDrawn?.(frame, pending.arrivedAt, drawnAt);
  }

  // The pixels on the canvas now, RGBA rows from the top.
  readPixels() {
    if (!this.width || !this.height) return { width: 0, height: 0, data: new Uint8ClampedArray(0) };
    return { width: this.width, height: this.height, data: this.renderer.read(this.width, this.height) };
  }

  get stats() {
    return { ...this.counts, width: this.width, height: this.height, renderer: this.renderer.name,
      drawMs: this.lastDrawMs, arrivalToDrawMs: this.lastArrivalToDrawMs };
  }

  destroy() {
    cancelRefresh(this.refreshHandle);
    clearTimeout(this.backstop);
  }
}
