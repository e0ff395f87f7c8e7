// The stream worker: a dedicated module Worker that owns the socket (or the
// port handed to it), the parser, the painting of an OffscreenCanvas and the
// writes into the shared audio ring, so a page whose main thread is busy
// keeps its picture and its sound. It runs one Stream (stream.js) and relays
// its reports to the page; the page sends it command lines and a few
// requests. Messages from the page:
//   {type:'start', source, canvas, renderer, ring, audioTargetMs}  (source and canvas transferred)
//   {type:'send', line}  {type:'audio', running}  {type:'close'}
//   {type:'read', id}  {type:'timeline', id}   answered by {type:'reply', id, value}

import { Stream } from './stream.js';

let stream = null;

const report = (message, transfer = []) => self.postMessage(message, transfer);

self.onmessage = ({ data }) => {
  switch (data.type) {
  case 'start':
    stream = new Stream({ ...data, report });
    break;
  case 'send':
    stream?.send(data.line);
    break;
  case 'audio':
    stream?.setAudioRunning(data.running);
    break;
  case 'read': {
    const pixels = stream ? stream.readPixels() : { width: 0, height: 0, data: new Uint8ClampedArray(0) };
    report({ type: 'reply', id: data.id, value: pixels }, [pixels.data.buffer]);
    break;
  }
  case 'timeline':
    report({ type: 'reply', id: data.id, value: stream?.timeline() ?? null });
    break;
  case 'close':
    stream?.destroy();
    stream = null;
    self.close();
    break;
  default:
    break;
  }
};

report({ type: 'ready' });
