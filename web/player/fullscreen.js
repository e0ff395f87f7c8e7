// Fullscreen for the player's element: the toolbar's button and Alt+Enter
// toggle it, and on a touch screen the first tap on the picture offers it
// with a small prompt, which the next tap on the picture puts away
// unanswered. It is only ever offered: a browser grants fullscreen
// to a person's own tap, and a page that jumps into it unasked is a page
// people leave. Once fullscreen, a landscape lock is asked for where the
// browser allows one (phones, mostly), since games are wider than tall; a
// refusal changes nothing, the picture fits either way.

export class Fullscreen {
  // root: the element made fullscreen, which holds the prompt; picture: where the first tap is awaited.
  constructor(root, picture) {
    this.root = root;
    this.picture = picture;
    this.offer = document.createElement('div');
    this.offer.className = 'kalmo-overlay kalmo-offer';
    this.offer.hidden = true;
    this.offer.append('Play fullscreen?', this.offerButton('Fullscreen', true), this.offerButton('Not now', false));
    root.append(this.offer);
    this.offered = false;
    this.onTap = (event) => this.tapped(event);
    picture.addEventListener('pointerdown', this.onTap, { passive: true });
  }

  offerButton(text, accept) {
    const button = document.createElement('button');
    button.type = 'button';
    button.textContent = text;
    button.addEventListener('click', () => {
      this.closeOffer();
      if (accept) this.enter();
    });
    return button;
  }

  tapped(event) {
    if (event.pointerType !== 'touch') return;
    if (this.offered) {
      this.closeOffer();
      return;
    }
    this.offered = true;
    if (document.fullscreenElement || !document.fullscreenEnabled || !this.root.requestFullscreen) {
      this.closeOffer();
      return;
    }
    this.offer.hidden = false;
  }

  // The offer is made once a page: once it is answered or put away, the picture's taps are the game's alone.
  closeOffer() {
    this.offer.hidden = true;
    this.picture.removeEventListener('pointerdown', this.onTap);
  }

  toggle() {
    if (document.fullscreenElement) {
      document.exitFullscreen().catch(() => {});
      return;
    }
    this.enter();
  }

  async enter() {
    this.closeOffer();
    try {
      await this.root.requestFullscreen({ navigationUI: 'hide' });
    } catch {
      return;
    }
    try {
      await screen.orientation?.lock?.('landscape');
    } catch {
      // Desktop browsers and some phones refuse a lock.
    }
  }

  destroy() {
    this.closeOffer();
  }
}
