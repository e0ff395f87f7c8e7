#!/usr/bin/env bash
# make dist-test: the release archives are reproducible. The committed HEAD
# is cloned twice, into folders of different names and depths, the second
# under another umask; `make dist` runs in each, one after the other (so at
# different times, each ending with its smoke test), and both SHA256SUMS
# files must be identical. On a mismatch the differing archives' listings
# are compared, to show which file changed.
set -euo pipefail
cd "$(dirname "$0")/../.."
commit=$(git rev-parse HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "dist-test: testing commit ${commit:0:12}; uncommitted changes are not part of it"
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/kalmo-dist-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

build_in() {
    local folder=$1
    git clone -q --no-checkout . "$folder"
    git -C "$folder" checkout -q --detach "$commit"
    make -C "$folder" dist >"$folder.log" 2>&1 || {
        tail -n 40 "$folder.log"
        echo "dist-test: FAILED: make dist failed in a fresh clone"
        exit 1
    }
}

build_in "$work/first"
(umask 0002 && build_in "$work/second/a/longer/path")

if ! cmp -s "$work/first/dist/SHA256SUMS" "$work/second/a/longer/path/dist/SHA256SUMS"; then
    diff "$work/first/dist/SHA256SUMS" "$work/second/a/longer/path/dist/SHA256SUMS" || true
    for archive in "$work"/first/dist/*.tar.gz "$work"/first/dist/*.tgz; do
        diff <(tar -tvzf "$archive") <(tar -tvzf "$work/second/a/longer/path/dist/${archive##*/}") || true
    done
    for archive in "$work"/first/dist/*.zip; do
        diff <(python3 -m zipfile -l "$archive") \
            <(python3 -m zipfile -l "$work/second/a/longer/path/dist/${archive##*/}") || true
    done
    echo "dist-test: FAILED: two builds of ${commit:0:12} differ"
    exit 1
fi
echo "dist-test: two builds of ${commit:0:12} in different folders are identical:"
cat "$work/first/dist/SHA256SUMS"
