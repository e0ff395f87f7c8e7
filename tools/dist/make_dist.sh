#!/usr/bin/env bash
# make dist: builds the release archives into dist/ and checks them.
#
#   dist/kalmo-host-VERSION-windows-x86_64.zip   kalmo-host.exe, the client DLL
#                                                and import library, header,
#                                                Python binding, C# declarations,
#                                                README.txt
#   dist/kalmo-host-VERSION-linux-x86_64.tar.gz  kalmo-host, the client shared
#                                                library, header, Python
#                                                binding, C# declarations,
#                                                README.txt
#   dist/kalmo-host-client-VERSION.tgz           the npm package (npm pack)
#   dist/SHA256SUMS                              over the three
#
# The bytes depend on the commit alone: release builds in their own folders
# (build/dist-linux, build/dist-windows) with no folder names or link times in
# the binaries, archives written by archive.py with the commit's time, and the
# npm package packed from a copy whose file modes are normalised. It ends with
# smoke_test.sh, which unpacks each archive and runs it as a user would.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
jobs=${JOBS:-2}
version=$(head -n 1 VERSION)
fail() { echo "make dist: $*" >&2; exit 1; }

[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "VERSION holds '$version', not MAJOR.MINOR.PATCH"
# Every archive entry gets the commit's time, so a rebuild of the commit
# matches; outside a git checkout SOURCE_DATE_EPOCH must say it.
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}
[[ $epoch =~ ^[0-9]+$ ]] || fail "no commit time: run from a git checkout or set SOURCE_DATE_EPOCH"
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
    echo "make dist: warning: the working tree differs from its commit; these archives are not that commit's" >&2
fi
npm_version=$(node -p 'require("./web/package.json").version')
[ "$npm_version" = "$version" ] || fail "web/package.json has version $npm_version, VERSION has $version"

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
# Only what ships, and the demo core and test parent the smoke test runs.
targets=(--target kalmo-host kalmo_client demo_core)
release_build() {
    local folder=$1
    shift
    cmake -S . -B "$folder" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DKALMO_RELEASE=ON "$@" >/dev/null
    cmake --build "$folder" -j "$jobs" "${targets[@]}"
}
release_build build/dist-linux
targets+=(kalmo-test-parent)
release_build build/dist-windows "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-w64.cmake"

rm -rf dist build/dist-stage
mkdir -p dist build/dist-stage
python3 tools/dist/integrator_readme.py README.md "$version" >build/dist-stage/README.txt

shared=(
    README.txt=build/dist-stage/README.txt
    include/kalmo_client.h=client/include/kalmo_client.h
    python/kalmo_client.py=client/python/kalmo_client.py
    python/record_example.py=client/python/record_example.py
    csharp/KalmoClient.cs=client/csharp/KalmoClient.cs
)
linux_name=kalmo-host-$version-linux-x86_64
python3 tools/dist/archive.py "dist/$linux_name.tar.gz" "$linux_name" "$epoch" "${shared[@]}" \
    kalmo-host=build/dist-linux/kalmo-host \
    lib/libkalmo_client.so=build/dist-linux/client/libkalmo_client.so
windows_name=kalmo-host-$version-windows-x86_64
python3 tools/dist/archive.py "dist/$windows_name.zip" "$windows_name" "$epoch" "${shared[@]}" \
    kalmo-host.exe=build/dist-windows/kalmo-host.exe \
    kalmo_client.dll=build/dist-windows/client/kalmo_client.dll \
    lib/libkalmo_client.dll.a=build/dist-windows/client/libkalmo_client.dll.a

# npm keeps each file's mode in the package: pack a copy whose modes do not
# depend on the umask the checkout was made with.
mkdir build/dist-stage/npm
tar -C web --exclude=./node_modules -cf - . | tar -C build/dist-stage/npm -xf -
chmod -R u+rw,go-w,go+rX build/dist-stage/npm
(cd build/dist-stage/npm && npm pack --silent --pack-destination "$root/dist" >/dev/null)
[ -f "dist/kalmo-host-client-$version.tgz" ] || fail "npm pack did not write kalmo-host-client-$version.tgz"

(cd dist && sha256sum "$windows_name.zip" "$linux_name.tar.gz" "kalmo-host-client-$version.tgz" >SHA256SUMS)
bash tools/dist/smoke_test.sh dist
echo "make dist: dist/ holds:"
cat dist/SHA256SUMS
