#!/usr/bin/env bash
# The Windows USB path under Wine, end to end: the camera simulator serves its USB driver's requests on
# a loopback port (--driver-tcp), the stand-in driver (tests/windows/driver) is loaded by Wine as the
# camera's driver and forwards every request of \\.\QX410U-001 to it, and a Windows program drives it:
#   usb_driver_test.sh SIMULATOR WINE_RUN WINE_DIR DRIVER PROGRAM info|refused|update|backend
#     info     `qx410fw-cli.exe info --port usb` names the camera and its firmware 0.60
#     refused  `update --port usb` against a camera that refuses block 1 ends as a failed update
#     update   a complete `update --port usb` (about two minutes): the flash equals the payload written
#     backend  PROGRAM is win32_usb_driver_test.exe (the backend's requests, time-out and cancel)
# The driver's service (demand start) is registered in the build tree's prefix only (WINE_DIR/prefix):
# wine-prefix.sh names it when it makes the prefix, at WINE_DIR/drivers/qx410u_standin.sys, where this
# script puts the driver. The service is started for the test and stopped again at its end (one left
# running by a killed run is stopped first). In a prefix made before that, it is created here.
set -uo pipefail
sim=$1 wine_run=$2 wine_dir=$3 driver=$4 program=$5 mode=$6
if [ ! -x "$sim" ]; then
  echo "SKIP: no Linux simulator at $sim (configure with -DQX_HOST_SIMULATOR=...)"
  exit 77
fi

SERVICE=qx410u_standin
SERVICE_KEY="HKLM\\System\\CurrentControlSet\\Services\\$SERVICE"
USB_WRITTEN=1015808 # a USB download writes 248 blocks of 4096 bytes
wine() {
  "$wine_run" "$wine_dir" "$@"
}
# The service manager's own messages name the error code when a step fails.
service() {
  WINEDEBUG=err+sc "$wine_run" "$wine_dir" sc "$@" 2>&1 | grep -v -e wine32 -e multiarch -e 'execute "dpkg' -e 'apt-get install'
  return "${PIPESTATUS[0]}"
}
release_link() {
  service stop "$SERVICE" >/dev/null
}
. "$(dirname "$0")/wine_cli_test.sh"
begin_cli_test

sim_args=(--usb 1 --driver-tcp 0 --flash-out "$work/flash.bin")
if [ "$mode" = refused ]; then
  sim_args+=(--refuse-block 1)
fi
"$sim" "${sim_args[@]}" >"$work/summary.txt" 2>"$work/sim.err" &
sim_pid=$!
port=
for ((i = 0; i < 500; i++)); do
  port=$(sed -n 's/^qx410-camera-sim: serving .* and 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/sim.err")
  [ -n "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || fail "the simulator ended at start-up: $(cat "$work/sim.err")"
  sleep 0.01
done
[ -n "$port" ] || fail "the simulator named no loopback port"

# The service: the driver at the path the service names (renamed into place, so that a driver still
# mapped by Wine is never overwritten), and the simulator's port as its parameter.
start=$(date +%s.%N)
service stop "$SERVICE" >/dev/null
mkdir -p "$wine_dir/drivers"
cp "$driver" "$wine_dir/drivers/.qx410u_standin.sys" && mv -f "$wine_dir/drivers/.qx410u_standin.sys" "$wine_dir/drivers/qx410u_standin.sys" ||
  fail "cannot put the driver into $wine_dir/drivers"
if ! service query "$SERVICE" >/dev/null; then
  windows_driver="Z:$(cd "$wine_dir/drivers" && pwd)/qx410u_standin.sys"
  service create "$SERVICE" type= kernel start= demand binpath= "${windows_driver//\//\\}" >"$work/service.txt" ||
    fail "cannot register the driver service: $(cat "$work/service.txt")"
fi
wine reg add "$SERVICE_KEY\\Parameters" /v Port /t REG_DWORD /d "$port" /f >>"$work/service.txt" 2>&1 ||
  fail "cannot set the driver's port: $(cat "$work/service.txt")"
service start "$SERVICE" >>"$work/service.txt"
grep -q 'RUNNING' "$work/service.txt" || fail "the driver did not start: $(cat "$work/service.txt")"
echo "driver service started in $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $start }") s"

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
    ;;
  refused) check_cli_outcome refused ;;
  update) check_cli_outcome update "$USB_WRITTEN" ;;
  backend) [ "$status" -eq 0 ] || fail "win32_usb_driver_test ended with status $status" ;;
esac
exit 0
