// One TCP port for the bridge's HTTPS: a connection whose first byte opens a
// TLS handshake goes to the HTTPS server; anything else is taken for plain
// HTTP and answered, once, with a 400 saying to use https:// (someone who
// typed the address without the scheme should learn why, not see a reset).
import { createServer as createNetServer } from 'node:net';
import { createServer as createHttpServer } from 'node:http';

const TLS_HANDSHAKE = 0x16;
// A connection that says nothing is dropped rather than held open.
const FIRST_BYTE_MS = 10_000;

// `refusal(request)` gives the plain-HTTP answer's text.
export function createSecurePort(httpsServer, refusal) {
  const plain = createHttpServer((request, response) => {
    const text = refusal(request);
    response.writeHead(400, {
      'Content-Type': 'text/plain; charset=utf-8', 'Content-Length': Buffer.byteLength(text),
      Connection: 'close', 'Cache-Control': 'no-store',
    });
    response.end(text);
  });
  plain.on('upgrade', (request, socket) => {
    const text = refusal(request);
    socket.end(`HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Type: text/plain; charset=utf-8\r\n`
      + `Content-Length: ${Buffer.byteLength(text)}\r\n\r\n${text}`);
  });
  plain.on('clientError', (error, socket) => socket.destroy());
  return createNetServer((socket) => {
    socket.on('error', () => socket.destroy());
    socket.setTimeout(FIRST_BYTE_MS, () => socket.destroy());
    socket.once('data', (chunk) => {
      socket.setTimeout(0);
      socket.pause();
      socket.unshift(chunk);
      if (chunk[0] === TLS_HANDSHAKE) {
        httpsServer.emit('connection', socket);
      } else {
        // The HTTP parser reads by 'data' events, which a paused socket holds back.
        plain.emit('connection', socket);
        socket.resume();
      }
    });
  });
}
