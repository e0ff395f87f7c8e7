// Types of kalmo-host-client. No Node type package is needed to use them:
// the event methods are declared here for the events each class emits.

export interface StatusPacket {
  type: 'status';
  state: string;
  /** The JSON text as the host sent it. */
  text: string;
  /** The whole packet, header included. */
  bytes: Uint8Array;
  /** Every other member of the status JSON (message, stage, width, ...). */
  [member: string]: unknown;
}

export interface VideoPacket {
  type: 'video';
  width: number;
  height: number;
  /** height rows of width RGBA pixels; a view into `bytes`. */
  rgba: Uint8Array;
  bytes: Uint8Array;
}

export interface AudioPacket {
  type: 'audio';
  sampleRate: number;
  frames: number;
  /** frames * 2 interleaved left/right samples. */
  samples: Int16Array;
  bytes: Uint8Array;
}

export type Packet = StatusPacket | VideoPacket | AudioPacket;

export class PacketStreamError extends Error {
  /** Byte offset in the stream of the field found wrong. */
  readonly offset: number;
  /** Packets the failing push completed before the fault. */
  packets: Packet[];
}

export class PacketParser {
  /** The packets this chunk completes, in order; throws PacketStreamError on a broken stream. */
  push(chunk: Uint8Array): Packet[];
  /** Throws PacketStreamError when the stream stopped inside a packet. */
  end(): void;
  /** Bytes held that do not yet make a whole packet. */
  readonly pending: number;
}

export const LIBRETRO_KEYS: Readonly<Record<string, number>>;
export const RETRO_MODIFIERS: Readonly<{
  shift: 1; ctrl: 2; alt: 4; meta: 8; numlock: 16; capslock: 32; scrollock: 64;
}>;

/** The fields of a KeyboardEvent the helpers read. */
export interface KeyEventLike {
  code?: string;
  key?: string;
  shiftKey?: boolean;
  ctrlKey?: boolean;
  altKey?: boolean;
  metaKey?: boolean;
  getModifierState?(name: string): boolean;
}
export function keyCodeFromEvent(event: KeyEventLike): number;
export function modifiersFromEvent(event: KeyEventLike): number;
export function characterFromEvent(event: KeyEventLike): number;

export class MouseAccumulator {
  add(dx: number, dy: number, wheel?: number): void;
  take(): { dx: number; dy: number; wheel: number };
  readonly pending: boolean;
  clear(): void;
}

/** The library name in the host's `core` message ("ScummVM 2.8.0 · API 1" → "ScummVM"). */
export function coreLibraryName(message: string | undefined): string;
/** Follow mode at 1/0.9 motion units per frame pixel for "ScummVM"; captured at 1 for any other core. */
export function pointerDefaults(libraryName: string): { mode: 'follow' | 'captured'; speed: number };

/** One axis of a core's cursor as the pointer rule models it (ScummVM's rule, single precision). */
export class CursorAxis {
  constructor(factor: number, limit?: number);
  factor: number;
  limit: number;
  position: number;
  remainder: number;
  after(d: number): { position: number; remainder: number };
  apply(d: number): void;
  deltaToward(target: number): number;
}

/** Turns hand positions (whole frame pixels) into mouse-line motion that keeps a core's cursor under the hand. */
export class PointerRule {
  constructor(options?: { speed?: number });
  readonly speed: number;
  readonly placing: boolean;
  readonly cursor: { x: number; y: number };
  setSpeed(speed: number): void;
  setFrameSize(width: number, height: number): void;
  /** The pin line's motion, to send at once on a line of its own. */
  pin(now: number): { dx: number; dy: number };
  /** Call for every video frame received. */
  onFrame(): void;
  /** True when the last placement showed no sign of landing and must start again. */
  pinDue(now: number): boolean;
  /** Motion to send now; `retryAt` (a time like `now`) when held motion may go. */
  motionToward(now: number, target: [number, number], options: { clamped: boolean }): { dx: number; dy: number; retryAt: number };
}

/**
 * One key of the browser player's on-screen row: its label and the physical key it presses
 * (`KeyboardEvent.code` in the key table, e.g. 'Escape'); `key` is the character it types, where it
 * types one, as `KeyboardEvent.key` gives it (' ' for Space, 'y' for KeyY).
 */
export interface OnscreenKey {
  label: string;
  code: string;
  key?: string;
}
/**
 * The player's `onscreenKeys` option (page: `?keys=`): when the row shows ('auto' after touch or a
 * gamepad, the default), or a front-end's own keys for its core, shown as 'auto', in place of Esc, Space,
 * Enter and the menu key.
 */
export type OnscreenKeysOption = 'auto' | 'always' | 'never' | OnscreenKey[];

export interface MouseFields {
  dx?: number; dy?: number; buttons?: number; wheel?: number; x?: number; y?: number; inside?: number | boolean;
}
export interface KeyFields {
  code: number; down: number | boolean; character?: number; modifiers?: number;
}
export const COMMAND_LIMITS: Readonly<Record<keyof MouseFields | keyof KeyFields, readonly [number, number]>>;
export class CommandError extends Error {}
export function mouseLine(fields: MouseFields): string;
export function keyLine(fields: KeyFields): string;
/** A page's line re-serialised, or a CommandError naming what is wrong. */
export function parseCommandLine(text: string): string;

export interface HostOptions {
  /** The kalmo-host program; default: this checkout's build. */
  host?: string;
  core: string;
  content: string;
  systemDir: string;
  saveDir: string;
  assetsDir: string;
  playlistDir: string;
  /** 'latest': frames not yet taken are replaced by newer ones (takeVideo()). */
  video?: 'all' | 'latest';
  /** The host's environment; default: this process's. */
  env?: Record<string, string | undefined>;
}

export interface HostExit {
  code: number | null;
  signal: string | null;
  meaning: string;
  lastStatus: StatusPacket | null;
  /** Why this side killed the host, or null. */
  killed: string | null;
  /** A broken or cut packet stream, or null. */
  streamError: string | null;
}

export interface HostEvents {
  status: [StatusPacket];
  video: [VideoPacket];
  audio: [AudioPacket];
  diagnostic: [string];
  videoready: [];
  streamerror: [PacketStreamError];
  exit: [HostExit];
}

export class HostSession {
  constructor(options: HostOptions);
  readonly pid: number | undefined;
  readonly lastStatus: StatusPacket | null;
  readonly exited: Promise<HostExit>;
  readonly running: boolean;
  readonly stats: { videoFrames: number; droppedVideo: number };
  readonly inputBacklog: number;
  takeVideo(): VideoPacket | null;
  quit(options?: { timeoutMs?: number }): Promise<HostExit>;
  /** Each returns false when the host no longer takes input. */
  reset(): boolean;
  mouse(fields: MouseFields): boolean;
  key(fields: KeyFields): boolean;
  command(line: string): boolean;
  kill(reason?: string): Promise<HostExit>;
  on<E extends keyof HostEvents>(event: E, listener: (...args: HostEvents[E]) => void): this;
  once<E extends keyof HostEvents>(event: E, listener: (...args: HostEvents[E]) => void): this;
  off<E extends keyof HostEvents>(event: E, listener: (...args: HostEvents[E]) => void): this;
}

export function startHost(options: HostOptions): HostSession;
export function defaultHostPath(): string;
export function exitMeaning(code: number | null, signal?: string | null): string;

export interface BridgeOptions {
  core: string;
  content: string;
  /** Holds the system, saves, assets and playlists folders. */
  dataDir: string;
  host?: string;
  /** Default 127.0.0.1. */
  bind?: string;
  /** Default 0: any free port. */
  port?: number;
  /** Pages that may play at once; default 1. */
  maxSessions?: number;
  playerDir?: string;
  log?: (line: string) => void;
}

export const QUIT_GRACE_MS: number;

export class BridgeServer {
  constructor(options: BridgeOptions);
  /** Resolves with the page's URL, token included. */
  listen(): Promise<string>;
  readonly url: string;
  readonly port: number;
  readonly token: string;
  readonly hostPids: number[];
  /** Quits every host (killing it after QUIT_GRACE_MS) and stops listening. */
  close(): Promise<void>;
  on(event: 'session', listener: (session: HostSession) => void): this;
  on(event: 'hostexit', listener: (result: HostExit) => void): this;
}

export function createBridgeServer(options: BridgeOptions): BridgeServer;

/** What the player is told besides packets, over the bridge's WebSocket (as JSON text) or a port (as objects). */
export type BridgeNote =
  | { bridge: 'diagnostic'; line: string }
  | { bridge: 'stats'; sentVideo: number; droppedVideo: number; repeatedVideo: number }
  | { bridge: 'exit'; code: number | null; signal: string | null; meaning: string }
  | { bridge: 'refused'; reason: string };

/**
 * What connectPort needs of a port: Electron's MessagePortMain, a worker_threads
 * MessagePort or a DOM MessagePort all have it.
 */
export interface MessagePortLike {
  postMessage(message: unknown, transfer?: any[]): void;
  close(): void;
  start?(): void;
  addEventListener?(type: string, listener: (event: any) => void): void;
  on?(event: string, listener: (...args: any[]) => void): unknown;
}

export interface PortOptions {
  /** How long the host has to end after QUIT before it is killed; default QUIT_GRACE_MS. */
  quitGraceMs?: number;
  /** Told of each refused message. */
  log?: (line: string) => void;
}

/**
 * A host session paired with a port: each host packet goes out as an ArrayBuffer
 * of its own, notes as BridgeNote objects; each string that comes in must be one
 * command line. A bad message is refused and ends the host, as does the port closing
 * (QUIT, then a kill after quitGraceMs); the host's end closes the port.
 */
export class PortConnection {
  constructor(session: HostSession, port: MessagePortLike, options?: PortOptions);
  readonly session: HostSession;
  readonly closed: boolean;
  readonly stats: { sentVideo: number; droppedVideo: number; repeatedVideo: number };
  /** QUIT (a kill after quitGraceMs); the port gets the exit note, then closes. */
  close(): Promise<HostExit>;
}

export function connectPort(session: HostSession, port: MessagePortLike, options?: PortOptions): PortConnection;

/** The browser player's sound figures, `player.stats.audio` (web/player/kalmo_player.js). */
export interface AudioStats {
  state: 'starting' | 'running' | 'waiting-for-gesture' | 'unavailable';
  contextRate: number;
  /** The browser's own output delay. */
  outputLatencyMs: number;
  volume: number;
  muted: boolean;
  /** Whether the feed and the worklet share a SharedArrayBuffer ring. */
  shared: boolean;
  playing: boolean;
  /** Queued now, and as the worklet's rate correction sees it (smoothed over about 0.3 s). */
  bufferedMs: number;
  smoothedFillMs: number;
  /** Playback rate factor, within 0.98 to 1.02. */
  drift: number;
  sourceRate: number;
  /** Loudest sample of the last 50 ms, 0 to 1. */
  peak: number;
  /** The jitter buffer's target in force now; the page's own (audioTargetMs); the highest it may go now
   *  (150 ms, or 1000 ms while late blocks move it); the lateness it follows (0 when none). */
  targetMs: number;
  baseTargetMs: number;
  targetCeilingMs: number;
  followedLateMs: number;
  /** Ring run dry while blocks were coming; of those after a late block; because the game sent nothing. */
  underruns: number;
  stalledUnderruns: number;
  silences: number;
  dryOuts: number;
  /** Blocks more than 10 ms behind their run's schedule, and the most any block came late. */
  lateBlocks: number;
  maxLateMs: number;
  lateCallbacks: number;
  /** Backlogs cut (a queue over the target plus 350 ms and over half a second), and the frames cut. */
  cuts: number;
  cutFrames: number;
  blocks: number;
  blocksNotQueued: number;
  framesReceived: number;
  framesConsumed: number;
  framesPlayed: number;
  framesSilent: number;
  /** Buffered plus output latency less the picture's arrival-to-draw time. */
  trailsPictureMs: number;
  /** Epoch ms when the feed's figures were taken (in the stream's worker). */
  takenAt?: number;
}
