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

release_link() {
  rm -f "$wine_dir/ports/com1"
}
. "$(dirname "$0")/wine_cli_test.sh"
# The simulator publishes COM1 in the private device directory.
begin_cli_test

sim_args=()
if [ "$mode" = refused ]; then
  sim_args+=(--refuse-block 1)
fi
start_com1_simulator "${sim_args[@]}"

case "$mode" in
  info) run_under_wine "$mode" "$cli" ${QX_TRACE:+--trace "$QX_TRACE"} info --port com1 ;;
  refused | update) run_under_wine "$mode" "$cli" update "$windows_image" --port com1 ;;
  *) fail "unknown mode $mode" ;;
esac
check_cli_outcome "$mode"
exit 0
