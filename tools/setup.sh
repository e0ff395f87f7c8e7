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
  libinih1 zlib1g
  clang libclang-rt-14-dev nlohmann-json3-dev valgrind
  mono-mcs
)
# The archives take the commit's time; the reproducibility test clones HEAD.
packages+=(git)
# The LAN tests join a network namespace to the machine by a veth pair and
# limit its rate (ip and tc).
packages+=(iproute2)
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
# Debian's real cores, for the integration tests. Their packages depend on a
# Libretro frontend, which this project never installs or runs: only the core
# libraries are unpacked (their own library needs are in the list above).
core_packages=(libretro-nestopia libretro-gambatte libretro-mgba)
core_root=/opt/kalmo/libretro-cores
cores_missing=0
for core in nestopia gambatte mgba; do
  compgen -G "$core_root/usr/lib/*/libretro/${core}_libretro.so" >/dev/null || cores_missing=1
done
if [ ${#missing[@]} -gt 0 ] || [ "$cores_missing" = 1 ]; then
  $SUDO apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi
if [ "$cores_missing" = 1 ]; then
  debs=$(mktemp -d)
  chown _apt "$debs" 2>/dev/null || true
  (cd "$debs" && $SUDO apt-get download -q "${core_packages[@]}" </dev/null)
  $SUDO mkdir -p "$core_root"
  for deb in "$debs"/*.deb; do $SUDO dpkg-deb -x "$deb" "$core_root"; done
  $SUDO rm -rf "$debs"
fi

# The web package's dependencies, exactly as package-lock.json records them.
(cd "$(dirname "$0")/../web" && npm ci --no-audit --no-fund)
# The Windows node.exe that the web package's Wine tests run (not shipped).
bash "$(dirname "$0")/windows_node.sh"
