// The small statistics overlay over the picture, toggled by a key: the same
// numbers a test reads from KalmoPlayer.stats, refreshed four times a second
// while it is shown.

const REFRESH_MS = 250;

function format(stats) {
  const { video, audio, input, bridge } = stats;
  const ms = (value) => `${value.toFixed(1)} ms`;
  return [
    `video  ${video.width}x${video.height} ${video.renderer}  shown ${video.shown}  dropped ${video.dropped}`,
    `       arrival→drawn ${ms(video.arrivalToDrawMs)}  draw ${ms(video.drawMs)}`,
    `bridge sent ${bridge.sentVideo}  dropped ${bridge.droppedVideo}  repeated ${bridge.repeatedVideo}`,
    `audio  ${audio.state}  buffered ${ms(audio.bufferedMs)}  latency ${ms(audio.latencyMs)}`,
    `       underruns ${audio.underruns}  silences ${audio.silences}  ${audio.sourceRate}→${audio.contextRate} Hz` +
      `  drift ${((audio.drift - 1) * 100).toFixed(2)} %`,
    `input  mouse lines ${input.mouseLines}  key lines ${input.keyLines}  dropped motion ${input.droppedMotion}`,
  ].join('\n');
}

export class StatsOverlay {
  constructor(parent, readStats) {
    this.readStats = readStats;
    this.element = document.createElement('pre');
    this.element.className = 'kalmo-stats';
    this.element.hidden = true;
    parent.append(this.element);
    this.timer = 0;
  }

  get visible() {
    return !this.element.hidden;
  }

  toggle(show = !this.visible) {
    this.element.hidden = !show;
    clearInterval(this.timer);
    if (!show) return;
    const refresh = () => { this.element.textContent = format(this.readStats()); };
    refresh();
    this.timer = setInterval(refresh, REFRESH_MS);
  }

  destroy() {
    clearInterval(this.timer);
    this.element.remove();
  }
}
