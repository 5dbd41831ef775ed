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

IMAGE_SIZE=1048704
work=$(mktemp -d)
sim_pid=
cleanup() {
  rm -f "$wine_dir/ports/com1"
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

# A private device directory: the simulator publishes COM1 there.
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"

# The sample image: the identification text, version "0100" (1.00; the camera has 0.60) and 4096 blocks.
image="$work/QX410-100.fw"
{
  printf '%s' 'Corva Lumen Precision QX410 Zoom camera. Firmware'
  head -c 12 /dev/zero
  printf '0100'
  head -c 63 /dev/zero
  for ((block = 0; block < 4096; block++)); do
    printf '%-256s' "QX410 sample firmware 1.00, block $block of 4096."
  done
} >"$image"
[ "$(stat -c %s "$image")" -eq "$IMAGE_SIZE" ] || fail "the sample image has the wrong size"
windows_image="Z:${image//\//\\}"

# Without --once: a simulator that ends after the reset would hang the line up under the updater's last
# read, which no camera does.
sim_args=(--serial 1 --flash-out "$work/flash.bin")
if [ "$mode" = refused ]; then
  sim_args+=(--refuse-block 1)
fi
"$sim" "${sim_args[@]}" >"$work/summary.txt" 2>"$work/sim.err" &
sim_pid=$!
published="$XDG_RUNTIME_DIR/qx410fw/COM1"
for ((i = 0; i < 500; i++)); do
  [ -L "$published" ] && break
  kill -0 "$sim_pid" 2>/dev/null || fail "the simulator ended at start-up: $(cat "$work/sim.err")"
  sleep 0.01
done
pty=$(readlink "$published") || fail "the simulator did not publish COM1"
case "$pty" in
  /dev/pts/*) ;;
  *) fail "COM1 of the simulator is $pty, not a pseudo-terminal" ;;
esac
ln -sfn "$pty" "$wine_dir/ports/com1"

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
    kill "$sim_pid"
    wait "$sim_pid"
    sim_pid=
    echo "simulator summary:"
    grep -v "^command:" "$work/summary.txt"
    tail -c +129 "$image" | cmp -s - "$work/flash.bin" || fail "the camera's flash differs from the image payload"
    echo "the camera's flash equals the image payload"
    ;;
esac
exit 0
