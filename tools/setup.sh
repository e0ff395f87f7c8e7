#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
packages=(
  build-essential cmake ninja-build pkg-config python3
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libpng-dev
  libsdl2-dev xvfb xauth xdotool imagemagick
  libretro-nestopia libretro-gambatte libretro-mgba
  clang libclang-rt-14-dev nlohmann-json3-dev valgrind
  mono-mcs
)
# The archives take the commit's time; the reproducibility test clones HEAD.
packages+=(git)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The web package needs Node 18 or newer with npm; a newer node already on
# the machine is kept (installing Debian's would replace it). Debian's
# chromium runs the browser tests.
node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
if [ "$node_major" -lt 18 ]; then missing+=(nodejs npm); fi
if [ "$node_major" -ge 18 ] && ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi
dpkg-query -W -f='${Status}' chromium 2>/dev/null | grep -q "install ok installed" || missing+=(chromium)
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

# The web package's dependencies, exactly as package-lock.json records them.
(cd "$(dirname "$0")/../web" && npm ci --no-audit --no-fund)
# The Windows node.exe that the web package's Wine tests run (not shipped).
bash "$(dirname "$0")/windows_node.sh"
