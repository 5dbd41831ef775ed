#!/usr/bin/env bash
# Installs the build tree into a scratch DESTDIR with prefix /usr and checks that the program, the
# simulator, the desktop entry, its icon and the udev rule land where the desktop and udev look for them.
set -euo pipefail

build=${1:?usage: install_test.sh BUILD_DIR}
root=$(mktemp -d "${TMPDIR:-/tmp}/qx410-install-XXXXXX")
trap 'rm -rf "$root"' EXIT

DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null

status=0
expect() {
    if ! test "$1" "$root/usr/$2"; then
        echo "missing or wrong: /usr/$2" >&2
        status=1
    fi
}
expect -x bin/qx410fw
expect -x bin/qx410-camera-sim
expect -x bin/qx410fw-cli
expect -f share/man/man1/qx410fw-cli.1.gz
expect -f share/metainfo/invalid.qx410fw.updater.metainfo.xml
expect -f share/applications/qx410fw.desktop
expect -f share/icons/hicolor/32x32/apps/qx410fw.png
expect -f lib/udev/rules.d/70-qx410fw.rules

# The entry starts the installed program by name and names the icon that was installed.
desktop=$root/usr/share/applications/qx410fw.desktop
if [ -f "$desktop" ]; then
    grep -qx 'Exec=qx410fw' "$desktop" || { echo "the desktop entry does not run qx410fw" >&2; status=1; }
    grep -qx 'Icon=qx410fw' "$desktop" || { echo "the desktop entry does not name the qx410fw icon" >&2; status=1; }
fi
icon=$root/usr/share/icons/hicolor/32x32/apps/qx410fw.png
if [ -f "$icon" ] && [ "$(head -c 8 "$icon" | od -An -tx1 | tr -d ' \n')" != 89504e470d0a1a0a ]; then
    echo "the icon is not a PNG file" >&2
    status=1
fi
exit "$status"
