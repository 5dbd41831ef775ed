#!/usr/bin/env bash
# The Windows USB path under Wine, end to end: the camera simulator serves its USB driver's requests on
# a loopback port (--driver-tcp), the stand-in driver (tests/windows/driver) is loaded by Wine as the
# camera's driver and forwards every request of \\.\QX410U-001 to it, and a Windows program drives it:
#   usb_driver_test.sh SIMULATOR WINE_RUN WINE_DIR DRIVER PROGRAM info|refused|update|backend
#     info     `qx410fw-cli.exe info --port usb` names the camera and its firmware 0.60; once the
#              driver is told of no simulator (a camera unplugged), the same command ends "not found"
#     refused  `update --port usb` against a camera that refuses block 1 ends as a failed update
#     update   a complete `update --port usb` (about two minutes): the flash equals the payload written
#     backend  PROGRAM is win32_usb_driver_test.exe (the backend's requests, time-out and cancel)
# The simulator's port is named to the driver for the test (start_usb_simulator, which starts the driver's
# service if this Wine session has not yet) and taken back at its end.
set -uo pipefail
sim=$1 wine_run=$2 wine_dir=$3 driver=$4 program=$5 mode=$6
if [ ! -x "$sim" ]; then
  echo "SKIP: no Linux simulator at $sim (configure with -DQX_HOST_SIMULATOR=...)"
  exit 77
fi

release_link() {
  release_usb_driver
}
. "$(dirname "$0")/wine_cli_test.sh"
begin_cli_test

sim_args=()
if [ "$mode" = refused ]; then
  sim_args+=(--refuse-block 1)
fi
start_usb_simulator "$driver" "${sim_args[@]}"

case "$mode" in
  info) run_under_wine "$mode" "$program" ${QX_TRACE:+--trace "$QX_TRACE"} info --port usb ;;
  refused | update) run_under_wine "$mode" "$program" update "$windows_image" --port usb ;;
  backend) run_under_wine "$mode" "$program" ;;
  *) fail "unknown mode $mode" ;;
esac
case "$mode" in
  info)
    grep -q 'QX410U-001' "$work/out.txt" || fail "info did not name the device object"
    check_cli_outcome info
    release_usb_driver
    run_under_wine unplugged "$program" info --port usb
    [ "$status" -eq 3 ] || fail "info with no camera behind the driver ended with status $status, not 3"
    ;;
  refused) check_cli_outcome refused ;;
  update) check_cli_outcome update "$USB_WRITTEN" ;;
  backend) [ "$status" -eq 0 ] || fail "win32_usb_driver_test ended with status $status" ;;
esac
exit 0
