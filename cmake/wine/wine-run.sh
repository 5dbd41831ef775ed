#!/bin/sh
# Runs one Windows program under Wine in the build tree's own prefix: wine-run.sh WINE_DIR PROGRAM ARGS...
# (CMake's cross-compiling emulator for the Windows build, so CTest runs every test through here).
#
# WINE_DIR/prefix is made on first use by wine-prefix.sh, which maps every COM port before any program
# runs there. The wine server is started here detached from the caller's standard streams, and kept
# running (-p) so that its helper processes (services, device drivers) never hold a test's output pipes
# open; wine-prefix.sh --stop ends it at the end of a test run.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
wine_dir=$1
shift
"$here/wine-prefix.sh" "$wine_dir" >/dev/null
wine_dir=$(cd "$wine_dir" && pwd)
export WINEPREFIX="$wine_dir/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# The session's display (wine-display.sh), where the programs' windows go.
if [ -s "$wine_dir/display" ]; then
  DISPLAY=$(cat "$wine_dir/display")
  export DISPLAY
fi
exec wine "$@"
