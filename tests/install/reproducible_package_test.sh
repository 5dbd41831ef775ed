#!/usr/bin/env bash
# Builds the packages twice from the same sources, in two folders of different names and depths, with
# the same SOURCE_DATE_EPOCH, and expects byte-identical .deb files. When they differ it names the
# member and the files inside that differ. The sources are the repository's tracked files as they are in
# the working tree. Two complete release builds without a cache: about ten minutes on two cores.
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
command -v git >/dev/null || { echo "git is not installed: skipped"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/qx410-reproducible-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The commit's time, as Debian's tools take it from the changelog.
SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct 2>/dev/null || echo 1700000000)
export SOURCE_DATE_EPOCH
echo "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"

# Both copies are taken before either build starts, so they hold the same files.
copy_to() {
    mkdir -p "$1"
    (cd "$src" && git ls-files -z | xargs -0 tar -cf - --no-recursion) | tar -xf - -C "$1"
}
copy_to "$work/first/qx410fw"
copy_to "$work/second-build/a/qx410fw-copy"
diff -r "$work/first/qx410fw" "$work/second-build/a/qx410fw-copy" >/dev/null || { echo "the copies differ"; exit 1; }

build_in() {
    local tree=$1
    env -u CCACHE_DIR CCACHE_DISABLE=1 cmake -S "$tree" -B "$tree/build" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_BUILD_TESTS=OFF >"$tree.configure.log" 2>&1 ||
        { cat "$tree.configure.log"; return 1; }
    CCACHE_DISABLE=1 cmake --build "$tree/build" -j "$(nproc)" >"$tree.build.log" 2>&1 ||
        { tail -40 "$tree.build.log"; return 1; }
    (cd "$tree/build" && cpack -G DEB -B "$tree/out" >"$tree.cpack.log" 2>&1) || { cat "$tree.cpack.log"; return 1; }
}

build_in "$work/first/qx410fw"
build_in "$work/second-build/a/qx410fw-copy"

status=0
for deb in "$work"/first/qx410fw/out/*.deb; do
    name=$(basename "$deb")
    other=$work/second-build/a/qx410fw-copy/out/$name
    if [ ! -f "$other" ]; then
        echo "FAIL: only the first build made $name"
        status=1
    elif cmp -s "$deb" "$other"; then
        echo "identical: $name ($(stat -c %s "$deb") bytes)"
    else
        echo "FAIL: $name differs"
        for side in a b; do
            mkdir -p "$work/x/$side"
        done
        dpkg-deb -R "$deb" "$work/x/a/$name" && dpkg-deb -R "$other" "$work/x/b/$name"
        diff -r "$work/x/a/$name" "$work/x/b/$name" | head -20 || true
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "reproducible package test passed"
exit "$status"
