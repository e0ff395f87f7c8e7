// The picture: a canvas whose backing store is the frame's own size, scaled
// to its box by CSS (nearest sampling unless smoothing is asked for).
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
      // A canvas keeps the first context kind it gave out, so start afresh.
      const fresh = canvas.cloneNode();
      canvas.replaceWith(fresh);
      return new CanvasRenderer(fresh);
    }
  }
  return new CanvasRenderer(canvas);
}

export class Display {
  constructor(viewport, { renderer = '2d', integerScale = false, smooth = false } = {}) {
    this.viewport = viewport;
    const canvas = document.createElement('canvas');
    canvas.className = 'kalmo-canvas';
    canvas.width = 0;
    canvas.height = 0;
    viewport.append(canvas);
    this.renderer = createRenderer(canvas, renderer);
    this.canvas = (this.renderer.context ?? this.renderer.gl).canvas;
    this.integerScale = integerScale;
    this.smooth = smooth;
    this.aspect = 0;
    this.width = 0;
    this.height = 0;
    this.pending = null;
    this.draws = MAX_SAVED_DRAWS;
    this.lastRefreshAt = 0;
    this.refreshPeriod = 1000 / 60;
    this.counts = { received: 0, shown: 0, dropped: 0 };
    // Per shown frame: message arrival to the end of its upload, in ms.
    this.lastArrivalToDrawMs = 0;
    this.lastDrawMs = 0;
    // A hook for measurements: called with (frame, arrivedAt, drawnAt) after each draw.
    this.onFrameDrawn = null;
    this.applySmoothing();
    this.resizeObserver = new ResizeObserver(() => this.layout());
    this.resizeObserver.observe(viewport);
    this.animationFrame = requestAnimationFrame((now) => this.onRefresh(now));
  }

  // Draws the frame now, or keeps it as the newest for the next refresh; `arrivedAt` is performance.now() of its message.
  pushFrame(frame, arrivedAt = performance.now()) {
    this.counts.received++;
    if (this.pending) this.counts.dropped++;
    this.pending = { frame, arrivedAt };
    if (this.draws >= 1) {
      this.drawPending();
      return;
    }
    // Pages that stop painting (headless, throttled) may skip refresh callbacks; the frame still gets drawn.
    clearTimeout(this.backstop);
    this.backstop = setTimeout(() => this.refresh(), this.refreshPeriod * 2);
  }

  onRefresh(now) {
    this.animationFrame = requestAnimationFrame((next) => this.onRefresh(next));
    const period = now - this.lastRefreshAt;
    // Follows the display's rate; a gap (a hidden page) is not a period.
    if (period > 4 && period < 50) this.refreshPeriod += (period - this.refreshPeriod) * 0.1;
    this.lastRefreshAt = now;
    this.refresh();
  }

  refresh() {
    clearTimeout(this.backstop);
    this.draws = Math.min(this.draws + 1, MAX_SAVED_DRAWS);
    if (this.draws >= 1) this.drawPending();
  }

  // The aspect of an `av` or `geometry` message; 0 or absent means the frame's own.
  setAspect(aspect) {
    this.aspect = Number.isFinite(aspect) && aspect > 0 ? aspect : 0;
    this.layout();
  }

  setIntegerScale(on) {
    this.integerScale = Boolean(on);
    this.layout();
  }

  setSmooth(on) {
    this.smooth = Boolean(on);
    this.applySmoothing();
  }

  applySmoothing() {
    this.canvas.classList.toggle('kalmo-smooth', this.smooth);
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
      this.layout();
    }
    this.renderer.draw(frame);
    const drawnAt = performance.now();
    this.draws--;
    this.counts.shown++;
    this.lastDrawMs = drawnAt - started;
    this.lastArrivalToDrawMs = drawnAt - pending.arrivedAt;
    if (this.onFrameDrawn) this.onFrameDrawn(frame, pending.arrivedAt, drawnAt);
  }

  // The picture's box inside the viewport, in CSS pixels.
  pictureSize() {
    const boxWidth = this.viewport.clientWidth;
    const boxHeight = this.viewport.clientHeight;
    if (!this.width || !this.height || !boxWidth || !boxHeight) return { width: 0, height: 0 };
    const aspect = this.aspect || this.width / this.height;
    if (this.integerScale) {
      const scale = Math.max(1, Math.floor(Math.min(boxWidth / (this.height * aspect), boxHeight / this.height)));
      return { width: Math.round(this.height * scale * aspect), height: this.height * scale };
    }
    if (boxWidth / boxHeight > aspect) return { width: Math.round(boxHeight * aspect), height: boxHeight };
    return { width: boxWidth, height: Math.round(boxWidth / aspect) };
  }

  layout() {
    const { width, height } = this.pictureSize();
    this.canvas.style.width = `${width}px`;
    this.canvas.style.height = `${height}px`;
  }

  // Where a point in client coordinates falls in the frame: whole frame pixels, clamped, and whether it is inside.
  toFrame(clientX, clientY) {
    const box = this.canvas.getBoundingClientRect();
    if (!this.width || box.width <= 0 || box.height <= 0) return { x: 0, y: 0, inside: false };
    const x = Math.floor((clientX - box.left) * this.width / box.width);
    const y = Math.floor((clientY - box.top) * this.height / box.height);
    const inside = x >= 0 && y >= 0 && x < this.width && y < this.height;
    return { x: Math.min(Math.max(x, 0), this.width - 1), y: Math.min(Math.max(y, 0), this.height - 1), inside };
  }

  // Frame pixels per CSS pixel of the scaled picture, for motion under pointer lock.
  frameScale() {
    const box = this.canvas.getBoundingClientRect();
    if (!this.width || box.width <= 0 || box.height <= 0) return { x: 1, y: 1 };
    return { x: this.width / box.width, y: this.height / box.height };
  }

  // The pixels on the canvas now, RGBA rows from the top.
  readPixels() {
    return { width: this.width, height: this.height, data: this.renderer.read(this.width, this.height) };
  }

  destroy() {
    cancelAnimationFrame(this.animationFrame);
    clearTimeout(this.backstop);
    this.resizeObserver.disconnect();
  }
}
