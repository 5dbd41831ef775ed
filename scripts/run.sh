#!/usr/bin/env bash
# Installs what is missing, builds, and runs the updater against the simulated camera.
# (Until the desktop application lands this runs the test program.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -LE long
