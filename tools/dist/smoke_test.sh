#!/usr/bin/env bash
# The last step of make dist: checks the archives in a dist folder as a
# front-end team would use them. Each archive is verified against SHA256SUMS,
# unpacked into a temporary folder and run from there:
#   - the Linux host plays the demo core for a second and exits 0;
#   - kalmo-host.exe does the same under Wine, started by the test parent;
#     it imports KERNEL32 and SHELL32 only and carries VERSION in its
#     version resource; the client DLL needs no MinGW runtime DLL;
#   - the Python binding loads the archive's library, which reports
#     VERSION, and its example records a second of the demo core;
#   - the npm package installs into an empty project, makes a LAN-mode
#     certificate and QR code, and one startHost session runs the Linux host.
# The demo core and the test parent come from the release build folders:
# they are tools of this check, not part of any archive.
#
#   smoke_test.sh [DIST_FOLDER]      (default dist)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
dist=$(realpath "${1:-dist}")
version=$(head -n 1 VERSION)
linux_core=$root/build/dist-linux/demo/demo_core.so
windows_core=$root/build/dist-windows/demo/demo_core.dll
test_parent=$root/build/dist-windows/tools/test_parent/kalmo-test-parent.exe
content=$root/demo/demo_content.txt

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "smoke test: FAILED: $*" >&2; exit 1; }
passed() { echo "smoke test: ok: $*"; }

(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "the archives do not match SHA256SUMS"
passed "SHA256SUMS"
mkdir -p "$work/linux" "$work/windows" "$work/data"/{system,save,assets,playlists}
tar -xzf "$dist/kalmo-host-$version-linux-x86_64.tar.gz" -C "$work/linux"
python3 -m zipfile -e "$dist/kalmo-host-$version-windows-x86_64.zip" "$work/windows"
linux=$work/linux/kalmo-host-$version-linux-x86_64
windows=$work/windows/kalmo-host-$version-windows-x86_64
data=("$work/data/system" "$work/data/save" "$work/data/assets" "$work/data/playlists")

# A run's standard output must be packets from the first byte, hold a video
# frame (type 1) and end the run with the stopped status.
check_stream() {
    local stream=$1 what=$2
    [ "$(head -c 4 "$stream")" = KLMP ] || fail "$what: standard output does not start with a packet"
    LC_ALL=C grep -qaP 'KLMP\x01' "$stream" || fail "$what: no video frame"
    grep -qa '"state":"running"' "$stream" || fail "$what: no running status"
    grep -qa '"state":"stopped"' "$stream" || fail "$what: no stopped status"
}

linux_run() {
    local code=0
    { sleep 1; echo QUIT; } | timeout 30 "$linux/kalmo-host" "$linux_core" "$content" "${data[@]}" \
        >"$work/linux.out" 2>"$work/linux.err" || code=$?
    [ "$code" = 0 ] || fail "Linux host exited with $code: $(tail -c 2000 "$work/linux.err")"
    check_stream "$work/linux.out" "Linux host"
    passed "Linux host played the demo core for a second and exited 0"
}

windows_path() { printf 'Z:%s' "$(realpath "$1")" | tr / '\\'; }

windows_checks() {
    local exe=$windows/kalmo-host.exe
    local imports
    imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | sort | tr '\n' ' ')
    [ "$imports" = "KERNEL32.dll SHELL32.dll " ] || fail "kalmo-host.exe imports $imports"
    passed "kalmo-host.exe imports KERNEL32 and SHELL32 only"
    x86_64-w64-mingw32-windres -i "$exe" -O rc >"$work/version.rc" || fail "no resources in kalmo-host.exe"
    for field in FileVersion ProductVersion; do
        grep -q "VALUE \"$field\", \"$version\"" "$work/version.rc" || fail "kalmo-host.exe's $field is not $version"
    done
    grep -q "FILEVERSION ${version//./, }, 0" "$work/version.rc" || fail "kalmo-host.exe's FILEVERSION is not $version"
    passed "kalmo-host.exe carries version $version"
    # A DLL a front-end ships beside its program must load on a bare Windows.
    if x86_64-w64-mingw32-objdump -p "$windows/kalmo_client.dll" | grep -Eiq 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
        fail "kalmo_client.dll needs a MinGW runtime DLL that the archive does not hold"
    fi
    passed "kalmo_client.dll needs no MinGW runtime DLL"
}

windows_run() {
    command -v wine >/dev/null 2>&1 || fail "wine is not installed (make setup installs it)"
    sh tests/wine/start_wine.sh >/dev/null
    printf '@frames 1\n@sleep 1000\nQUIT\n' >"$work/windows.input"
    local arguments=()
    for folder in "${data[@]}"; do arguments+=("$(windows_path "$folder")"); done
    # Wine's own messages would otherwise mix into the test's output.
    WINEDEBUG=-all LC_ALL=C.UTF-8 wine "$test_parent" --timeout 30000 --stdin "$(windows_path "$work/windows.input")" \
        "$(windows_path "$work/windows.out")" "$(windows_path "$work/windows.err")" \
        "$(windows_path "$work/windows.exit")" -- "$(windows_path "$windows/kalmo-host.exe")" \
        "$(windows_path "$windows_core")" "$(windows_path "$content")" "${arguments[@]}" \
        </dev/null >"$work/wine.log" 2>&1 || true
    local code
    code=$(cat "$work/windows.exit" 2>/dev/null || echo "none (wine: $(tail -c 1000 "$work/wine.log"))")
    [ "$code" = 0 ] || fail "kalmo-host.exe under Wine exited with $code: $(tail -c 2000 "$work/windows.err" 2>/dev/null)"
    check_stream "$work/windows.out" "kalmo-host.exe under Wine"
    passed "kalmo-host.exe played the demo core under Wine for a second and exited 0"
}

# The binding from the archive, on the archive's library and host, as its
# README shows: the version, then the example recording a second of play.
python_run() {
    local library=$linux/lib/libkalmo_client.so reported
    reported=$(cd "$linux/python" && python3 -c 'import sys, kalmo_client; print(kalmo_client.version(sys.argv[1]))' "$library") ||
        fail "the Python binding could not load $library"
    [ "$reported" = "$version" ] || fail "kalmo_client_version() says $reported, VERSION says $version"
    passed "the Python binding loads the library, which reports version $version"
    python3 "$linux/python/record_example.py" "$linux/kalmo-host" "$linux_core" "$content" "$work/recording" \
        --seconds 1 --library "$library" >"$work/python.log" 2>&1 ||
        fail "record_example.py: $(tail -c 2000 "$work/python.log")"
    compgen -G "$work/recording/frame_*.png" >/dev/null || fail "record_example.py saved no frame"
    grep -q '^stopped: exit code 0:' "$work/python.log" ||
        fail "record_example.py did not end the host with exit code 0: $(cat "$work/python.log")"
    passed "record_example.py recorded a second of the demo core through the binding"
}

npm_run() {
    local project=$work/npm-project
    mkdir -p "$project"
    printf '{ "name": "kalmo-smoke", "version": "1.0.0", "private": true, "type": "module" }\n' >"$project/package.json"
    # Only the package's dependencies (ws; selfsigned and qrcode for the LAN
    # mode; and theirs) come from outside the tarball: from npm's cache when
    # they are there.
    (cd "$project" && npm install --prefer-offline --no-audit --no-fund --loglevel=error \
        "$dist/kalmo-host-client-$version.tgz") >"$work/npm.log" 2>&1 ||
        fail "npm install of the packed tarball failed: $(tail -c 2000 "$work/npm.log")"
    cp tools/dist/npm_smoke.mjs "$project/"
    (cd "$project" && node npm_smoke.mjs "$version" "$linux/kalmo-host" "$linux_core" "$content" "${data[@]}") ||
        fail "the npm package's startHost session"
    passed "the npm package installed into an empty project and ran one startHost session"
}

linux_run
python_run
windows_checks
windows_run
npm_run
echo "smoke test: all checks passed"
