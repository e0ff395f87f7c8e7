// Keeps the screen awake while a game plays, through the Wake Lock API where
// the browser offers it (a phone would otherwise dim and lock in the middle
// of a cut-scene, since watching is not touching). The browser drops the
// lock by itself when the page is hidden; it is taken again when the page
// is visible and the game still plays, and released when the game ends.

export class ScreenAwake {
  constructor() {
    this.wanted = false;
    this.sentinel = null;
    this.onVisibility = () => {
      if (document.visibilityState === 'visible') this.take();
    };
    document.addEventListener('visibilitychange', this.onVisibility);
  }

  // Whether the browser holds the screen awake for the player now.
  get held() {
    return Boolean(this.sentinel && !this.sentinel.released);
  }

  hold(on) {
    this.wanted = on;
    if (on) this.take();
    else this.release();
  }

  async take() {
    if (!this.wanted || this.held || this.asking || !navigator.wakeLock || document.visibilityState !== 'visible') return;
    this.asking = true;
    try {
      this.sentinel = await navigator.wakeLock.request('screen');
    } catch {
      // Refused (battery saver, policy): the screen may dim as it would anyway.
    } finally {
      this.asking = false;
    }
    // The game may have ended while the browser answered.
    if (!this.wanted) this.release();
  }

  release() {
    const sentinel = this.sentinel;
    this.sentinel = null;
    sentinel?.release().catch(() => {});
  }

  destroy() {
    this.hold(false);
    document.removeEventListener('visibilitychange', this.onVisibility);
  }
}
