#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, build/fuzz) and runs each for a bounded time on its corpus
# tests/fuzz/corpus/<target>/. Fails on any crash, sanitizer finding, slow input or hang; prints the
# executions per target. New inputs found go to build/fuzz/corpus/, not into the repository.
#   scripts/fuzz.sh [seconds per target, default 30]
#   scripts/fuzz.sh --minimize
# CI runs 30 s per target; before a release run `scripts/fuzz.sh 600` (ten minutes per target), then
# `scripts/fuzz.sh --minimize`, which merges what the runs found into the repository's corpora keeping
# only inputs that add coverage (libFuzzer's -merge=1), and commit tests/fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."

minimize=0
if [ "${1:-}" = "--minimize" ]; then
    minimize=1
    shift
fi
seconds="${1:-30}"
targets=(camera_link_fuzz status_block_fuzz usb_configuration_fuzz firmware_image_fuzz)
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DQX_BUILD_UI=OFF -DQX_BUILD_TESTS=OFF -DQX_BUILD_FUZZ=ON
cmake --build "$build" -j 2 --target fuzz_targets

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

if [ "$minimize" -eq 1 ]; then
    for target in "${targets[@]}"; do
        kept="tests/fuzz/corpus/$target"
        merged="$build/merged/$target"
        rm -rf "$merged"
        mkdir -p "$merged" "$build/corpus/$target"
        "$build/tests/fuzz/$target" -merge=1 -max_len=4096 -rss_limit_mb=2048 "$merged" "$kept" \
            "$build/corpus/$target" >"$build/$target.merge.log" 2>&1
        rm -rf "$kept"
        mv "$merged" "$kept"
        echo "fuzz: $target: $(find "$kept" -type f | wc -l) inputs kept in $kept"
    done
    exit 0
fi
failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  log="$build/$target.log"
  mkdir -p "$corpus" "$build/artifacts"
  # -timeout bounds one input, -max_total_time the run, and the outer timeout the whole program.
  status=0
  timeout -k 10 "$((seconds + 60))" "$build/tests/fuzz/$target" "$corpus" "tests/fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz: $target: ${runs:-?} executions in ${seconds} s, exit status $status"
  if [ "$status" -ne 0 ]; then
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|artifact_prefix|Test unit written)' "$log" || tail -20 "$log"
    failed+=("$target")
  fi
done
if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzz: findings in ${failed[*]} (logs and inputs in $build/)" >&2
  exit 1
fi
