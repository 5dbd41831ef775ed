# Sourced by the Windows scripted tests (serial_cli_test.sh, usb_driver_test.sh, gui_update_test.sh),
# after they set sim, wine_run and wine_dir and define release_link (what the test gave Wine: undone at
# exit; a test that named its simulator to the USB driver calls release_usb_driver there).
#   begin_cli_test                        a fresh work folder with a private device directory
#                                         (XDG_RUNTIME_DIR) and the sample image (image, windows_image);
#                                         at exit release_link runs, the simulator (sim_pid) is ended and
#                                         the folder removed
#   start_com1_simulator ARGS...          the simulator (sim_pid) with ARGS on a pseudo-terminal as COM1,
#                                         linked as WINE_DIR/ports/com1 (release_link removes it)
#   start_usb_simulator DRIVER ARGS...    the simulator (sim_pid) with ARGS as a USB camera serving its
#                                         driver's requests on a loopback port, named to the stand-in
#                                         driver DRIVER (started as the prefix's service if it is not)
#   release_usb_driver                    takes that port back from the driver (for release_link)
#   run_under_wine MODE PROGRAM ARGS...   runs the program in the prefix, its output in $work/out.txt,
#                                         its exit status in status, and prints both and its time
#   check_cli_outcome MODE [BYTES]        judges qx410fw-cli.exe's run: info names the camera and its
#                                         firmware 0.60, refused ends as a failed update at the refused
#                                         block, update ends well with the camera's flash equal to the
#                                         first BYTES bytes of the payload (default: all of it)
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

USB_SERVICE=qx410u_standin
USB_SERVICE_KEY="HKLM\\System\\CurrentControlSet\\Services\\$USB_SERVICE"
USB_WRITTEN=1015808 # a USB download writes 248 blocks of 4096 bytes
usb_port_named=
# The service manager's own messages name the error code when a step fails.
service() {
  WINEDEBUG=err+sc "$wine_run" "$wine_dir" sc "$@" 2>&1 | grep -v -e wine32 -e multiarch -e 'execute "dpkg' -e 'apt-get install'
  return "${PIPESTATUS[0]}"
}

# Stops the driver's service and waits (up to 10 s) until the service manager reports it stopped.
stop_usb_service() {
  local i
  service stop "$USB_SERVICE" >/dev/null
  for ((i = 0; i < 100; i++)); do
    service query "$USB_SERVICE" 2>/dev/null | grep -q 'RUNNING\|PENDING' || return 0
    sleep 0.1
  done
}

# The driver forgets the simulator: until the next test names one, opening the device fails as with no
# camera plugged in, and a port the system hands out again later is never reached.
release_usb_driver() {
  if [ -n "$usb_port_named" ]; then
    "$wine_run" "$wine_dir" reg delete "$USB_SERVICE_KEY\\Parameters" /v Port /f >/dev/null 2>&1
    usb_port_named=
  fi
}

# The driver is loaded once per Wine session, as a camera's driver is once per boot, and stays loaded
# between tests: it reads the simulator's port at each open. Stopping and starting the service for
# every test gave nothing but exposure to the service manager (a clean-clone run saw every start after
# the first stop fail with error 6). The service (demand start) is registered in the build tree's prefix
# only (WINE_DIR/prefix): wine-prefix.sh names it when it makes the prefix, at
# WINE_DIR/drivers/qx410u_standin.sys, where the driver is put here; in a prefix made before that, the
# service is created here. A loaded driver that differs from DRIVER (rebuilt since) is stopped first.
ensure_usb_driver() {
  local driver=$1 placed="$wine_dir/drivers/qx410u_standin.sys" windows_driver
  if service query "$USB_SERVICE" 2>/dev/null | grep -q 'RUNNING'; then
    cmp -s "$driver" "$placed" && return 0
    stop_usb_service
  fi
  # Renamed into place, so that a driver still mapped by Wine is never overwritten.
  mkdir -p "$wine_dir/drivers"
  cp "$driver" "$wine_dir/drivers/.qx410u_standin.sys" &&
    mv -f "$wine_dir/drivers/.qx410u_standin.sys" "$placed" ||
    fail "cannot put the driver into $wine_dir/drivers"
  if ! service query "$USB_SERVICE" >/dev/null; then
    windows_driver="Z:$(cd "$wine_dir/drivers" && pwd)/qx410u_standin.sys"
    service create "$USB_SERVICE" type= kernel start= demand binpath= "${windows_driver//\//\\}" >"$work/service.txt" ||
      fail "cannot register the driver service: $(cat "$work/service.txt")"
  fi
  service start "$USB_SERVICE" >>"$work/service.txt"
  grep -q 'RUNNING' "$work/service.txt" || fail "the driver did not start: $(cat "$work/service.txt")"
}

start_usb_simulator() {
  local driver=$1 port='' i start
  shift
  "$sim" --usb 1 --driver-tcp 0 --flash-out "$work/flash.bin" "$@" >"$work/summary.txt" 2>"$work/sim.err" &
  sim_pid=$!
  for ((i = 0; i < 500; i++)); do
    port=$(sed -n 's/^qx410-camera-sim: serving .* and 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.err")
    [ -n "$port" ] && break
    kill -0 "$sim_pid" 2>/dev/null || fail "the simulator ended at start-up: $(cat "$work/sim.err")"
    sleep 0.01
  done
  [ -n "$port" ] || fail "the simulator named no loopback port"

  start=$(date +%s.%N)
  usb_port_named=1
  "$wine_run" "$wine_dir" reg add "$USB_SERVICE_KEY\\Parameters" /v Port /t REG_DWORD /d "$port" /f >"$work/service.txt" 2>&1 ||
    fail "cannot name the simulator's port to the driver: $(cat "$work/service.txt")"
  ensure_usb_driver "$driver"
  echo "driver ready for the simulator's port $port in $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $start }") s"
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
      # The simulator refuses block 1 (the second): any other step failing means something else broke.
      grep -q 'Failed at block 2 of' "$work/out.txt" || fail "the update did not fail at the refused block"
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
