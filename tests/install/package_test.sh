#!/usr/bin/env bash
# Builds the Debian package from a build tree (cpack -G DEB), validates its desktop entry, AppStream
# metainfo, manual pages and the package itself (lintian: any error fails, warnings are printed), checks
# its dependencies and stripped binaries, then unpacks it into a scratch root and runs qx410fw-cli from
# there.
set -euo pipefail

build=${1:?usage: package_test.sh BUILD_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/qx410-package-XXXXXX")
trap 'rm -rf "$work"' EXIT

status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/out/qx410fw_*.deb)
echo "package: $(basename "$deb")"

# Control fields: dependencies computed from the binaries, the project as maintainer.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libqt6widgets6; do
    [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib"
done
[[ $(dpkg-deb -f "$deb" Maintainer) == *"@"*".invalid>" ]] || fail "the maintainer is not the project's .invalid address"

root=$work/root
dpkg -x "$deb" "$root"
for path in usr/bin/qx410fw usr/bin/qx410fw-cli usr/bin/qx410-camera-sim; do
    [ -x "$root/$path" ] || fail "missing $path"
    file "$root/$path" | grep -q ', stripped' || fail "$path is not stripped"
done
for path in usr/share/applications/qx410fw.desktop usr/share/icons/hicolor/32x32/apps/qx410fw.png \
    usr/share/metainfo/invalid.qx410fw.updater.metainfo.xml usr/lib/udev/rules.d/70-qx410fw.rules \
    usr/share/man/man1/qx410fw.1.gz usr/share/man/man1/qx410fw-cli.1.gz usr/share/man/man1/qx410-camera-sim.1.gz \
    usr/share/doc/qx410fw/copyright usr/share/doc/qx410fw/changelog.Debian.gz; do
    [ -f "$root/$path" ] || fail "missing $path"
done
grep -q 'All rights reserved' "$root/usr/share/doc/qx410fw/copyright" || fail "copyright lacks 'All rights reserved'"
# The rule gives the desktop user the camera's USB device and no one the machine's serial adapters.
grep -q '^SUBSYSTEM=="usb".*QX410.*uaccess' "$root/usr/lib/udev/rules.d/70-qx410fw.rules" ||
    fail "the udev rule lacks the camera's USB device"
if grep -v '^#' "$root/usr/lib/udev/rules.d/70-qx410fw.rules" | grep -Eq 'tty(USB|ACM)'; then
    fail "the udev rule opens serial adapters"
fi

echo "desktop-file-validate:"
desktop-file-validate "$root/usr/share/applications/qx410fw.desktop" || fail "desktop-file-validate"
echo "appstreamcli validate --no-net:"
appstreamcli validate --no-net "$root/usr/share/metainfo/invalid.qx410fw.updater.metainfo.xml" ||
    fail "appstreamcli validate"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "manual page $(basename "$page"): $warnings"
done
echo "lintian:"
lintian_out=$(lintian --allow-root --tag-display-limit 0 "$deb" 2>&1) || true
echo "$lintian_out"
if grep -q '^E: ' <<<"$lintian_out"; then
    fail "lintian reports errors"
fi

# Installed into a scratch root, the command line runs from there.
help=$("$root/usr/bin/qx410fw-cli" --help) || fail "qx410fw-cli --help from the scratch root"
grep -q '^usage: qx410fw-cli' <<<"$help" || fail "qx410fw-cli --help printed no usage"
"$root/usr/bin/qx410fw-cli" --version | grep -q '^qx410fw-cli [0-9]' || fail "qx410fw-cli --version printed no version"
# The package ships no sources: the simulator's help must not send its reader to one.
sim_help=$("$root/usr/bin/qx410-camera-sim" --help 2>&1) || fail "qx410-camera-sim --help from the scratch root"
if grep -Eq '[A-Za-z_/]+\.(h|cpp)\b' <<<"$sim_help"; then
    fail "qx410-camera-sim --help refers to a source file: $(grep -E '\.(h|cpp)\b' <<<"$sim_help")"
fi

[ "$status" -eq 0 ] && echo "package test passed"
exit "$status"
