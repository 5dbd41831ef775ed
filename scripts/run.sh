#!/usr/bin/env bash
# Runs the QX410 firmware updater against the simulated camera: installs what is missing, builds, starts
# the simulated camera, writes a sample firmware image and starts the real desktop program.
# With a display ($DISPLAY or $WAYLAND_DISPLAY) you click through the update yourself; without one (or
# with --headless) the same update runs under Xvfb with the prompts answered automatically, each step
# printed and screenshots left in build/release/demo. At the end the simulator's summary is printed and
# the camera's flash is compared with the image payload (scripts/demo.sh does the run itself).
# --usb-emulated puts the simulated camera on an emulated USB bus (umockdev), reached through libusb.
set -euo pipefail
cd "$(dirname "$0")/.."

demo_args=()
for arg in "$@"; do
    case "$arg" in
        --serial | --usb-emulated | --headless) demo_args+=("$arg") ;;
        *)
            echo "usage: scripts/run.sh [--serial | --usb-emulated] [--headless]" >&2
            echo "  --serial        the simulated camera on a serial pseudo-terminal (COM1) instead of USB" >&2
            echo "  --usb-emulated  the simulated camera on an emulated USB bus, reached through libusb" >&2
            echo "  --headless      run under Xvfb and answer the prompts automatically, even with a display" >&2
            exit 2
            ;;
    esac
done

scripts/install-deps.sh
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)" --target qx410fw qx410-camera-sim qx410-usb-emulator
exec scripts/demo.sh --build "$build" "${demo_args[@]}"
