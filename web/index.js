// kalmo-host-client: the parent side of the KALMO host for Node and Electron.
// The parser, key table, mouse accumulator, pointer rule and command lines
// also run in a browser, imported from lib/ directly.
export { PacketParser, PacketStreamError } from './lib/packet_parser.js';
export { LIBRETRO_KEYS, RETRO_MODIFIERS, characterFromEvent, keyCodeFromEvent, modifiersFromEvent } from './lib/keys.js';
export { MouseAccumulator } from './lib/mouse_accumulator.js';
export { CursorAxis, PointerRule, coreLibraryName, pointerDefaults } from './lib/pointer_rule.js';
export { COMMAND_LIMITS, CommandError, keyLine, mouseLine, parseCommandLine } from './lib/commands.js';
export { HostSession, defaultHostPath, startHost } from './lib/host_session.js';
export { exitMeaning } from './lib/exit_meaning.js';
export { BridgeServer, QUIT_GRACE_MS, createBridgeServer } from './lib/bridge_server.js';
export { PortConnection, connectPort } from './lib/port_connection.js';
