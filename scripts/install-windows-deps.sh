#!/usr/bin/env bash
# Installs the Debian packages the Windows build and its tests under Wine need, when any is missing: the
# MinGW-w64 cross compiler (posix threads), Wine (64-bit), GoogleTest's sources, which the Windows
# build compiles with the cross compiler, and NSIS and zip for the installer and the zip.
set -euo pipefail

# nsis and zip: the installer and the zip; xvfb, xdotool and imagemagick: the desktop program's tests
# under Wine (a display, the prompts answered, the screenshots read).
packages=(g++-mingw-w64-x86-64-posix wine wine64 googletest util-linux nsis zip xvfb xdotool imagemagick)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
"${sudo_cmd[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
