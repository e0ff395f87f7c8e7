// What the sound tests share: a sampler that records the player's audio
// figures every 20 ms in the page, and the reading of that trace into the
// spans where nothing measurably stalled. A stall is anything outside the
// player that can empty or swamp its buffer: a block that reached the feed
// late against its run's schedule (the host ran late, or the thread reading
// the stream was held up), an audio callback that came late, an underrun the
// feed traced to a late block, a backlog cut, or a stats read that came late
// (the page's thread was held up, so the trace itself has a hole). A ring
// run dry, and a move of the target, also end a span: whether a dry ring was
// excused is the feed's own count (an underrun ended by a late block is
// `stalledUnderruns`), which the tests check apart. Real-time figures are
// asserted only over the clean spans; the others are reported.

const SAMPLE_MS = 20;
const LATE_READ_MS = 100;
const STALL_COUNTS = ['lateBlocks', 'lateCallbacks', 'stalledUnderruns', 'cuts', 'dryOuts'];

// Starts recording `stats.audio` of the page's player (or what `read` returns, in the page).
export function startSampler(page, read = 'window.kalmoPlayer.stats.audio') {
  return page.evaluate(`(() => {
    window.audioTrace = [];
    window.audioSampler = setInterval(() => window.audioTrace.push({ t: performance.now(), ...(${read}) }), ${SAMPLE_MS});
    return true;
  })()`);
}

export const readTrace = (page) => page.evaluate('window.audioTrace');

// The reasons the interval from sample `i - 1` to sample `i` is not clean, or [] when it is; counts named in
// `ignore` do not end a span.
function stallReasons(before, after, ignore) {
  const reasons = STALL_COUNTS.filter((key) => !ignore.includes(key) && (after[key] ?? 0) > (before[key] ?? 0))
    .map((key) => `${key} +${after[key] - before[key]}`);
  if (after.t - before.t > LATE_READ_MS) reasons.push(`stats read ${(after.t - before.t).toFixed(0)} ms apart`);
  // Not a stall, but the level is held to a new target from here.
  if (after.targetMs !== before.targetMs) reasons.push('target moved +1');
  return reasons;
}

// Splits a trace into clean spans (arrays of samples) and the stalls between them.
export function splitTrace(samples, { ignore = [] } = {}) {
  const spans = [];
  const stalls = [];
  let current = [];
  for (let i = 0; i < samples.length; i++) {
    const reasons = i > 0 ? stallReasons(samples[i - 1], samples[i], ignore) : [];
    if (reasons.length) {
      stalls.push({ from: samples[i - 1].t, to: samples[i].t, reasons });
      if (current.length > 1) spans.push(current);
      current = [];
    }
    current.push(samples[i]);
  }
  if (current.length > 1) spans.push(current);
  return { spans, stalls };
}

// The part of a span from the first sample whose smoothed fill is within `withinMs` of the target
// (a stall may leave a backlog that drift correction takes seconds to play off).
export function settledPart(span, withinMs = 10) {
  const first = span.findIndex((sample) => Math.abs(sample.smoothedFillMs - sample.targetMs) <= withinMs);
  return first < 0 ? [] : span.slice(first);
}

export const spanMs = (span) => span.at(-1).t - span[0].t;

// One line per run of stalls less than a second apart, with the counts summed.
export function describeStalls(stalls) {
  const runs = [];
  for (const stall of stalls) {
    const run = runs.at(-1);
    if (run && stall.from - run.to < 1000) {
      run.to = stall.to;
      run.reasons.push(...stall.reasons);
    } else {
      runs.push({ ...stall, reasons: [...stall.reasons] });
    }
  }
  return runs.map(({ from, to, reasons }) => {
    const totals = new Map();
    for (const reason of reasons) {
      const [key, count] = reason.startsWith('stats read') ? ['late stats reads', 1] : reason.split(' +');
      totals.set(key, (totals.get(key) ?? 0) + Number(count));
    }
    const what = [...totals].map(([key, count]) => `${key} ${count}`).join(', ');
    return `${(from / 1000).toFixed(2)}–${(to / 1000).toFixed(2)} s: ${what}`;
  });
}
