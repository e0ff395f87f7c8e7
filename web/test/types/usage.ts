// Compiled by `tsc --noEmit` in the tests: the declarations hold together
// and describe the package as a front-end uses it.
import {
  PacketParser, PacketStreamError, startHost, createBridgeServer, keyCodeFromEvent, modifiersFromEvent,
  characterFromEvent, MouseAccumulator, PointerRule, coreLibraryName, pointerDefaults, mouseLine, keyLine,
  parseCommandLine, exitMeaning, connectPort, type HostExit, type BridgeNote, type AudioStats,
} from 'kalmo-host-client';

const parser = new PacketParser();
for (const packet of parser.push(new Uint8Array(9))) {
  if (packet.type === 'video') console.log(packet.width * packet.height, packet.rgba.length);
  else if (packet.type === 'audio') console.log(packet.samples[0], packet.sampleRate);
  else console.log(packet.state.toUpperCase(), packet.text);
}
try {
  parser.end();
} catch (error) {
  if (error instanceof PacketStreamError) console.log(error.offset, error.packets.length);
}

const host = startHost({
  core: 'core.so', content: 'game', systemDir: 's', saveDir: 'v', assetsDir: 'a', playlistDir: 'p', video: 'latest',
});
host.on('videoready', () => host.takeVideo()?.rgba);
host.on('diagnostic', (line) => line.trim());
host.on('exit', (result: HostExit) => console.log(result.meaning, result.lastStatus?.state));
host.mouse({ dx: 1, buttons: 1, inside: true });
host.key({ code: keyCodeFromEvent({ code: 'KeyA' }), down: true, character: characterFromEvent({ key: 'a' }),
  modifiers: modifiersFromEvent({ shiftKey: true }) });
const ended: Promise<HostExit> = host.quit({ timeoutMs: 1000 });
void ended;

const mouse = new MouseAccumulator();
mouse.add(0.5, 0.5);
const line: string = mouseLine({ ...mouse.take(), x: 1, y: 2 }) + keyLine({ code: 13, down: 0 }) + parseCommandLine('QUIT');
console.log(line, exitMeaning(3, null));

// The browser player's onscreenKeys option, as a front-end gives it.
const onscreenKeys: import('kalmo-host-client').OnscreenKeysOption[] = [
  'auto', [{ label: 'Jump', code: 'ArrowUp' }, { label: 'Y', code: 'KeyY', key: 'y' }],
];
console.log(onscreenKeys.length);

const server = createBridgeServer({ core: 'core.so', content: 'game', dataDir: 'data', maxSessions: 2 });
server.on('session', (session) => session.pid);
const url: Promise<string> = server.listen();
void url;

const channel = new MessageChannel();
const paired = connectPort(host, channel.port1, { quitGraceMs: 500, log: (text) => text.length });
channel.port2.onmessage = (event: MessageEvent<ArrayBuffer | BridgeNote>) => {
  const data = event.data;
  if (data instanceof ArrayBuffer) parser.push(new Uint8Array(data));
  else if (data.bridge === 'exit') console.log(data.meaning, paired.stats.sentVideo);
};
const closed: Promise<HostExit> = paired.close();
void closed;

const rule = new PointerRule({ speed: pointerDefaults(coreLibraryName('ScummVM 2.8.0 · API 1')).speed });
rule.setFrameSize(320, 200);
const pinLine = rule.pin(0);
rule.onFrame();
const { dx, dy, retryAt } = rule.motionToward(300, [160, 100], { clamped: true });
console.log(mouseLine({ dx: pinLine.dx + dx, dy: pinLine.dy + dy }), retryAt, rule.cursor.x);

// A front-end's own sound readout from `player.stats.audio`.
const soundLine = (audio: AudioStats): string =>
  `${audio.bufferedMs.toFixed(0)}/${audio.targetMs} ms (ceiling ${audio.targetCeilingMs}, following ${audio.followedLateMs} ms late)`;
console.log(soundLine);
