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
// refused (the bridge's reason), streamError, lost (the link closed before the host ended).
export function describeEnd({ exit = null, hostError = '', refused = '', streamError = '', lost = false }) {
  if (refused) return { state: 'error', title: 'The bridge refused this page', detail: refused };
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
