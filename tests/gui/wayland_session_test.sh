#!/usr/bin/env bash
# In a Wayland session the updater runs through XWayland: started with WAYLAND_DISPLAY and DISPLAY set
# and no platform chosen, its main window and port dialog must appear on the X display. Hosted by
# weston's headless back end with XWayland in a private runtime directory. Skips (77) without weston.
set -euo pipefail

app=$(realpath "${1:?usage: wayland_session_test.sh BUILD_DIR}/shell/qx410fw")
if ! command -v weston >/dev/null || ! command -v Xwayland >/dev/null; then
    echo "weston or Xwayland is not installed: skipped"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/qx410-wayland-XXXXXX")
chmod 700 "$work"
weston_pid=""
app_pid=""
# Ends the background processes still running. `wait` with no operand waits for every child without
# naming one the shell may already have reaped (naming such a pid makes bash print "wait_for: No record
# of process").
cleanup() {
    for pid in "$app_pid" "$weston_pid"; do
        if [ -n "$pid" ]; then
            kill -TERM "$pid" 2>/dev/null || true
        fi
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR=$work
# weston's XWayland binds its display socket in /tmp/.X11-unix, which only an X server that ran since
# the machine started has created; without it weston ends at once. Create it as X servers do.
if [ ! -d /tmp/.X11-unix ]; then
    mkdir -p /tmp/.X11-unix 2>/dev/null && chmod 1777 /tmp/.X11-unix 2>/dev/null || true
fi
if [ ! -d /tmp/.X11-unix ] || [ ! -w /tmp/.X11-unix ]; then
    echo "/tmp/.X11-unix is missing or not writable, so XWayland cannot start: skipped"
    exit 77
fi
# The log exists before weston starts: the shell opens it for the background process only when that
# process first runs, which on a loaded machine can come after the first look below.
: >"$work/weston.log"
XDG_RUNTIME_DIR=$work weston --backend=headless-backend.so --xwayland --socket=wayland-qx410 \
    --width=1024 --height=768 >"$work/weston.log" 2>&1 &
weston_pid=$!
display=""
for ((i = 0; i < 100; i++)); do
    display=$(sed -n 's/.*xserver listening on display \(:[0-9]*\).*/\1/p' "$work/weston.log")
    [ -n "$display" ] && break
    kill -0 "$weston_pid" 2>/dev/null || { cat "$work/weston.log"; exit 1; }
    sleep 0.1
done
[ -n "$display" ] || { echo "weston started no XWayland"; exit 1; }
echo "weston: Wayland socket wayland-qx410, XWayland on $display"

mkdir -m 700 "$work/qx410fw"
env -u QT_QPA_PLATFORM XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-qx410 DISPLAY="$display" "$app" >"$work/app.log" 2>&1 &
app_pid=$!
for ((i = 0; i < 150; i++)); do
    windows=$(DISPLAY=$display xdotool search --onlyvisible --classname qx410fw 2>/dev/null | wc -l || true)
    if [ "$windows" -ge 2 ]; then
        echo "the updater's main window and port dialog are on the XWayland display $display"
        exit 0
    fi
    kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log"; echo "the updater ended"; exit 1; }
    sleep 0.1
done
cat "$work/app.log"
echo "no window of the updater on the XWayland display $display"
exit 1
