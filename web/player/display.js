// The picture's place on the page: the canvas element, its size in CSS
// pixels (the aspect of the last av or geometry message, integer scaling,
// smoothing) and where a pointer falls in frame pixels. It never draws: the
// frames are painted by frame_painter.js wherever the stream is read.
//
// Drawing happens in the stream worker, on an OffscreenCanvas taken from
// this canvas by transferControlToOffscreen, rather than by handing
// ImageBitmaps to the page: a bitmap must still be put on the canvas by the
// main thread, so a page blocked for a second shows no new frame for that
// second, while an OffscreenCanvas reaches the compositor from the worker
// itself. The bench blocks the page's main thread and counts the frames
// drawn during the blocks by the worker and by the main thread, which is
// where a bitmap would wait too: 28 to 51 a second against none, on a
// loaded machine (bench/RESULTS.md, section web-player). On the main-thread path (no
// Worker, no OffscreenCanvas, or no cross-origin isolation) the same
// painter draws on this canvas directly.

export class Display {
  constructor(viewport, { integerScale = false, smooth = false } = {}) {
    this.viewport = viewport;
    this.integerScale = integerScale;
    this.smooth = smooth;
    this.aspect = 0;
    // The current frame's size in game pixels, whichever thread draws it.
    this.width = 0;
    this.height = 0;
    this.readFrom = null;
    this.newCanvas();
    this.resizeObserver = new ResizeObserver(() => this.layout());
    this.resizeObserver.observe(viewport);
  }

  // A fresh canvas element, replacing the one there was (a canvas handed to a worker cannot be drawn on again here).
  newCanvas() {
    const canvas = document.createElement('canvas');
    canvas.className = 'kalmo-canvas';
    canvas.width = 0;
    canvas.height = 0;
    if (this.canvas) this.canvas.replaceWith(canvas);
    else this.viewport.append(canvas);
    this.canvas = canvas;
    this.width = 0;
    this.height = 0;
    this.applySmoothing();
    this.layout();
    return canvas;
  }

  // Called by whatever draws, when the frame's size changes.
  setFrameSize(width, height) {
    if (width === this.width && height === this.height) return;
    this.width = width;
    this.height = height;
    this.layout();
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

  // The pixels on the canvas now, RGBA rows from the top, from whichever thread draws.
  async readPixels() {
    if (!this.readFrom) return { width: 0, height: 0, data: new Uint8ClampedArray(0) };
    return this.readFrom();
  }

  destroy() {
    this.resizeObserver.disconnect();
  }
}
