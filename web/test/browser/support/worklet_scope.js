// The audio worklet's processor in plain Node: the worklet scope's globals
// as the browser gives them (`sampleRate`, `AudioWorkletProcessor` with a
// port that keeps what is posted, `registerProcessor`), so a test can drive
// the real processor render quantum by render quantum on no clock but its own.

export const CONTEXT_RATE = 48000;
export const QUANTUM = 128;
let Processor;

export async function loadProcessor() {
  if (Processor) return Processor;
  globalThis.sampleRate = CONTEXT_RATE;
  globalThis.AudioWorkletProcessor = class {
    constructor() {
      this.port = { messages: [], postMessage(message) { this.messages.push(message); } };
    }
  };
  globalThis.registerProcessor = (name, constructor) => { Processor = constructor; };
  await import('../../../player/audio/kalmo_audio_processor.js');
  return Processor;
}
