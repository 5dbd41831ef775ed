# Sourced by the Windows tests that run a program against the Linux camera simulator on a pseudo-terminal
# mapped as COM1 of the build tree's Wine prefix. Needs $sim, $wine_dir and $work set, and fail() defined;
# sets $image (the sample image), $windows_image (its Windows path) and $sim_pid.
#   write_windows_sample_image     the sample image QX410-100.fw (version 1.00; the camera has 0.60)
#   start_com1_simulator ARGS...   the simulator with ARGS on COM1, linked as WINE_DIR/ports/com1
#   stop_com1_simulator            its end, and COM1 names nothing again
# shellcheck source=../../scripts/sample_image.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/sample_image.sh"
sim_pid=

write_windows_sample_image() {
  image="$work/QX410-100.fw"
  write_sample_image "$image"
  [ "$(stat -c %s "$image")" -eq "$IMAGE_SIZE" ] || fail "the sample image has the wrong size"
  windows_image="Z:${image//\//\\}"
}

# Without --once: a simulator that ends after the reset would hang the line up under the updater's last
# read, which no camera does. A private device directory: the simulator publishes COM1 there.
start_com1_simulator() {
  mkdir -m 700 "$work/runtime"
  export XDG_RUNTIME_DIR="$work/runtime"
  "$sim" --serial 1 --flash-out "$work/flash.bin" "$@" >"$work/summary.txt" 2>"$work/sim.err" &
  sim_pid=$!
  local published="$XDG_RUNTIME_DIR/qx410fw/COM1" i pty
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
}

stop_com1_simulator() {
  rm -f "$wine_dir/ports/com1"
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
  fi
}

# The camera's flash (written by the simulator at its end) against the image's payload.
check_flash_equals_payload() {
  stop_com1_simulator
  echo "simulator summary:"
  grep -v "^command:" "$work/summary.txt"
  tail -c +129 "$image" | cmp -s - "$work/flash.bin" || fail "the camera's flash differs from the image payload"
  echo "the camera's flash equals the image payload"
}
