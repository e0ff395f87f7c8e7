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
# make dist packs the npm package and installs it into an empty project.
# A Node.js that brings its own npm (as NodeSource's does) is kept: Debian's
# npm package would conflict with it.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
# The archives take the commit's time; the reproducibility test clones HEAD.
packages+=(git)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi
