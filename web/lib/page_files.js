// What the bridge serves over HTTP, and nothing more: the player page at
// `/`, files under web/player/ at `/player/...`, and a fixed list of the
// package's browser-safe modules at `/lib/...`. A request can never name a
// file outside those: paths are resolved, and symbolic links followed,
// before the containment check.
import { readFile, realpath, stat } from 'node:fs/promises';
import { extname, join, sep } from 'node:path';
import { fileURLToPath } from 'node:url';

const packageRoot = fileURLToPath(new URL('..', import.meta.url));
export const PLAYER_DIR = join(packageRoot, 'player');
const FALLBACK_PAGE = join(packageRoot, 'lib', 'fallback_page.html');

// The modules a page may import; each uses no Node API.
export const BROWSER_MODULES = new Set(['packet_parser.js', 'keys.js', 'mouse_accumulator.js', 'commands.js',
  'pointer_rule.js', 'tile_codec.js']);

const CONTENT_TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json',
  '.webmanifest': 'application/manifest+json',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
  '.wasm': 'application/wasm',
  '.woff2': 'font/woff2',
  '.txt': 'text/plain; charset=utf-8',
};

// { body, type } for a request path, or null for anything not served.
export async function pageFile(pathname, playerDir = PLAYER_DIR) {
  if (pathname === '/' || pathname === '/index.html') {
    const page = await readInside(playerDir, 'index.html');
    return page ?? { body: await readFile(FALLBACK_PAGE), type: CONTENT_TYPES['.html'] };
  }
  if (pathname.startsWith('/lib/')) {
    const name = pathname.slice('/lib/'.length);
    if (!BROWSER_MODULES.has(name)) return null;
    return { body: await readFile(join(packageRoot, 'lib', name)), type: CONTENT_TYPES['.js'] };
  }
  if (pathname.startsWith('/player/')) return readInside(playerDir, pathname.slice('/player/'.length));
  return null;
}

async function readInside(root, relative) {
  let decoded;
  try {
    decoded = decodeURIComponent(relative);
  } catch {
    return null;
  }
  const parts = decoded.split('/');
  if (decoded.includes('\0') || decoded.includes('\\') || parts.some((part) => part === '' || part === '.' || part === '..')) {
    return null;
  }
  try {
    const realRoot = await realpath(root);
    const file = await realpath(join(root, ...parts));
    if (!file.startsWith(realRoot + sep) || !(await stat(file)).isFile()) return null;
    return { body: await readFile(file), type: CONTENT_TYPES[extname(file).toLowerCase()] ?? 'application/octet-stream' };
  } catch {
    return null;
  }
}
