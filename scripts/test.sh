#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test (the long real-time ones included),
# then runs the default tests again built with AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer (build/asan), and runs each fuzz target for a bounded time (build/fuzz, scripts/fuzz.sh).
# After the Linux tests, the Windows build (MinGW-w64, build/win) runs its tests under Wine.
#   scripts/test.sh [--quick] [--no-fuzz] [--no-windows]
#     --quick       skip the tests labelled "long", the sanitizer pass and the fuzz runs
#     --no-fuzz     skip only the fuzz runs
#     --no-windows  skip the Windows build and its tests
# The Windows pass runs two complete updates under Wine, the command line's on the serial port (nine
# minutes at the line's pace) and the desktop program's on USB (two), and leaves out the tests labelled
# wine_extra: the command line's on USB and the desktop program's on the serial port.
# QX_WINDOWS_LONG=1 adds them. --quick leaves out every Windows long test.
# QX_FUZZ_SECONDS sets the run time of each fuzz target (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
fuzz=1
windows=1
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    --no-fuzz) fuzz=0 ;;
    --no-windows) windows=0 ;;
    *) echo "usage: scripts/test.sh [--quick] [--no-fuzz] [--no-windows]" >&2; exit 2 ;;
  esac
done

# Each stage's wall time, printed at the end: "stage NAME: N s".
stage_name=install
stage_start=$SECONDS
stage_lines=()
stage() {
  stage_lines+=("stage $stage_name: $((SECONDS - stage_start)) s")
  stage_name=$1
  stage_start=$SECONDS
}

scripts/install-deps.sh

stage release-build
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$(nproc)"

# At the end, whatever the outcome: the camera fault matrix of this run (tests/faults), then one line
# adding up every CTest pass of this script.
logs=$(mktemp -d)
rm -f "$build"/tests/fault_matrix*.txt
finish() {
  stage end
  printf '%s\n' "${stage_lines[@]}"
  cat "$build"/tests/fault_matrix*.txt 2>/dev/null || true
  local total=0 failed=0 line
  while read -r line; do
    # "100% tests passed, 0 tests failed out of 27"
    failed=$((failed + $(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")))
    total=$((total + $(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")))
  done < <(cat "$logs"/*.log 2>/dev/null | grep -E 'tests? failed out of [0-9]+' || true)
  if [ "$total" -gt 0 ]; then
    echo "$((total - failed)) passed, $failed failed"
  fi
  rm -rf "$logs"
}
trap finish EXIT

stage release-tests
ctest_args=(--test-dir "$build" --output-on-failure -j 2)
if [ "$quick" -eq 1 ]; then
  ctest_args+=(-LE long)
fi
ctest "${ctest_args[@]}" 2>&1 | tee "$logs/release.log"

# The Windows pass: the engine, qx410fw-cli.exe, qx410fw.exe and the installer cross-built; under Wine on
# its own Xvfb display the portable suites, the Win32 UI, the installer, the serial backend (against this
# build's simulator on a pseudo-terminal mapped as COM1) and the USB backend (through the stand-in driver).
if [ "$windows" -eq 1 ]; then
  stage windows
  scripts/install-windows-deps.sh
  win=build/win
  cmake -S . -B "$win" -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQX_HOST_SIMULATOR="$PWD/$build/sim/qx410-camera-sim"
  cmake --build "$win" -j "$(nproc)"
  win_args=(--test-dir "$win" --output-on-failure -j 2)
  if [ "$quick" -eq 1 ]; then
    win_args+=(-LE long)
  elif [ "${QX_WINDOWS_LONG:-0}" != 1 ]; then
    win_args+=(-LE wine_extra)
  fi
  ctest "${win_args[@]}" 2>&1 | tee "$logs/windows.log"
fi

if [ "$quick" -eq 1 ]; then
  exit 0
fi

# The sanitizer pass: every finding fails its test. The long serial download ran above already.
stage sanitizer
asan=build/asan
cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQX_SANITIZE=ON
cmake --build "$asan" -j 2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp:print_suppressions=0" \
  ctest --test-dir "$asan" --output-on-failure -j 2 -LE long 2>&1 | tee "$logs/asan.log"

if [ "$fuzz" -eq 1 ]; then
  stage fuzz
  scripts/fuzz.sh "${QX_FUZZ_SECONDS:-30}"
fi
