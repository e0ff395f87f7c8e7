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

/** How a viewer's frames travel: whole host packets, or the tiles changed since its last frame (lib/tile_codec.js). */
export type VideoCodec = 'raw' | 'tiles';

/** A relay's video counts, as its stats note carries them. */
export interface RelayStats {
  sentVideo: number;
  /** Frames not sent: the viewer was backed up, or a newer frame replaced them first. */
  droppedVideo: number;
  repeatedVideo: number;
  /** Of droppedVideo, frames never sent because the viewer's transport was backed up. */
  skippedVideo: number;
  /** Tile messages holding a whole frame (the first, a size change, a viewer's request, a frame changed all over). */
  wholeFrames: number;
  video: VideoCodec;
  /** Video bytes handed to the transport, by codec. */
  videoBytes: { raw: number; tiles: number };
}

/** What the player is told besides packets, over the bridge's WebSocket (as JSON text) or a port (as objects). */
export type BridgeNote =
  | { bridge: 'diagnostic'; line: string }
  | ({ bridge: 'stats' } & RelayStats)
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
  /** 'raw' (default) or 'tiles'; the player decodes either. */
  video?: VideoCodec;
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
  readonly stats: RelayStats;
  /** QUIT (a kill after quitGraceMs); the port gets the exit note, then closes. */
  close(): Promise<HostExit>;
}

export function connectPort(session: HostSession, port: MessagePortLike, options?: PortOptions): PortConnection;
