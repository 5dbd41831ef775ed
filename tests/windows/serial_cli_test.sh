#!/usr/bin/env bash
# qx410fw-cli.exe under Wine against the Linux camera simulator on a pseudo-terminal mapped as COM1:
#   serial_cli_test.sh SIMULATOR WINE_RUN WINE_DIR CLI_EXE info|refused|update
#     info     `info --port com1` names the camera and its firmware 0.60
#     refused  `update --port com1` against a camera that refuses block 1 ends as a failed update
#     update   a complete `update --port com1` (about nine minutes): the camera's flash equals the payload
# The pseudo-terminal is reached through WINE_DIR/ports/com1, the one path the prefix's COM1 names; the
# link is removed again at the end, so COM1 names nothing between tests.
set -uo pipefail
sim=$1 wine_run=$2 wine_dir=$3 cli=$4 mode=$5
if [ ! -x "$sim" ]; then
  echo "SKIP: no Linux simulator at $sim (configure with -DQX_HOST_SIMULATOR=...)"
  exit 77
fi

work=$(mktemp -d)
fail() {
  echo "FAIL: $*"
  exit 1
}
# shellcheck source=com1_simulator.sh
. "$(dirname "$0")/com1_simulator.sh"
cleanup() {
  stop_com1_simulator
  rm -rf "$work"
}
trap cleanup EXIT

write_windows_sample_image
sim_args=()
if [ "$mode" = refused ]; then
  sim_args+=(--refuse-block 1)
fi
start_com1_simulator "${sim_args[@]}"

start=$(date +%s.%N)
case "$mode" in
  info) "$wine_run" "$wine_dir" "$cli" ${QX_TRACE:+--trace "$QX_TRACE"} info --port com1 >"$work/out.txt" 2>&1 ;;
  refused | update) "$wine_run" "$wine_dir" "$cli" update "$windows_image" --port com1 >"$work/out.txt" 2>&1 ;;
  *) fail "unknown mode $mode" ;;
esac
status=$?
end=$(date +%s.%N)
echo "qx410fw-cli.exe ($mode) under Wine, exit status $status, $(awk "BEGIN { printf \"%.1f\", $end - $start }") s:"
tr '\r' '\n' <"$work/out.txt" | grep -v '^$'

case "$mode" in
  info)
    [ "$status" -eq 0 ] || fail "info ended with status $status"
    grep -q 'Corva QX410 Zoom' "$work/out.txt" || fail "info did not name the camera"
    grep -q '0\.60' "$work/out.txt" || fail "info did not show the firmware 0.60"
    ;;
  refused)
    [ "$status" -eq 1 ] || fail "the refused update ended with status $status, not 1"
    grep -q 'Camera update failed' "$work/out.txt" || fail "no failure message"
    ;;
  update)
    [ "$status" -eq 0 ] || fail "the update ended with status $status"
    check_flash_equals_payload
    ;;
esac
exit 0
