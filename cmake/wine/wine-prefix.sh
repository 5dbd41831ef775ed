#!/bin/sh
# The build tree's Wine prefix, made safe before any Windows program runs in it:
#   wine-prefix.sh WINE_DIR          make WINE_DIR/prefix (once) and start its wine server
#   wine-prefix.sh WINE_DIR --stop   end the wine server and every program of the prefix
#   wine-prefix.sh WINE_DIR --keeper PROGRAM
#                                    as the first, then starts PROGRAM (tests/windows/session_keeper.cpp)
#                                    in the session, detached, unless one runs already: Wine's desktop
#                                    process then belongs to it and holds no test's output open
#
# Wine gives every serial device it finds on the machine (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, found by
# their names alone) a COM number of its own each time its port driver starts: the numbers the prefix's
# registry does not name (HKLM\Software\Wine\Ports), and COM256, which the registry cannot name. So:
# - the registry is written before the prefix is first started (seeded by hand, since starting Wine to
#   write it would already map the ports): COM1..COM9 name WINE_DIR/ports/comN, which does not exist
#   unless a test links it to its own pseudo-terminal, and COM10..COM255 a path that never exists;
# - once the port driver has made its links (dosdevices/comN), COM256's, the one left for the machine's
#   first serial device, is pointed at that path too, before this script returns and any test program
#   starts. The programs here open COM1..COM9 only; win_com_ports_test checks every link.
# The registry seeded for a new prefix also names the stand-in for the camera's USB driver (tests/windows/
# driver) as a kernel driver service that starts on demand only, at WINE_DIR/drivers/qx410u_standin.sys;
# the USB tests put the driver there and start the service once per session. Registered this way, before
# the service manager first starts, because a service created while a new prefix is still settling can
# be lost to it (sc start then answers 1060, "does not exist").
# The server runs detached from the caller's standard streams and stays (-p) until --stop, so that its
# helper processes never hold a test's output pipes open.
set -eu
wine_dir=$(mkdir -p "$1" && cd "$1" && pwd)
prefix="$wine_dir/prefix"
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

if [ "${2:-}" = "--keeper" ]; then
  "$0" "$1"
  if ! { [ -s "$wine_dir/.keeper-pid" ] && kill -0 "$(cat "$wine_dir/.keeper-pid")" 2>/dev/null; }; then
    DISPLAY=$(cat "$wine_dir/.session-display")
    export DISPLAY
    setsid wine "$3" </dev/null >/dev/null 2>&1 &
    echo $! >"$wine_dir/.keeper-pid"
  fi
  exit 0
fi
if [ "${2:-}" = "--stop" ]; then
  rm -f "$wine_dir/.keeper-pid"
  if [ -d "$prefix" ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  exit 0
fi
# Whether the prefix's server runs (it was started here, so its port links are safe): waiting for it to
# end returns at once when there is none. A server that is gone (a killed run, a reboot) is started
# again below, with the links made safe again.
server_running() {
  [ -f "$prefix/.qx-ready" ] || return 1
  timeout 0.3 wineserver -w 2>/dev/null
  [ $? -eq 124 ]
}
# The session opens windows on the display wine-display.sh started (WINE_DIR/display), and only on the
# one it was started with: a server started for another display (or none) is ended and started again.
display=$(cat "$wine_dir/display" 2>/dev/null || true)
same_session() {
  server_running && [ "$(cat "$wine_dir/.session-display" 2>/dev/null || true)" = "$display" ]
}
same_session && exit 0

# One starter at a time (CTest may start two tests at once).
exec 9>"$wine_dir/.lock"
flock 9
same_session && exit 0
if server_running; then
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
fi
if [ -n "$display" ]; then
  export DISPLAY="$display"
else
  unset DISPLAY
fi

mkdir -p "$wine_dir/ports"
boot=wineboot
if [ ! -f "$prefix/.qx-ready" ]; then
  rm -rf "$prefix"
  mkdir -p "$prefix"
  {
    printf '%s\n' 'WINE REGISTRY Version 2' ';; All keys relative to \\Machine' '#arch=win64' ''
    printf '%s\n' '[Software\\Wine\\Ports] 1700000000'
    n=1
    while [ "$n" -le 255 ]; do
      if [ "$n" -le 9 ]; then
        printf '"COM%d"="%s"\n' "$n" "$wine_dir/ports/com$n"
      else
        printf '"COM%d"="%s"\n' "$n" "$wine_dir/ports/none"
      fi
      n=$((n + 1))
    done
    windows_dir=$(printf 'Z:%s' "$wine_dir/drivers" | sed 's|/|\\\\|g')
    printf '\n%s\n' '[System\\CurrentControlSet\\Services\\qx410u_standin] 1700000000'
    printf '%s\n' '"ErrorControl"=dword:00000001'
    printf '"ImagePath"="%s\\\\qx410u_standin.sys"\n' "$windows_dir"
    printf '%s\n' '"Start"=dword:00000003' '"Type"=dword:00000001'
  } >"$prefix/system.reg"
  boot="wineboot -i"
fi

# COM256 is made last, and only when the machine has a device the driver looks for (their first names).
last=com255
for device in /dev/ttyS0 /dev/ttyUSB0 /dev/ttyACM0; do
  [ -e "$device" ] && last=com256
done
# Starts the server and boots the prefix ($1: the wineboot command), then makes every COM link safe.
start_prefix() {
  # The driver makes the links anew at each start: the ones left from the last start go first, so that
  # the wait below sees this start's links.
  rm -f "$prefix"/dosdevices/com*
  setsid wineserver -p </dev/null >/dev/null 2>&1
  setsid wine "$@" </dev/null >/dev/null 2>&1
  # The port driver runs as a service that wineboot starts; wait (at most 30 s) for its last link.
  tries=0
  while [ ! -L "$prefix/dosdevices/$last" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ]; then
      echo "wine-prefix.sh: Wine's serial port driver did not start" >&2
      wineserver -k 2>/dev/null || true
      exit 1
    fi
    sleep 0.1
  done
  for link in "$prefix"/dosdevices/com*; do
    case "$(readlink "$link")" in
      "$wine_dir"/ports/*) ;;
      *) ln -sfn "$wine_dir/ports/none" "$link" ;;
    esac
  done
}
start_prefix $boot
# A new prefix's first session is still settling when its ports are ready: its service manager
# restarts under it, and a driver service started then times out (sc start answers 1053). It is ended
# and the prefix started again as every later run starts it.
if [ "$boot" != wineboot ]; then
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  start_prefix wineboot
fi
# Top-level windows unmanaged: Wine draws their frames itself and never waits for a window manager (on
# a bare X server, hiding a managed window waits two seconds for one that is not there).
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
printf '%s\n' "$display" >"$wine_dir/.session-display"
touch "$prefix/.qx-ready"
