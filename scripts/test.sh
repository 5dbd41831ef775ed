#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test (the long real-time ones included).
# Pass --quick to skip the tests labelled "long".
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"

ctest_args=(--test-dir "$build" --output-on-failure -j 2)
if [ "$quick" -eq 1 ]; then
  ctest_args+=(-LE long)
fi
ctest "${ctest_args[@]}"
