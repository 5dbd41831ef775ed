# Sourced by the Windows command line tests (serial_cli_test.sh, usb_driver_test.sh), after they set
# wine_run and wine_dir and define release_link (what the test gave Wine: undone at exit).
#   begin_cli_test                        a fresh work folder with a private device directory
#                                         (XDG_RUNTIME_DIR) and the sample image (image, windows_image);
#                                         at exit release_link runs, the simulator (sim_pid) is ended and
#                                         the folder removed
#   start_com1_simulator ARGS...          the simulator (sim_pid) with ARGS on a pseudo-terminal as COM1,
#                                         linked as WINE_DIR/ports/com1 (release_link removes it)
#   run_under_wine MODE PROGRAM ARGS...   runs the program in the prefix, its output in $work/out.txt,
#                                         its exit status in status, and prints both and its time
#   check_cli_outcome MODE [BYTES]        judges qx410fw-cli.exe's run: info names the camera and its
#                                         firmware 0.60, refused ends as a failed update, update ends
#                                         well with the camera's flash equal to the first BYTES bytes of
#                                         the payload (default: all of it)
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/sample_image.sh"

fail() {
  echo "FAIL: $*"
  exit 1
}

end_cli_test() {
  release_link
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$work"
}

begin_cli_test() {
  work=$(mktemp -d)
  sim_pid=
  trap end_cli_test EXIT
  mkdir -m 700 "$work/runtime"
  export XDG_RUNTIME_DIR="$work/runtime"
  image="$work/QX410-100.fw"
  write_sample_image "$image" || fail "the sample image has the wrong size"
  windows_image="Z:${image//\//\\}"
}

# Without --once: a simulator that ends after the reset would hang the line up under the updater's last
# read, which no camera does.
start_com1_simulator() {
  local published="$XDG_RUNTIME_DIR/qx410fw/COM1" i pty
  "$sim" --serial 1 --flash-out "$work/flash.bin" "$@" >"$work/summary.txt" 2>"$work/sim.err" &
  sim_pid=$!
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

run_under_wine() {
  local mode=$1 start end
  shift
  start=$(date +%s.%N)
  "$wine_run" "$wine_dir" "$@" >"$work/out.txt" 2>&1
  status=$?
  end=$(date +%s.%N)
  echo "$(basename "$1") ($mode) under Wine, exit status $status, $(awk "BEGIN { printf \"%.1f\", $end - $start }") s:"
  tr '\r' '\n' <"$work/out.txt" | grep -v '^$'
}

check_cli_outcome() {
  local payload=$((IMAGE_SIZE - IMAGE_HEADER_SIZE))
  local compared=${2:-$payload}
  case "$1" in
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
      cmp -s -n "$compared" "$work/flash.bin" <(tail -c +$((IMAGE_HEADER_SIZE + 1)) "$image") ||
        fail "the camera's flash differs from the image payload"
      echo "the camera's flash equals the image payload (the first $compared of its $payload bytes)"
      ;;
  esac
}
