#!/usr/bin/env bash
# Builds the Debian packages from a build tree (cpack -G DEB: qx410fw-cli, qx410fw, qx410-camera-sim),
# checks their control fields and computed dependencies (the command line and the simulator without
# Qt), the version everywhere (packages, --version of the three programs, manual page headers, AppStream
# release), stripped and hardened binaries without .comment sections, validates the desktop entry,
# AppStream metainfo and manual pages, runs lintian (-I -E --pedantic: any tag not explained below
# fails), then unpacks the packages into a scratch root and runs the programs from there.
#   package_test.sh BUILD_DIR VERSION
set -euo pipefail

build=${1:?usage: package_test.sh BUILD_DIR VERSION}
version=${2:?usage: package_test.sh BUILD_DIR VERSION}
work=$(mktemp -d "${TMPDIR:-/tmp}/qx410-package-XXXXXX")
trap 'rm -rf "$work"' EXIT

status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; exit 1; }
declare -A deb
for package in qx410fw-cli qx410fw qx410-camera-sim; do
    deb[$package]=$work/out/${package}_${version}-1_amd64.deb
    [ -f "${deb[$package]}" ] || { ls "$work/out" >&2; fail "no package $package $version-1"; exit 1; }
done

# Control fields: dependencies computed from the binaries, the project as maintainer, one version.
for package in "${!deb[@]}"; do
    file=${deb[$package]}
    depends=$(dpkg-deb -f "$file" Depends)
    echo "$package $(dpkg-deb -f "$file" Version): Depends: $depends"
    [ "$(dpkg-deb -f "$file" Version)" = "$version-1" ] || fail "$package has version $(dpkg-deb -f "$file" Version)"
    [[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "$package: Depends lacks libc6 or libstdc++6"
    [[ $(dpkg-deb -f "$file" Maintainer) == *"@"*".invalid>" ]] || fail "$package: the maintainer is not the project's .invalid address"
done
depends_of() { dpkg-deb -f "${deb[$1]}" Depends; }
for package in qx410fw-cli qx410-camera-sim; do
    if depends_of "$package" | grep -Eq 'libqt|libxcb|libx11|libgl'; then
        fail "$package depends on Qt or X: $(depends_of "$package")"
    fi
done
[[ $(depends_of qx410fw-cli) == *libusb-1.0-0* ]] || fail "qx410fw-cli: Depends lacks libusb-1.0-0"
[[ $(depends_of qx410fw) == *libqt6widgets6* ]] || fail "qx410fw: Depends lacks libqt6widgets6"
[[ $(depends_of qx410fw) == *"qx410fw-cli (= $version-1)"* ]] || fail "qx410fw: Depends lacks qx410fw-cli (= $version-1)"

root=$work/root
for package in "${!deb[@]}"; do
    dpkg -x "${deb[$package]}" "$root"
    [ -f "$root/usr/share/doc/$package/copyright" ] || fail "missing /usr/share/doc/$package/copyright"
    [ -f "$root/usr/share/doc/$package/changelog.Debian.gz" ] || fail "missing /usr/share/doc/$package/changelog.Debian.gz"
done
for path in usr/bin/qx410fw usr/bin/qx410fw-cli usr/bin/qx410-camera-sim; do
    [ -x "$root/$path" ] || { fail "missing $path"; continue; }
    file "$root/$path" | grep -q ', stripped' || fail "$path is not stripped"
    readelf -SW "$root/$path" | grep -q ' \.comment ' && fail "$path keeps a .comment section"
    readelf -dW "$root/$path" | grep -q 'BIND_NOW' || fail "$path is not linked with -z now"
    readelf -lW "$root/$path" | grep -q 'GNU_RELRO' || fail "$path has no RELRO segment"
done
for path in usr/share/applications/qx410fw.desktop usr/share/icons/hicolor/32x32/apps/qx410fw.png \
    usr/share/metainfo/invalid.qx410fw.updater.metainfo.xml usr/lib/udev/rules.d/70-qx410fw.rules \
    usr/share/man/man1/qx410fw.1.gz usr/share/man/man1/qx410fw-cli.1.gz usr/share/man/man1/qx410-camera-sim.1.gz \
    usr/share/doc/qx410fw-cli/README.md; do
    [ -f "$root/$path" ] || fail "missing $path"
done
# Each file in exactly the package it belongs to.
cli_files=$(dpkg-deb -c "${deb[qx410fw-cli]}")
sim_files=$(dpkg-deb -c "${deb[qx410-camera-sim]}")
grep -q 'lib/udev/rules.d/70-qx410fw.rules' <<<"$cli_files" || fail "the udev rule is not in qx410fw-cli"
grep -Eq 'bin/(qx410fw|qx410-camera-sim)$' <<<"$cli_files" && fail "qx410fw-cli holds another program"
grep -Eq 'bin/qx410fw' <<<"$sim_files" && fail "qx410-camera-sim holds an updater"
grep -q 'All rights reserved' "$root/usr/share/doc/qx410fw/copyright" || fail "copyright lacks 'All rights reserved'"
# The rule gives the desktop user the camera's USB device and no one the machine's serial adapters.
grep -q '^SUBSYSTEM=="usb".*QX410.*uaccess' "$root/usr/lib/udev/rules.d/70-qx410fw.rules" ||
    fail "the udev rule lacks the camera's USB device"
if grep -v '^#' "$root/usr/lib/udev/rules.d/70-qx410fw.rules" | grep -Eq 'tty(USB|ACM)'; then
    fail "the udev rule opens serial adapters"
fi

# One version everywhere; the desktop program answers --version and --help without a display.
for program in qx410fw qx410fw-cli qx410-camera-sim; do
    shown=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/$program" --version 2>&1) ||
        fail "$program --version ended with status $?"
    [ "$shown" = "$program $version" ] || fail "$program --version printed '$shown', not '$program $version'"
done
help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/qx410fw" --help 2>&1) ||
    fail "qx410fw --help without a display ended with status $?"
grep -q '^usage: qx410fw' <<<"$help" || fail "qx410fw --help printed no usage"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    zcat "$page" | head -1 | grep -q "\"qx410fw $version\"" || fail "$(basename "$page")'s header lacks qx410fw $version"
done
grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/invalid.qx410fw.updater.metainfo.xml" ||
    fail "the AppStream release is not $version"
zcat "$root/usr/share/doc/qx410fw/changelog.Debian.gz" | head -1 | grep -q "($version-1)" ||
    fail "the Debian changelog's entry is not $version-1"

echo "desktop-file-validate:"
desktop-file-validate "$root/usr/share/applications/qx410fw.desktop" || fail "desktop-file-validate"
echo "appstreamcli validate --no-net:"
appstreamcli validate --no-net "$root/usr/share/metainfo/invalid.qx410fw.updater.metainfo.xml" ||
    fail "appstreamcli validate"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "manual page $(basename "$page"): $warnings"
done

# lintian, pedantic, with information and experimental tags. What a package of this project keeps by
# design, each with its reason:
#   initial-upload-closes-no-bugs: the packages are not uploaded to Debian; there is no bug to close.
#   spelling-error-in-binary WORD CORRECTION where WORD is the start of CORRECTION (e.g. "proces
#     process"): not a text of the program; the compiler builds short texts such as "held by another
#     process" from 8-byte immediate stores, and strings(1) reads a word cut at a store's end. Which
#     word is cut changes with any edit of those texts. A real misspelling (a word that is not a cut
#     prefix of its correction) still fails.
allowed='^(W: [^ ]+: initial-upload-closes-no-bugs .*)$'
cut_word='^I: [^ ]+: spelling-error-in-binary ([^ ]+) ([^ ]+) .*$'
echo "lintian -I -E --pedantic:"
lintian_out=$(lintian --allow-root -I -E --pedantic --tag-display-limit 0 "${deb[@]}" 2>&1) || true
echo "$lintian_out"
while read -r line; do
    if [[ $line =~ $cut_word ]] && [ "${BASH_REMATCH[1]}" != "${BASH_REMATCH[2]}" ] &&
        [[ ${BASH_REMATCH[2]} == "${BASH_REMATCH[1]}"* ]]; then
        continue
    fi
    grep -Eq "$allowed" <<<"$line" || fail "lintian: $line"
done < <(grep -E '^[EWIPXO]: ' <<<"$lintian_out" || true)

# Installed into a scratch root, the command line runs from there.
help=$("$root/usr/bin/qx410fw-cli" --help) || fail "qx410fw-cli --help from the scratch root"
grep -q '^usage: qx410fw-cli' <<<"$help" || fail "qx410fw-cli --help printed no usage"
# The package ships no sources: the simulator's help must not send its reader to one.
sim_help=$("$root/usr/bin/qx410-camera-sim" --help 2>&1) || fail "qx410-camera-sim --help from the scratch root"
if grep -Eq '[A-Za-z_/]+\.(h|cpp)\b' <<<"$sim_help"; then
    fail "qx410-camera-sim --help refers to a source file: $(grep -E '\.(h|cpp)\b' <<<"$sim_help")"
fi

[ "$status" -eq 0 ] && echo "package test passed"
exit "$status"
