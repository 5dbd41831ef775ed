#!/usr/bin/env bash
# qx410fw.exe under Wine on the session's Xvfb display, against the Linux camera simulator on a
# pseudo-terminal mapped as COM1 or on USB, its prompts answered as a user would with xdotool:
#   gui_update_test.sh SIMULATOR WINE_RUN WINE_DIR EXE OUT_DIR refused|update|usb-update [DRIVER]
#     refused     the camera on COM1 refuses block 1: port dialog, file dialog, the notice, "Camera update
#                 failed"
#     update      a complete update on COM1 (about nine minutes): the notice at half way, the success
#                 message, the camera's flash equal to the image payload
#     usb-update  the same on USB (about two minutes), through the stand-in driver DRIVER started as the
#                 prefix's service (as usb_driver_test.sh does): the erase notice first, then the
#                 download's, at half way; the flash equal to the payload as far as a USB download
#                 writes it
# Enter on the port dialog (AUTO finds the camera on COM1, or on USB, which it searches first), the
# image's path typed into the file dialog, Enter on the outcome message. Screenshots of the four
# (01-port-dialog.png, 02-file-dialog.png, 03-progress-notice.png, 04-outcome-message.png) stay in
# OUT_DIR. On the way: each dialog centred on the main window by its outer frame, each notice at its
# bottom right with frame, bar and digits painted. Windows are unmanaged in the prefix (Wine draws their
# frames), so a window's X geometry is its outer rectangle.
set -uo pipefail
sim=$1 wine_run=$2 wine_dir=$3 exe=$4 out=$5 mode=$6 driver=${7:-}
case "$mode" in
  refused | update) ;;
  usb-update) [ -f "$driver" ] || {
    echo "FAIL: usb-update needs the stand-in driver (got '$driver')"
    exit 1
  } ;;
  *)
    echo "FAIL: unknown mode $mode"
    exit 1
    ;;
esac
if [ ! -x "$sim" ]; then
  echo "SKIP: no Linux simulator at $sim (configure with -DQX_HOST_SIMULATOR=...)"
  exit 77
fi
for tool in xdotool import convert; do
  command -v "$tool" >/dev/null || {
    echo "SKIP: $tool is not installed"
    exit 77
  }
done
wine_dir=$(cd "$wine_dir" && pwd)
exe=$(realpath "$exe")
wine_run=$(realpath "$wine_run")
DISPLAY=$(cat "$wine_dir/display" 2>/dev/null) || {
  echo "FAIL: the Wine session has no display ($wine_dir/display)"
  exit 1
}
export DISPLAY
TITLE='Corva QX410 Zoom Digital Camera Update Software'

app_pid=
step() { printf '[win-gui %s] %s\n' "$(date +%T)" "$*"; }
# At exit (with the simulator and the work folder): the program if still running, COM1's link (when this
# test made it), the simulator's port named to the USB driver.
release_link() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
  fi
  [ "$mode" = usb-update ] || rm -f "$wine_dir/ports/com1"
  release_usb_driver
}
# shellcheck source=wine_cli_test.sh
. "$(dirname "$0")/wine_cli_test.sh"
# shellcheck source=../../scripts/screen_checks.sh
. "$(dirname "$0")/../../scripts/screen_checks.sh"
begin_cli_test

rm -rf "$out"
mkdir -p "$out"

# "x y width height" of a window (its outer rectangle).
geometry() {
  xdotool getwindowgeometry --shell "$1" 2>/dev/null | awk -F= '/^X=/ {x = $2} /^Y=/ {y = $2}
      /^WIDTH=/ {w = $2} /^HEIGHT=/ {h = $2} END {print x + 0, y + 0, w + 0, h + 0}'
}

# Waits up to $2 seconds for a visible window named $1 other than the ids in $3 (space-separated) and
# prints its id.
wait_window() {
  local name=$1 limit=$2 skip=" ${3:-} " i id
  for ((i = 0; i < limit * 10; i++)); do
    for id in $(xdotool search --onlyvisible --name "^$name\$" 2>/dev/null); do
      [[ "$skip" == *" $id "* ]] || {
        echo "$id"
        return 0
      }
    done
    kill -0 "$app_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Waits up to $2 seconds until window $1 is painted: a window whose controls are not painted yet shows
# them black, so less than 5 % of its pixels may be black (text and outlines are far less).
wait_painted() {
  local x y w h i painted
  read -r x y w h < <(geometry "$1")
  for ((i = 0; i < $2 * 4; i++)); do
    painted=$(import -window root png:- 2>/dev/null |
      convert - -crop "${w}x$h+$x+$y" +repage -fill white +opaque black -format '%[fx:mean > 0.95]' info: 2>/dev/null)
    [ "$painted" = 1 ] && return 0
    sleep 0.25
  done
  return 1
}

wait_gone() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    xdotool search --onlyvisible --name "." 2>/dev/null | grep -qx "$1" || return 0
    sleep 0.1
  done
  return 1
}

# The view's client size, read from a screenshot: the white area right of the main window's left frame
# (on row 100) and below its info bar (in column 10). Dialogs and the notice are placed by the view's
# client rectangle taken at (0, 0), as the program's rule is.
view_size() {
  local row column
  row=$(convert "$1" -crop 1024x1+0+100 +repage txt:- | tail -n +2 | grep '#FFFFFF' | cut -d, -f1 | sed -n '1p;$p')
  column=$(convert "$1" -crop 1x768+10+0 +repage txt:- | tail -n +2 | grep '#FFFFFF' | cut -d: -f1 |
    cut -d, -f2 | awk '$1 > 40' | sed -n '1p;$p')
  echo $(($(tail -1 <<<"$row") - $(head -1 <<<"$row") + 1)) $(($(tail -1 <<<"$column") - $(head -1 <<<"$column") + 1))
}

# Within 3 pixels: the X window of an unmanaged Wine window can differ from its Windows rectangle by
# a pixel or two of frame.
near() { [ $(($1 - $2)) -ge -3 ] && [ $(($1 - $2)) -le 3 ]; }

# A dialog is centred on the view by its outer frame.
check_centred() {
  local x y w h
  read -r x y w h < <(geometry "$1")
  near "$x" $(((view_w - w) / 2)) && near "$y" $(((view_h - h) / 2)) ||
    fail "$2 at $x,$y (outer ${w}x$h) is not centred on the ${view_w}x$view_h view ($(((view_w - w) / 2)),$(((view_h - h) / 2)))"
  step "$2 centred by its outer frame: $x,$y, ${w}x$h"
}

case "$mode" in
  refused) start_com1_simulator --refuse-block 1 ;;
  update) start_com1_simulator ;;
  usb-update)
    # COM1 is left as it is (a serial test may hold it): AUTO searches USB first.
    start_usb_simulator "$driver"
    ;;
esac

start=$(date +%s)
# Started in the image's folder, as a user opens it there.
(cd "$work" && exec "$wine_run" "$wine_dir" "$exe") >"$work/program.log" 2>&1 &
app_pid=$!

main=$(wait_window "$TITLE" 60) || fail "the main window did not appear"
read -r main_x main_y main_w main_h < <(geometry "$main")
step "main window $main: $main_x,$main_y ${main_w}x$main_h"
[ "$main_x" -ge 0 ] && [ "$main_y" -ge 0 ] && [ $((main_x + main_w)) -le 1024 ] && [ $((main_y + main_h)) -le 768 ] ||
  fail "the main window's frame is not inside the 1024x768 screen"

port=$(wait_window "$TITLE" 30 "$main") || fail "the port dialog did not appear"
wait_painted "$port" 10 || fail "the port dialog was not painted"
screenshot port-dialog
read -r view_w view_h < <(view_size "$out/01-port-dialog.png")
step "view ${view_w}x$view_h"
check_centred "$port" "the port dialog"
xdotool key Return

open=$(wait_window "Open" 60) || fail "the file dialog did not appear"
wait_painted "$open" 30 || fail "the file dialog was not painted"
sleep 0.5
screenshot file-dialog
check_centred "$open" "the file dialog"
# The file name box has the focus; what a user types replaces its text.
xdotool key Home shift+End BackSpace
xdotool type --delay 20 "$windows_image"
xdotool key Return
wait_gone "$open" 20 || fail "the file dialog did not take the path"

# Waits for the next notice (other than the windows in $1) and checks that it sits at the bottom right
# of the view: 10 pixels in from its right edge, on its bottom edge.
next_notice() {
  notice=$(wait_window "$TITLE" 60 "$1") || fail "the progress notice did not appear"
  read -r nx ny nw nh < <(geometry "$notice")
  step "notice $notice: $nx,$ny ${nw}x$nh"
  near $((nx + nw)) $((view_w - 10)) && near $((ny + nh)) "$view_h" ||
    fail "the notice's bottom right ($((nx + nw)),$((ny + nh))) is not at the view's ($((view_w - 10)),$view_h)"
}
next_notice "$main"
if [ "$mode" = usb-update ]; then
  # On USB the camera's data block is erased first, under a notice of its own; the download's notice
  # follows it.
  erase_notice=$notice
  wait_gone "$erase_notice" 120 || fail "the erase notice did not close"
  step "the erase notice closed"
  next_notice "$main $erase_notice"
fi

# The frame outline's top-left corner in the screenshot: the first row of the notice with a 302-pixel
# black run. The picture's bottom edge is 31 rows below it.
notice_at() {
  convert "$1" -crop "${nw}x${nh}+${nx}+${ny}" +repage txt:- | tail -n +2 |
    awk -F'[,: ]+' '{ if ($0 ~ /#000000/) { if (run > 0 && $1 == lastx + 1 && $2 == lasty) run++; else run = 1;
        lastx = $1; lasty = $2; if (run == 302) { print $1 - 301, $2; exit } } else run = 0 }'
}
target=$([ "$mode" = refused ] && echo 0 || echo 50)
percent=-1
for ((i = 0; i < 900; i++)); do
  import -window root "$work/notice.png"
  corner=$(notice_at "$work/notice.png")
  if [ -n "$corner" ]; then
    read -r fx fy <<<"$corner"
    percent=$(check_notice_pixels "$work/notice.png" $((nx + fx - 9)) $((ny + fy + 31 - 100)) 330 100) || exit 1
    [ "$percent" -ge "$target" ] && break
  fi
  xdotool search --onlyvisible --name "." 2>/dev/null | grep -qx "$notice" || break
  sleep 1
done
[ "$percent" -ge "$target" ] || fail "the notice did not show ${target} % (last: $percent %)"
cp "$work/notice.png" "$(printf '%s/%02d-progress-notice.png' "$out" $((shot_count + 1)))"
shot_count=$((shot_count + 1))
step "screenshot: the notice at $percent %: frame, bar and digits painted"

wait_gone "$notice" 900 || fail "the notice did not close"
message=$(wait_window "$TITLE" 120 "$main") || fail "the outcome message did not appear"
wait_painted "$message" 10 || fail "the outcome message was not painted"
screenshot outcome-message
check_centred "$message" "the outcome message"
xdotool key Return
for ((i = 0; i < 100; i++)); do
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$app_pid" 2>/dev/null && fail "the program did not end after the outcome message"
wait "$app_pid"
status=$?
app_pid=
step "qx410fw.exe ended with status $status after $(($(date +%s) - start)) s"

case "$mode" in
  refused)
    kill "$sim_pid"
    wait "$sim_pid"
    sim_pid=
    grep -v "^command:" "$work/summary.txt"
    ;;
  update) check_cli_outcome update ;;
  usb-update) check_cli_outcome update "$USB_WRITTEN" ;;
esac
exit 0
