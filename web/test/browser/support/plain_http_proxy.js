// A plain-HTTP reverse proxy in front of the LAN bridge, as someone might put
// one: pages and WebSocket upgrades are passed to the bridge's https://
// address with the Host and Origin the bridge expects (what a proxy set up
// for one site sends), and answered over plain HTTP. A page reached through
// it is not a secure context, which is what the tests of that case need. It
// trusts the bridge by its certificate, and listens only where it is told.

import http from 'node:http';
import https from 'node:https';

// target: the bridge's origin (https://ADDRESS:PORT); ca: its certificate (PEM); listens on `address`, any port.
export async function startPlainProxy({ target, ca, address }) {
  const bridge = new URL(target);
  const options = (request, headers) => ({
    host: bridge.hostname, port: bridge.port, method: request.method, path: request.url, ca, headers: { ...headers, host: bridge.host, ...(headers.origin ? { origin: bridge.origin } : {}) },
  });
  const server = http.createServer((request, response) => {
    const forward = https.request(options(request, request.headers), (answer) => {
      response.writeHead(answer.statusCode, answer.headers);
      answer.pipe(response);
    });
    forward.on('error', () => response.destroy());
    request.pipe(forward);
  });
  // Upgraded sockets leave the server's keeping: closed by hand.
  const upgraded = new Set();
  server.on('upgrade', (request, socket, head) => {
    upgraded.add(socket);
    socket.on('close', () => upgraded.delete(socket));
    socket.on('error', () => socket.destroy());
    const forward = https.request(options(request, request.headers));
    forward.on('upgrade', (answer, upstream, upstreamHead) => {
      const lines = [`HTTP/1.1 ${answer.statusCode} ${answer.statusMessage}`];
      for (let i = 0; i < answer.rawHeaders.length; i += 2) lines.push(`${answer.rawHeaders[i]}: ${answer.rawHeaders[i + 1]}`);
      socket.write(`${lines.join('\r\n')}\r\n\r\n`);
      if (upstreamHead.length) socket.write(upstreamHead);
      if (head.length) upstream.write(head);
      upstream.on('error', () => socket.destroy());
      socket.on('close', () => upstream.destroy());
      upstream.pipe(socket).pipe(upstream);
    });
    // Refused upgrades come back as ordinary responses: passed on, and the socket closed.
    forward.on('response', (answer) => {
      socket.end(`HTTP/1.1 ${answer.statusCode} ${answer.statusMessage}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
      answer.resume();
    });
    forward.on('error', () => socket.destroy());
    forward.end();
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, address, resolve);
  });
  return {
    url: `http://${address}:${server.address().port}`,
    close: () => {
      server.closeAllConnections();
      for (const socket of upgraded) socket.destroy();
      return new Promise((resolve) => server.close(resolve));
    },
  };
}
