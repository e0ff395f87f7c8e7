// KalmoPlayer: the browser player a page (ours or a front-end's) puts in one
// element, given the WebSocket URL of a kalmo-play bridge. It builds the
// picture, the toolbar and the overlays inside that element and ties the
// parts together: connection.js (packets in, command lines out),
// display.js (the picture), input/mouse.js and input/keyboard.js,
// audio/audio_output.js (the worklet and its jitter buffer) and
// stats_overlay.js. Its `stats` hold the figures the overlay shows, for
// tests and front-ends alike.

import { Connection } from './connection.js';
import { Display } from './display.js';
import { Mouse } from './input/mouse.js';
import { Keyboard } from './input/keyboard.js';
import { AudioOutput } from './audio/audio_output.js';
import { StatsOverlay } from './stats_overlay.js';
import { coreLibraryName } from '../lib/pointer_rule.js';

const DIAGNOSTICS_KEPT = 20;

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

export class KalmoPlayer {
  // options: renderer ('2d' | 'webgl'), integerScale, smooth, audioTargetMs,
  // audioStart ('gesture' makes the sound wait for a click or key even where the browser would not),
  // pointerMode ('follow' | 'captured') and mouseSpeed (motion units per frame pixel), chosen from the core when absent.
  constructor(url, container, options = {}) {
    this.url = url;
    this.buildPage(container);
    this.display = new Display(this.viewport, {
      renderer: options.renderer ?? '2d', integerScale: options.integerScale, smooth: options.smooth,
    });
    this.integerBox.checked = Boolean(options.integerScale);
    this.smoothBox.checked = Boolean(options.smooth);
    const send = (line) => this.connection?.send(line) ?? false;
    const onGesture = () => this.audio.resumeFromGesture();
    this.mouse = new Mouse(this.display, this.viewport, {
      send, onGesture, mode: options.pointerMode, speed: options.mouseSpeed, onLockChange: (locked) => this.onLockChange(locked),
      onLockRefused: () => this.setNotice('mouse', 'The browser refused to capture the mouse: click the picture again in a moment'),
    });
    this.keyboard = new Keyboard(this.viewport, {
      send, onGesture,
      shortcuts: { toggleFullscreen: () => this.toggleFullscreen(), toggleStats: () => this.overlay.toggle() },
    });
    this.audio = new AudioOutput({
      targetMs: options.audioTargetMs ?? 50,
      startSuspended: options.audioStart === 'gesture',
      onStateChange: (state) => this.onAudioState(state),
    });
    this.overlay = new StatsOverlay(this.viewport, () => this.stats);
    this.onPageHide = () => this.connection?.close();
    window.addEventListener('pagehide', this.onPageHide);
    this.onFullscreenChange = () => this.keyboard.lockBrowserKeys(document.fullscreenElement === this.root);
    document.addEventListener('fullscreenchange', this.onFullscreenChange);
    this.connect();
  }

  buildPage(container) {
    this.root = element('div', 'kalmo-player');
    const toolbar = element('div', 'kalmo-toolbar');
    const button = (text, action) => {
      const node = element('button', '', text);
      node.type = 'button';
      node.addEventListener('click', action);
      toolbar.append(node);
      return node;
    };
    const checkbox = (text, action) => {
      const label = element('label', '', text);
      const box = element('input');
      box.type = 'checkbox';
      box.addEventListener('change', () => action(box.checked));
      label.prepend(box);
      toolbar.append(label);
      return box;
    };
    button('Fullscreen', () => this.toggleFullscreen());
    this.integerBox = checkbox('Integer scale', (on) => this.display.setIntegerScale(on));
    this.smoothBox = checkbox('Smooth', (on) => this.display.setSmooth(on));
    toolbar.append(element('span', 'kalmo-spacer'));
    const volumeLabel = element('label', '', 'Volume');
    this.volumeSlider = element('input');
    Object.assign(this.volumeSlider, { type: 'range', min: '0', max: '100', value: '100' });
    this.volumeSlider.addEventListener('input', () => this.audio.setVolume(this.volumeSlider.value / 100));
    volumeLabel.append(this.volumeSlider);
    toolbar.append(volumeLabel);
    this.muteButton = button('Mute', () => this.setMuted(!this.audio.muted));
    button('Stats', () => this.overlay.toggle());

    this.viewport = element('div', 'kalmo-viewport');
    this.viewport.tabIndex = 0;
    this.progress = element('div', 'kalmo-overlay kalmo-progress');
    this.progressList = element('ol');
    this.progress.append(element('strong', '', 'Starting the game'), this.progressList);
    this.errorPanel = element('div', 'kalmo-overlay kalmo-error');
    this.errorPanel.hidden = true;
    this.notice = element('div', 'kalmo-overlay kalmo-notice');
    this.notice.hidden = true;
    this.viewport.append(this.progress, this.errorPanel, this.notice);
    this.root.append(toolbar, this.viewport);
    container.replaceChildren(this.root);
    this.notices = new Map();
  }

  connect() {
    this.connection?.close();
    this.hostState = 'connecting';
    this.stages = [];
    this.exit = null;
    this.errorText = '';
    this.diagnostics = [];
    this.bridgeStats = { sentVideo: 0, droppedVideo: 0, repeatedVideo: 0 };
    this.progressList.replaceChildren();
    this.progress.hidden = false;
    this.errorPanel.hidden = true;
    this.connectionState = 'connecting';
    this.addStage('connecting', 'Connecting to kalmo-play');
    // A replaced connection may still report its close; only the current one speaks.
    const current = (handler) => (...args) => { if (this.connection === connection) handler(...args); };
    const connection = new Connection(this.url, {
      onOpen: current(() => { this.connectionState = 'open'; }),
      onPacket: current((packet, arrivedAt) => this.onPacket(packet, arrivedAt)),
      onBridge: current((message) => this.onBridge(message)),
      onClose: current((outcome) => this.onClose(outcome)),
    });
    this.connection = connection;
  }

  onPacket(packet, arrivedAt) {
    if (packet.type === 'video') {
      this.display.pushFrame(packet, arrivedAt);
      this.mouse.onFrame();
    }
    else if (packet.type === 'audio') this.audio.pushBlock(packet, arrivedAt);
    else if (packet.type === 'status') this.onStatus(packet);
  }

  onStatus(status) {
    this.hostState = status.state;
    switch (status.state) {
    case 'stage':
      this.addStage(status.stage ?? 'stage', status.message ?? status.stage);
      break;
    case 'core':
      this.addStage('core', status.message ?? 'core');
      this.mouse.setCore(coreLibraryName(status.message));
      break;
    case 'av':
    case 'geometry':
      this.display.setAspect(status.aspect);
      break;
    case 'running':
      this.progress.hidden = true;
      this.stages.push({ stage: 'running', message: status.message ?? '' });
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
    this.progressList.append(element('li', '', message));
  }

  onBridge(message) {
    switch (message.bridge) {
    case 'exit':
      this.exit = { code: message.code, signal: message.signal ?? null, meaning: message.meaning ?? '' };
      this.showEnd();
      break;
    case 'diagnostic':
      this.diagnostics.push(String(message.line));
      if (this.diagnostics.length > DIAGNOSTICS_KEPT) this.diagnostics.shift();
      break;
    case 'refused':
      this.refused = String(message.reason ?? '');
      this.showPanel('The bridge refused this page', this.refused, 'Try again');
      break;
    case 'stats':
      this.bridgeStats = { sentVideo: message.sentVideo, droppedVideo: message.droppedVideo,
        repeatedVideo: message.repeatedVideo };
      break;
    default:
      break;
    }
  }

  showEnd() {
    const { code, signal, meaning } = this.exit;
    const how = signal ? `signal ${signal}` : `exit code ${code}`;
    if (code === 0 && !this.errorText) {
      this.showPanel('The game ended', `${meaning} (${how})`, 'Start again');
      return;
    }
    const title = this.errorText ? `Error: ${this.errorText}` : 'The host stopped';
    this.showPanel(title, `${meaning} (${how})`, 'Start again', this.diagnostics);
  }

  onClose(outcome) {
    this.connectionState = 'closed';
    this.keyboard.releaseAll();
    this.mouse.unlock();
    if (this.exit || this.refused || this.destroyed) return;
    const detail = outcome.error ? `The stream went wrong: ${outcome.error}` :
      'The connection to kalmo-play was lost before the host ended.';
    this.showPanel('Connection lost', detail, 'Reconnect');
  }

  showPanel(title, detail, action, lines = []) {
    this.progress.hidden = true;
    const button = element('button', '', action);
    button.type = 'button';
    button.addEventListener('click', () => {
      this.refused = '';
      this.connect();
    });
    const parts = [element('h2', '', title), element('p', '', detail)];
    if (lines.length) parts.push(element('pre', '', lines.join('\n')));
    parts.push(button);
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

  onAudioState(state) {
    const text = state === 'waiting-for-gesture' ? 'Sound is off until you click the picture or press a key' :
      state === 'unavailable' ? `No sound: ${this.audio?.error ?? 'audio is unavailable'}` : '';
    this.setNotice('audio', text);
  }

  setMuted(muted) {
    this.audio.setMuted(muted);
    this.muteButton.textContent = muted ? 'Unmute' : 'Mute';
  }

  toggleFullscreen() {
    if (document.fullscreenElement) {
      document.exitFullscreen();
      return;
    }
    this.root.requestFullscreen?.().catch(() => {});
  }

  get stats() {
    const display = this.display;
    return {
      connection: this.connectionState,
      state: this.hostState,
      stages: this.stages.map((entry) => entry.stage),
      error: this.errorText,
      exit: this.exit,
      video: {
        ...display.counts, width: display.width, height: display.height, renderer: display.renderer.name,
        aspect: display.aspect, drawMs: display.lastDrawMs, arrivalToDrawMs: display.lastArrivalToDrawMs,
      },
      audio: this.audio.stats,
      input: {
        locked: this.mouse.locked, mouseLines: this.mouse.counts.lines, droppedMotion: this.mouse.counts.droppedMotion,
        keyLines: this.keyboard.counts.lines, heldKeys: this.keyboard.held.size,
      },
      bridge: { ...this.bridgeStats },
    };
  }

  async readPixels() { return this.display.readPixels(); }

  destroy() {
    this.destroyed = true;
    window.removeEventListener('pagehide', this.onPageHide);
    document.removeEventListener('fullscreenchange', this.onFullscreenChange);
    this.connection?.close();
    this.keyboard.destroy();
    this.mouse.destroy();
    this.display.destroy();
    this.overlay.destroy();
    this.audio.close();
  }
}
