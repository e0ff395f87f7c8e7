// Says in words why the host ended, from its exit code or the signal that
// ended it, so a front-end can show a player more than a number.

const HOST_EXIT_CODES = {
  0: 'the game ended (QUIT or the core asked to stop)',
  2: 'the host was started with bad arguments (fewer than six paths, or a path not convertible to UTF-8)',
  3: 'the core library does not load',
  4: 'the core lacks one of the sixteen Libretro entry points',
  5: 'the core refused the content',
};

// How Windows reports a process that crashed rather than exited.
const WINDOWS_FAILURES = {
  0xc0000005: 'an access violation',
  0xc00000fd: 'a stack overflow',
  0xc0000409: 'a fail-fast stop (stack buffer overrun or abort)',
  0xc0000135: 'a DLL that was not found',
  0xc000013a: 'Ctrl+C or the console closing',
};

export function exitMeaning(code, signal) {
  if (signal) return `the host was ended by signal ${signal}`;
  if (code === null || code === undefined) return 'the host ended without an exit code';
  if (Object.hasOwn(HOST_EXIT_CODES, code)) return HOST_EXIT_CODES[code];
  const unsigned = code >>> 0;
  if (Object.hasOwn(WINDOWS_FAILURES, unsigned)) {
    return `the host crashed with ${WINDOWS_FAILURES[unsigned]} (0x${unsigned.toString(16).toUpperCase()})`;
  }
  return `the host ended with exit code ${code}, which it never uses: a crash or an outside kill`;
}
