#!/bin/sh
# The X display of the build tree's Wine session, for the Windows programs that open windows:
#   wine-display.sh WINE_DIR          start Xvfb (once) and write its display name to WINE_DIR/display
#   wine-display.sh WINE_DIR --stop   end it and remove the name
#
# Wine's desktop process opens the X display it was started with, once for the session, so the display
# must exist before wine-prefix.sh starts the session: it reads WINE_DIR/display, as wine-run.sh does
# for every program. Xvfb runs detached from the caller's standard streams, so it never holds a test's
# output open.
set -eu
wine_dir=$(mkdir -p "$1" && cd "$1" && pwd)
pid_file="$wine_dir/xvfb.pid"

running() {
  [ -f "$pid_file" ] && [ -f "$wine_dir/display" ] && kill -0 "$(cat "$pid_file")" 2>/dev/null
}

if [ "${2:-}" = "--stop" ]; then
  if running; then
    kill "$(cat "$pid_file")" 2>/dev/null || true
  fi
  rm -f "$pid_file" "$wine_dir/display"
  exit 0
fi
running && exit 0
command -v Xvfb >/dev/null || {
  echo "wine-display.sh: Xvfb is not installed (scripts/install-windows-deps.sh)" >&2
  exit 1
}
rm -f "$wine_dir/display"
# Xvfb picks a free display and writes its number to the pipe given by -displayfd.
fifo="$wine_dir/.displayfd"
rm -f "$fifo"
mkfifo "$fifo"
setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" </dev/null >"$wine_dir/xvfb.log" 2>&1 &
echo $! >"$pid_file"
number=$(timeout 20 head -n 1 "$fifo" || true)
rm -f "$fifo"
if [ -z "$number" ]; then
  echo "wine-display.sh: Xvfb did not start: $(cat "$wine_dir/xvfb.log")" >&2
  kill "$(cat "$pid_file")" 2>/dev/null || true
  rm -f "$pid_file"
  exit 1
fi
echo ":$number" >"$wine_dir/display"
