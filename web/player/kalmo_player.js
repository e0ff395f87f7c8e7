// KalmoPlayer: the browser player a page (ours or a front-end's) puts in one
// element, given the WebSocket URL of a kalmo-play bridge or a MessagePort
// carrying the same packets and notes. It builds the picture, the toolbar
// and the overlays inside that element and ties the parts together on the
// page's main thread: display.js (the picture's place), the inputs in
// input/ (mouse, touch and gamepad move the game's cursor in game_cursor.js;
// every key, on-screen ones included, goes through keyboard.js),
// audio/audio_output.js (the context and its worklet), stats_overlay.js, the
// start-up stages (start_stages.js), the help line (help_line.js),
// fullscreen.js, wake_lock.js and the ending panel (session_end.js). The
// picture takes the keyboard focus whenever a session starts and after every
// use of a control, so keys reach the game without a click that the game
// would take as its own. The stream itself (connection, parser, painting,
// the sound's feed) runs in a worker, or here when the browser cannot
// (stream_thread.js). Its `stats` hold the figures the overlay shows, for
// tests and front-ends alike.

import { Display } from './display.js';
import { startStream } from './stream_thread.js';
import { withVideoCodec } from './connection.js';
import { coreLogLine, describeEnd } from './session_end.js';
import { GameCursor } from './input/game_cursor.js';
import { describeStage } from './start_stages.js';
import { HelpLine, helpText, likelyInput } from './help_line.js';
import { Fullscreen } from './fullscreen.js';
import { ScreenAwake } from './wake_lock.js';
import { Mouse } from './input/mouse.js';
import { Touch } from './input/touch.js';
import { Keyboard } from './input/keyboard.js';
import { OnscreenKeys, onscreenKeysChoice } from './input/onscreen_keys.js';
import { Gamepads } from './input/gamepad.js';
import { AudioOutput } from './audio/audio_output.js';
import { StatsOverlay } from './stats_overlay.js';
import { coreLibraryName } from '../lib/pointer_rule.js';

const CORE_LOG_KEPT = 20;

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

export class KalmoPlayer {
  // source: a kalmo-play WebSocket URL, or a MessagePort (whole packets as ArrayBuffers and the bridge's notes
  // as objects in, command lines out). options: renderer ('2d' | 'webgl'), integerScale, smooth, audioTargetMs,
  // audioStart ('gesture' makes the sound wait for a click or key even where the browser would not),
  // thread ('main' keeps the stream on the page's main thread), pointerMode ('follow' | 'captured') and
  // mouseSpeed (motion units per frame pixel), chosen from the core when absent, touchMode ('direct' |
  // 'touchpad'), gamepadMap (button index to action over input/gamepad.js's defaults), onscreenKeys ('auto' |
  // 'always' | 'never', or the keys as [{ label, code, key }]) and video ('raw' | 'tiles': the codec a
  // WebSocket asks the bridge for).
  constructor(source, container, options = {}) {
    const keysChoice = onscreenKeysChoice(options.onscreenKeys);
    this.source = withVideoCodec(source, options.video);
    this.options = options;
    this.buildPage(container);
    this.fullscreen = new Fullscreen(this.root, this.viewport);
    this.screenAwake = new ScreenAwake();
    this.display = new Display(this.viewport, { integerScale: options.integerScale, smooth: options.smooth });
    this.integerBox.checked = Boolean(options.integerScale);
    this.smoothBox.checked = Boolean(options.smooth);
    const send = (line) => this.stream?.send(line) ?? false;
    const onGesture = () => this.audio.resumeFromGesture();
    this.cursor = new GameCursor(this.display, { send, speed: options.mouseSpeed });
    this.mouse = new Mouse(this.display, this.viewport, {
      cursor: this.cursor, onGesture, onUse: () => this.noteInput('mouse'),
      onLockChange: (locked) => this.onLockChange(locked),
      onLockRefused: () => this.setNotice('mouse', 'The browser refused to capture the mouse: click the picture again in a moment'),
      mode: options.pointerMode,
    });
    this.touch = new Touch(this.display, this.viewport, {
      cursor: this.cursor, onGesture, onUse: () => this.noteInput('touch'), mode: options.touchMode,
    });
    this.keyboard = new Keyboard(this.viewport, {
      send, onGesture,
      shortcuts: { toggleFullscreen: () => this.toggleFullscreen(), toggleStats: () => this.overlay.toggle() },
    });
    this.onscreenKeys = keysChoice.shown === 'never' ? null : new OnscreenKeys(this.root, this.viewport, {
      choice: keysChoice, keyboard: this.keyboard, armRightClick: (on) => this.touch?.armRightClick?.(on),
      toggleFullscreen: () => this.toggleFullscreen(),
    });
    this.gamepads = new Gamepads({
      cursor: this.cursor, keys: this.keyboard, onUse: () => this.noteInput('gamepad'), map: options.gamepadMap,
    });
    this.audio = new AudioOutput({
      targetMs: options.audioTargetMs,
      startSuspended: options.audioStart === 'gesture',
      onStateChange: (state) => this.onAudioState(state),
    });
    this.overlay = new StatsOverlay(this.viewport, () => this.stats);
    this.noteInput(likelyInput());
    this.onPageHide = () => this.stream?.close();
    window.addEventListener('pagehide', this.onPageHide);
    this.onFullscreenChange = () => this.keyboard.lockBrowserKeys(document.fullscreenElement === this.root);
    document.addEventListener('fullscreenchange', this.onFullscreenChange);
    this.connect();
  }

  buildPage(container) {
    this.root = element('div', 'kalmo-player');
    // On a small player the style folds the controls into a menu behind one button.
    this.toolbar = element('div', 'kalmo-toolbar');
    this.menuButton = element('button', 'kalmo-menu-button', '☰');
    Object.assign(this.menuButton, { type: 'button', title: 'Menu' });
    this.menuButton.setAttribute('aria-label', 'Menu');
    this.menuButton.setAttribute('aria-expanded', 'false');
    this.menuButton.addEventListener('click', () => this.openMenu(!this.toolbar.classList.contains('kalmo-open')));
    const controls = element('div', 'kalmo-controls');
    this.toolbar.append(this.menuButton, controls);
    const button = (text, action) => {
      const node = element('button', '', text);
      node.type = 'button';
      node.addEventListener('click', action);
      controls.append(node);
      return node;
    };
    const checkbox = (text, action) => {
      const label = element('label', '', text);
      const box = element('input');
      box.type = 'checkbox';
      box.addEventListener('change', () => action(box.checked));
      label.prepend(box);
      controls.append(label);
      return box;
    };
    button('Fullscreen', () => this.toggleFullscreen());
    this.integerBox = checkbox('Integer scale', (on) => this.display.setIntegerScale(on));
    this.smoothBox = checkbox('Smooth', (on) => this.display.setSmooth(on));
    controls.append(element('span', 'kalmo-spacer'));
    const volumeLabel = element('label', '', 'Volume');
    this.volumeSlider = element('input');
    Object.assign(this.volumeSlider, { type: 'range', min: '0', max: '100', value: '100' });
    this.volumeSlider.addEventListener('input', () => this.audio.setVolume(this.volumeSlider.value / 100));
    volumeLabel.append(this.volumeSlider);
    controls.append(volumeLabel);
    this.muteButton = button('Mute', () => this.setMuted(!this.audio.muted));
    button('Stats', () => this.overlay.toggle());

    this.viewport = element('div', 'kalmo-viewport');
    this.viewport.tabIndex = 0;
    this.progress = element('div', 'kalmo-overlay kalmo-progress');
    this.progressList = element('ol');
    this.progress.append(element('strong', '', 'Starting the game'), this.progressList);
    this.errorPanel = element('div', 'kalmo-overlay kalmo-error');
    this.errorPanel.hidden = true;
    // The panel's buttons are the page's: a press on them is no press in the game, and takes no mouse lock.
    for (const type of ['pointerdown', 'mousedown', 'touchstart']) {
      this.errorPanel.addEventListener(type, (event) => event.stopPropagation());
    }
    this.notice = element('div', 'kalmo-overlay kalmo-notice');
    this.notice.hidden = true;
    this.viewport.append(this.progress, this.errorPanel, this.notice);
    this.help = new HelpLine(element('p', 'kalmo-help'));
    this.root.append(this.toolbar, this.viewport, this.help.element);
    this.root.addEventListener('click', (event) => this.afterControl(event));
    this.viewport.addEventListener('pointerdown', () => this.openMenu(false), { capture: true, passive: true });
    container.replaceChildren(this.root);
    this.notices = new Map();
  }

  // After a click on anything of the page's outside the picture (a control, the menu, a prompt): the keys go
  // back to the game unless a control gave them to something in the picture, and a command chosen from the
  // menu closes it.
  afterControl(event) {
    if (this.viewport.contains(event.target)) return;
    if (event.target.closest?.('.kalmo-controls button')) this.openMenu(false);
    if (!this.viewport.contains(document.activeElement)) this.focusPicture();
  }

  openMenu(open) {
    this.toolbar.classList.toggle('kalmo-open', open);
    this.menuButton.setAttribute('aria-expanded', String(open));
    if (open) this.help.reveal();
  }

  // Focus alone sends nothing to the game; only a click would.
  focusPicture() {
    this.viewport.focus({ preventScroll: true });
  }

  // Starts a session from zero: a fresh stream (and worker), every counter back to nothing.
  connect() {
    this.stream?.destroy();
    this.stream = null;
    this.hostState = 'connecting';
    this.stages = [];
    this.exit = null;
    this.errorText = '';
    this.refused = '';
    this.coreLog = [];
    this.bridgeStats = { sentVideo: 0, droppedVideo: 0, repeatedVideo: 0 };
    this.inputBase = { mouseLines: this.cursor.counts.lines, droppedMotion: this.mouse.counts.droppedMotion,
      keyLines: this.keyboard.counts.lines };
    this.progressList.replaceChildren();
    this.progress.hidden = false;
    this.errorPanel.hidden = true;
    this.connectionState = 'connecting';
    this.addStage('connecting', this.source instanceof MessagePort ? 'Connecting to the host' : 'Connecting to kalmo-play');
    // A canvas handed to an earlier worker cannot be drawn on again.
    if (this.everStarted) this.display.newCanvas();
    this.everStarted = true;
    this.focusPicture();
    const stream = startStream({
      source: this.source, display: this.display, renderer: this.options.renderer ?? '2d', ring: this.audio.ring,
      newFeed: () => this.audio.newFeed(), audioTargetMs: this.audio.targetMs,
      thread: this.options.thread,
    }, (message) => {
      // A replaced stream may still report; only the current one speaks.
      if (this.stream === stream) this.onReport(message);
    });
    this.stream = stream;
    stream.setAudioRunning(this.audio.state === 'running');
  }

  onReport(message) {
    switch (message.type) {
    case 'open':
      this.connectionState = 'open';
      break;
    case 'frame':
      this.display.setFrameSize(message.width, message.height);
      this.cursor.onFrame();
      break;
    case 'status':
      this.onStatus(message.status);
      break;
    case 'bridge':
      this.onBridge(message.message);
      break;
    case 'close':
      this.onClose(message.outcome);
      break;
    default:
      break;
    }
  }

  onStatus(status) {
    this.hostState = status.state;
    switch (status.state) {
    case 'stage':
      this.addStage(status.stage ?? 'stage', status.message ?? status.stage);
      break;
    case 'core':
      this.addStage('core', status.message ?? 'core');
      this.cursor.setCore(coreLibraryName(status.message));
      this.mouse.setCore(coreLibraryName(status.message));
      this.onscreenKeys?.setCore(coreLibraryName(status.message));
      this.gamepads.setCore(coreLibraryName(status.message));
      this.updateHelp();
      break;
    case 'av':
    case 'geometry':
      this.display.setAspect(status.aspect);
      break;
    case 'running':
      this.progress.hidden = true;
      this.stages.push({ stage: 'running', message: status.message ?? '' });
      this.screenAwake.hold(true);
      this.help.reveal();
      break;
    case 'error':
      this.errorText = status.message ?? 'error';
      break;
    default:
      break;
    }
  }

  addStage(stage, message) {
    for (const item of this.progressList.children) item.classList.add('kalmo-done');
    this.stages.push({ stage, message });
    const { title, detail } = describeStage(stage, message);
    const item = element('li', '', title);
    if (detail) item.append(' ', element('span', 'kalmo-detail', detail));
    this.progressList.append(item);
  }

  onBridge(message) {
    switch (message.bridge) {
    case 'exit':
      this.exit = { code: message.code, signal: message.signal ?? null, meaning: String(message.meaning ?? '') };
      this.showEnd({ exit: this.exit, hostError: this.errorText });
      break;
    case 'diagnostic': {
      const line = coreLogLine(message.line);
      if (!line) break;
      this.coreLog.push(line);
      if (this.coreLog.length > CORE_LOG_KEPT) this.coreLog.shift();
      break;
    }
    case 'refused':
      // A refusal is never told as a lost connection: its close follows, and is then already explained.
      this.refused = String(message.reason ?? '') || 'no reason given';
      this.showEnd({ refused: this.refused, refusedKind: String(message.kind ?? '') });
      break;
    case 'stats': {
      // Every figure the bridge sends (frames skipped for a backed-up link, video bytes by codec among them).
      const { bridge, ...figures } = message;
      this.bridgeStats = figures;
      break;
    }
    default:
      break;
    }
  }

  onClose(outcome) {
    this.connectionState = 'closed';
    this.keyboard.releaseAll();
    this.mouse.unlock();
    if (this.exit || this.refused || this.destroyed) return;
    this.showEnd({ hostError: this.errorText, streamError: outcome.error ?? '', lost: true });
  }

  showEnd(what) {
    const { state, title, detail } = describeEnd(what);
    this.hostState = state;
    this.screenAwake.hold(false);
    this.progress.hidden = true;
    const parts = [element('h2', '', title), element('p', '', detail)];
    if (this.coreLog.length && !what.refused) {
      parts.push(element('p', 'kalmo-log-title', 'The core reported:'), element('pre', '', this.coreLog.join('\n')));
    }
    // A port belongs to the front-end that made it: only it can start another session.
    if (!(this.source instanceof MessagePort)) {
      const button = element('button', '', what.exit ? 'Start again' : what.refused ? 'Try again' : 'Reconnect');
      button.type = 'button';
      button.addEventListener('click', () => {
        this.audio.resumeFromGesture();
        this.connect();
      });
      parts.push(button);
    }
    this.errorPanel.replaceChildren(...parts);
    this.errorPanel.hidden = false;
  }

  setNotice(key, text) {
    if (text) this.notices.set(key, text);
    else this.notices.delete(key);
    this.notice.textContent = [...this.notices.values()].join(' · ');
    this.notice.hidden = this.notices.size === 0;
  }

  onLockChange(locked) {
    if (locked) {
      this.setNotice('mouse', '');
      return;
    }
    this.keyboard.releaseAll();
    this.setNotice('mouse', 'Mouse released: click the picture to capture it again');
  }

  // The kind of input the player used last: 'mouse', 'touch' or 'gamepad'. Each input source reports it when
  // used; the page shows what fits that input (`data-input` on the player's root selects it in the style).
  noteInput(kind) {
    if (this.inputKind === kind) return;
    this.inputKind = kind;
    this.root.dataset.input = kind;
    this.updateHelp();
  }

  updateHelp() {
    this.help.show(helpText(this.inputKind, this.mouse.mode));
  }

  onAudioState(state) {
    this.stream?.setAudioRunning(state === 'running');
    const text = state === 'waiting-for-gesture' ? 'Sound is off until you click the picture or press a key' :
      state === 'unavailable' ? `No sound: ${this.audio?.error ?? 'audio is unavailable'}` : '';
    this.setNotice('audio', text);
  }

  setMuted(muted) {
    this.audio.setMuted(muted);
    this.muteButton.textContent = muted ? 'Unmute' : 'Mute';
  }

  toggleFullscreen() {
    this.fullscreen.toggle();
  }

  // What is on the canvas now: { width, height, data } (RGBA rows from the top), whichever thread draws.
  async readPixels() {
    return this.display.readPixels();
  }

  // When frames were drawn and stream messages arrived, in epoch milliseconds (performance.timeOrigin + now),
  // for measurements: { drawn: [[arrivedAt, drawnAt]], arrivals: [[at, isVideo]] }.
  async timeline() {
    return this.stream.timeline();
  }

  get stats() {
    const display = this.display;
    const { video, audio: feedStats } = this.stream.stats;
    // Every session has a fresh feed, so its counters start from zero; the context side has none.
    const audio = { ...this.audio.contextStats, ...feedStats };
    audio.trailsPictureMs = (audio.bufferedMs ?? 0) + (audio.outputLatencyMs ?? 0) - (video.arrivalToDrawMs ?? 0);
    return {
      connection: this.connectionState,
      state: this.hostState,
      stages: this.stages.map((entry) => entry.stage),
      error: this.errorText,
      exit: this.exit,
      stream: { thread: this.stream.thread, reason: this.stream.reason, source: this.source instanceof MessagePort ? 'port' : 'websocket' },
      video: { ...video, width: display.width, height: display.height, aspect: display.aspect },
      audio,
      input: {
        locked: this.mouse.locked, mouseLines: this.cursor.counts.lines - this.inputBase.mouseLines,
        droppedMotion: this.mouse.counts.droppedMotion - this.inputBase.droppedMotion,
        keyLines: this.keyboard.counts.lines - this.inputBase.keyLines, heldKeys: this.keyboard.held.size,
      },
      bridge: { ...this.bridgeStats },
    };
  }

  destroy() {
    this.destroyed = true;
    window.removeEventListener('pagehide', this.onPageHide);
    document.removeEventListener('fullscreenchange', this.onFullscreenChange);
    this.stream?.destroy();
    this.gamepads.destroy();
    this.keyboard.destroy();
    this.onscreenKeys?.destroy();
    this.mouse.destroy();
    this.touch.destroy();
    this.cursor.destroy();
    this.display.destroy();
    this.overlay.destroy();
    this.fullscreen.destroy();
    this.screenAwake.destroy();
    this.help.destroy();
    this.audio.close();
  }
}
