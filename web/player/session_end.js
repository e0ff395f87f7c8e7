// How the end of a session reads to a person: a title in English saying
// what happened (from the exit's meaning, or the signal in words), the
// host's own status text as the detail (it is the host's wire text, in
// whatever language the host speaks), and which of the host's diagnostic
// lines are worth showing: the core's own log at warning level and above,
// never the host's traces.

// Libretro log levels: 0 debug, 1 info, 2 warn, 3 error.
const CORE_LOG_LINE = /^CORELOG level=(\d+) \| (.*)$/s;
const LEVEL_NAMES = { 2: 'warning', 3: 'error' };

// The core's log line as shown ("warning: text"), or null for anything else or below warning level.
export function coreLogLine(line) {
  const match = CORE_LOG_LINE.exec(String(line));
  if (!match) return null;
  const level = Number(match[1]);
  if (level < 2) return null;
  return `${LEVEL_NAMES[level] ?? 'error'}: ${match[2].trimEnd()}`;
}

const SIGNAL_WORDS = {
  SIGKILL: 'was killed',
  SIGTERM: 'was told to stop by another program',
  SIGINT: 'was interrupted',
  SIGHUP: 'lost its terminal',
  SIGSEGV: 'crashed: it touched memory it does not own',
  SIGBUS: 'crashed: a bad memory access',
  SIGABRT: 'crashed: it aborted',
  SIGFPE: 'crashed: an arithmetic fault',
  SIGILL: 'crashed: an illegal instruction',
};

const sentence = (text) => (text ? text[0].toUpperCase() + text.slice(1) : text);

// { state: 'ended' | 'error', title, detail } for a session that ended; what is known:
// exit ({code, signal, meaning} from the bridge's note), hostError (the host's last error status text),
// refused (the bridge's reason) and refusedKind (its kind, where it gave one), streamError, lost (the link
// closed before the host ended).
export function describeEnd({ exit = null, hostError = '', refused = '', refusedKind = '', streamError = '', lost = false }) {
  if (refused) return describeRefusal(refused, refusedKind);
  if (exit) {
    const how = exit.signal ? `signal ${exit.signal}` : `exit code ${exit.code}`;
    const said = hostError ? `The host said: “${hostError}”. ` : '';
    if (exit.signal) {
      const words = SIGNAL_WORDS[exit.signal] ?? 'was ended by a signal';
      return { state: 'error', title: `The host ${words} (${exit.signal})`, detail: `${said}(${how})` };
    }
    if (exit.code === 0 && !hostError) return { state: 'ended', title: 'The game ended', detail: `${exit.meaning} (${how})` };
    const title = exit.code === 0 ? 'The game stopped on an error' : sentence(exit.meaning || `The host ended with exit code ${exit.code}`);
    return { state: 'error', title, detail: `${said}(${how})` };
  }
  if (streamError) return { state: 'error', title: 'The stream from the host went wrong', detail: streamError };
  if (lost) {
    return { state: 'error', title: 'Connection lost', detail: 'The connection to the host was lost before the host ended.' };
  }
  return { state: 'error', title: 'The session ended', detail: hostError };
}

// Why the bridge refused a page, said so that a person knows what to do
// next. The bridge's refusal names what it checked, by a kind where it gives
// one, else in its reason's words; the kinds are tried in this order, so "too
// many wrong tokens" is not read as one wrong token.
const REFUSALS = {
  rate: [/too many/i, 'too many wrong tokens came from this device',
    'Wait a few minutes, then open the URL kalmo-play printed, with its token.'],
  token: [/token/i, 'its token is missing or wrong', 'Open the URL kalmo-play printed, with its token.'],
  origin: [/\borigin\b|another site/i, 'it was opened from another site',
    'Open the URL kalmo-play printed: only the bridge\'s own page may start a game.'],
  host: [/^host \S+ is not this bridge|\bhost (header|name)\b/i, 'it reached the bridge under a name the bridge does not answer to',
    'Open the URL kalmo-play printed, with the address it shows, not another name for this machine.'],
  http: [/plain http|https/i, 'it came over plain HTTP', 'Open the https:// URL kalmo-play printed.'],
  busy: [/another page is playing/i, 'another page is playing',
    'Close the other page, or start kalmo-play with a larger --sessions.'],
};

// The refusal's kind: `kind` when the bridge named one this page knows, else read from `reason`, else ''.
export function refusalKind(reason, kind = '') {
  if (Object.hasOwn(REFUSALS, kind)) return kind;
  return Object.keys(REFUSALS).find((key) => REFUSALS[key][0].test(String(reason))) ?? '';
}

// { state, title, detail } for a refusal: what the bridge checked in words, and what to do about it.
export function describeRefusal(reason, kind = '') {
  const text = String(reason).trim();
  const known = refusalKind(text, kind);
  if (!known) {
    return { state: 'error', title: `The bridge refused this page: ${text}`,
      detail: 'Try again, or open the URL kalmo-play printed.' };
  }
  const [, why, advice] = REFUSALS[known];
  return { state: 'error', title: `The bridge refused this page: ${why}`, detail: `${advice} (The bridge said: “${text}”.)` };
}
