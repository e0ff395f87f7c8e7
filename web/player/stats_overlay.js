// The small statistics overlay over the picture, toggled by a key: the same
// numbers a test reads from KalmoPlayer.stats, refreshed four times a second
// while it is shown.

const REFRESH_MS = 250;

function format(stats) {
  const { video, audio, input, bridge, stream } = stats;
  const ms = (value) => `${(Number(value) || 0).toFixed(1)} ms`;
  const drift = Number.isFinite(audio.drift) ? `  drift ${((audio.drift - 1) * 100).toFixed(2)} %` : '';
  return [
    `video  ${video.width}x${video.height} ${video.renderer}  shown ${video.shown}  dropped ${video.dropped}` +
      `  (${stream.thread} thread)`,
    `       arrival→drawn ${ms(video.arrivalToDrawMs)}  draw ${ms(video.drawMs)}`,
    `bridge sent ${bridge.sentVideo}  dropped ${bridge.droppedVideo}  repeated ${bridge.repeatedVideo}`,
    `audio  ${audio.state}  buffered ${ms(audio.bufferedMs)}  output ${ms(audio.outputLatencyMs)}` +
      `  behind the picture ${ms(audio.trailsPictureMs)}`,
    `       underruns ${audio.underruns ?? 0}  silences ${audio.silences ?? 0}  ${audio.sourceRate ?? 0}→${audio.contextRate ?? 0} Hz` +
      drift,
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
